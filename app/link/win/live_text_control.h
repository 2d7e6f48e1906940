// A read-only multi-line text box with a vertical scroll bar for the live view
// of received text. Unlike the system's EDIT control, whose every change costs
// time in proportion to all the text it holds, it only keeps the text and an
// index of its line starts, and paints the lines in sight. Appending at the
// end looks only at the new characters; trimming the head moves the text and
// line starts that stay, which the live view keeps at most 20,000 long.
//
// Messages besides the usual WM_SETTEXT, WM_GETTEXT, WM_GETTEXTLENGTH,
// WM_SETFONT and EM_GETLINECOUNT:
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
