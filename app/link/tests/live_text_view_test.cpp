// The live view in the live text control: it always holds exactly the view of
// the received text, reached by appends and head trims.
#include "live_text_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "seamlog/capture/received_text.h"
#include "live_text_control.h"
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
  std::string view = text.substr(capture::LiveViewStart(text));
  for (char& c : view)
    if (c == '\0') c = '.';
  return view;
}

class LiveEdit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LiveTextControl::Register());
    edit_ = CreateWindowExW(0, LiveTextControl::kClassName, L"", WS_OVERLAPPEDWINDOW | WS_VSCROLL, 0, 0, 400, 300,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
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
  EXPECT_LE(ControlText(edit_).size(), capture::kLiveViewLength);
}

// The control keeps its line index across appends and trims: one line more
// than the line feeds it holds.
TEST_F(LiveEdit, TheLineIndexFollowsAppendsAndTrims) {
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    text += "Splice " + std::to_string(i) + (i % 3 == 0 ? "\n" : "\r\n");
    if (i % 41 != 0) continue;
    view_.Refresh(text);
    const std::string shown = ControlText(edit_);
    ASSERT_EQ(SendMessageW(edit_, EM_GETLINECOUNT, 0, 0), 1 + std::count(shown.begin(), shown.end(), '\n')) << i;
  }
}

// Exactly 20,000 characters are shown whole, CR LF and all; one more and the
// view starts after the first CR LF of the last 20,000.
TEST_F(LiveEdit, ExactlyTwentyThousandCharactersWithACrLfAreShownWhole) {
  std::string text = std::string(100, 'a') + "\r\n" + std::string(capture::kLiveViewLength - 102, 'b');
  ASSERT_EQ(text.size(), capture::kLiveViewLength);
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), text);
  EXPECT_EQ(SendMessageW(edit_, EM_GETLINECOUNT, 0, 0), 2);
  text += "c";
  view_.Refresh(text);
  EXPECT_EQ(ControlText(edit_), std::string(capture::kLiveViewLength - 102, 'b') + "c");
  EXPECT_EQ(SendMessageW(edit_, EM_GETLINECOUNT, 0, 0), 1);
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

int ScrollPosition(HWND window) {
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_ALL;
  GetScrollInfo(window, SB_VERT, &info);
  return info.nPos;
}

int LastScrollPosition(HWND window) {
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_ALL;
  GetScrollInfo(window, SB_VERT, &info);
  return info.nMax - static_cast<int>(info.nPage) + 1;
}

TEST_F(LiveEdit, TheViewFollowsNewTextWhileTheLastLineIsInSight) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\r\n";
  view_.Refresh(text);
  EXPECT_GT(ScrollPosition(edit_), 0);
  EXPECT_EQ(ScrollPosition(edit_), LastScrollPosition(edit_));
  text += "one more\r\n";
  view_.Refresh(text);
  EXPECT_EQ(ScrollPosition(edit_), LastScrollPosition(edit_));
}

TEST_F(LiveEdit, AReaderWhoScrolledUpStaysWhereTheyAre) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\r\n";
  view_.Refresh(text);
  SendMessageW(edit_, WM_VSCROLL, SB_TOP, 0);
  ASSERT_EQ(ScrollPosition(edit_), 0);
  text += "more\r\n";
  view_.Refresh(text);
  EXPECT_EQ(ScrollPosition(edit_), 0);
}

TEST_F(LiveEdit, AnsiCallersReadAndSetTheTextToo) {
  SetWindowTextA(edit_, "Splice 1\r\nSplice 2");
  EXPECT_EQ(GetWindowTextLengthA(edit_), 18);
  EXPECT_EQ(ControlText(edit_), "Splice 1\r\nSplice 2");
}

// The poll timer posts ticks to a window, one at a time, on the window's thread.
TEST(PollTimer, TicksArriveOnTheWindowThreadOneAtATime) {
  HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (window == nullptr) GTEST_SKIP() << "no window station";
  constexpr UINT kTick = WM_APP + 5;
  PollTimer timer;
  timer.Bind(window, kTick);
  ASSERT_TRUE(timer.Start(1));
  int ticks = 0, queuedMax = 0;
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
      queuedMax = std::max(queuedMax, queued);
    });
  }
  timer.Stop();
  EXPECT_GT(ticks, 10);
  EXPECT_EQ(queuedMax, 0) << "a tick was posted while the previous one was still running";
  // After a stop, a tick still in the queue is discarded.
  bool ran = false;
  while (PeekMessageA(&msg, window, kTick, kTick, PM_REMOVE)) timer.Dispatch(msg.wParam, [&] { ran = true; });
  EXPECT_FALSE(ran);
  DestroyWindow(window);
}

}  // namespace
}  // namespace seamlog::link
