// The live view in a real EDIT control: it always holds exactly the view of
// the received text, reached by appends and head trims.
#include "live_text_view.h"

#include <gtest/gtest.h>

#include <string>

#include "link/received_text.h"
#include "poll_timer.h"

namespace seamlog::link {
namespace {

std::string ControlText(HWND edit) {
  const int n = GetWindowTextLengthA(edit);
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  GetWindowTextA(edit, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string ExpectedView(const std::string& text) {
  std::string view = text.substr(LiveViewStart(text));
  for (char& c : view)
    if (c == '\0') c = '.';
  return view;
}

class LiveEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    edit_ = CreateWindowExA(0, "EDIT", "", WS_OVERLAPPEDWINDOW | ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL, 0, 0,
                            400, 300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (edit_ == nullptr) GTEST_SKIP() << "no window station (run under xvfb-run)";
    view_.Attach(edit_);
  }
  void TearDown() override {
    if (edit_ != nullptr) DestroyWindow(edit_);
  }
  HWND edit_ = nullptr;
  LiveTextView view_;
};

TEST_F(LiveEdit, GrowingTextIsAppendedAndTheHeadTrimmedToTheView) {
  std::string text;
  for (int i = 0; i < 4000; ++i) {
    text += "Splice " + std::to_string(i) + " loss 0.02dB\r\n";
    if (i % 97 == 0) {
      view_.Refresh(text);
      ASSERT_EQ(ControlText(edit_), ExpectedView(text)) << i;
    }
  }
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), ExpectedView(text));
  EXPECT_LE(ControlText(edit_).size(), kLiveViewLength);
}

TEST_F(LiveEdit, ALineSplitAcrossRefreshesIsContinued) {
  std::string text = "Fib";
  view_.Refresh(text);
  text += "er A\r\nFiber B";
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), "Fiber A\r\nFiber B");
}

TEST_F(LiveEdit, AnEmptiedTextEmptiesTheControl) {
  std::string text(5000, 'x');
  view_.Refresh(text);
  text.clear();
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), "");
  text = "after save\r\n";
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), "after save\r\n");
}

TEST_F(LiveEdit, AControlClearedBehindItsBackIsFilledAfresh) {
  std::string text = "one\r\n";
  view_.Refresh(text);
  SetWindowTextA(edit_, "");
  text += "two\r\n";
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), "one\r\ntwo\r\n");
}

TEST_F(LiveEdit, NulBytesShowAsDots) {
  std::string text("a\0b", 3);
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), "a.b");
}

TEST_F(LiveEdit, ChangesCloseTogetherAreCoalescedButNeverLost) {
  std::string text = "first";
  view_.Changed(text);
  text += " second";
  view_.Changed(text);  // within the refresh interval: put off
  Sleep(static_cast<DWORD>(LiveTextView::kRefreshMs) + 20);
  view_.Poll(text);
  EXPECT_EQ(ControlText(edit_), "first second");
}

// The poll timer posts ticks to a window, one at a time, on the window's thread.
TEST(PollTimer, TicksArriveOnTheWindowThreadOneAtATime) {
  HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (window == nullptr) GTEST_SKIP() << "no window station";
  constexpr UINT kTick = WM_APP + 5;
  PollTimer timer;
  timer.Bind(window, kTick);
  ASSERT_TRUE(timer.Start(1));
  int ticks = 0, queued_max = 0;
  const ULONGLONG until = GetTickCount64() + 300;
  MSG msg;
  while (GetTickCount64() < until) {
    if (!PeekMessageA(&msg, window, kTick, kTick, PM_REMOVE)) {
      Sleep(0);
      continue;
    }
    timer.Dispatch(msg.wParam, [&] {
      ++ticks;
      Sleep(3);  // a slow tick: no second message may be queued meanwhile
      MSG extra;
      int queued = 0;
      while (PeekMessageA(&extra, window, kTick, kTick, PM_NOREMOVE | PM_NOYIELD) && queued == 0) ++queued;
      queued_max = std::max(queued_max, queued);
    });
  }
  timer.Stop();
  EXPECT_GT(ticks, 10);
  EXPECT_EQ(queued_max, 0) << "a tick was posted while the previous one was still running";
  // After a stop, a tick still in the queue is discarded.
  bool ran = false;
  while (PeekMessageA(&msg, window, kTick, kTick, PM_REMOVE)) timer.Dispatch(msg.wParam, [&] { ran = true; });
  EXPECT_FALSE(ran);
  DestroyWindow(window);
}

}  // namespace
}  // namespace seamlog::link
