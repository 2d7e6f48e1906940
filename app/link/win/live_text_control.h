// A read-only multi-line text box with a vertical scroll bar for the live view
// of received text. Unlike the system's EDIT control, whose every change costs
// time in proportion to all the text it holds, it only keeps the text and an
// index of its lines, and paints the lines in sight; appending at the end and
// trimming at the head cost no more than the characters moved.
//
// Messages besides the usual WM_SETTEXT, WM_GETTEXT, WM_GETTEXTLENGTH and
// WM_SETFONT:
//   kAppendMessage    wParam = character count, lParam = const wchar_t* text
//   kTrimHeadMessage  wParam = number of characters to drop from the head
// While the last line is in sight the view follows new text; a reader who has
// scrolled up stays where they are.
#pragma once

#include <windows.h>

namespace seamlog::link {

class LiveTextControl {
 public:
  static constexpr const wchar_t* kClassName = L"SeamlogLiveText";
  static constexpr UINT kAppendMessage = WM_USER + 0x40;
  static constexpr UINT kTrimHeadMessage = WM_USER + 0x41;

  // Registers the window class once per process; true when it is available.
  static bool Register();
};

}  // namespace seamlog::link
