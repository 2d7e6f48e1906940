// Layout arithmetic and fonts of the Win32 windows.
#include "ui.h"

#include <gtest/gtest.h>

namespace seamlog::shell {
namespace {

TEST(TwipsRect, ConvertsLeftTopWidthAndHeightAtTheGivenDpi) {
  const RECT at96 = TwipsRect(120, 600, 7695, 5532, 96);
  EXPECT_EQ(at96.left, 8);
  EXPECT_EQ(at96.top, 40);
  EXPECT_EQ(at96.right - at96.left, 513);
  EXPECT_EQ(at96.bottom - at96.top, 369);
  const RECT at144 = TwipsRect(1440, 1440, 8040, 7212, 144);
  EXPECT_EQ(at144.left, 144);
  EXPECT_EQ(at144.right - at144.left, 804);
  EXPECT_EQ(at144.bottom - at144.top, 721);
}

TEST(FixedPitchFont, AlwaysGivesAFixedPitchFontEvenWithoutMsGothic) {
  const win32util::Font font = FixedPitchFont(9, 96);
  ASSERT_TRUE(font);
  win32util::ClientDC screen;
  win32util::SelectedObject selected(screen.get(), font.get());
  TEXTMETRICA metrics{};
  ASSERT_TRUE(GetTextMetricsA(screen.get(), &metrics));
  // The flag's name is misleading: a set bit means a variable-pitch font.
  EXPECT_EQ(metrics.tmPitchAndFamily & TMPF_FIXED_PITCH, 0);
  SIZE narrow{}, wide{};
  GetTextExtentPoint32A(screen.get(), "iiii", 4, &narrow);
  GetTextExtentPoint32A(screen.get(), "WWWW", 4, &wide);
  EXPECT_EQ(narrow.cx, wide.cx);
}

TEST(MessageFont, IsAvailable) { EXPECT_TRUE(MessageFont()); }

}  // namespace
}  // namespace seamlog::shell
