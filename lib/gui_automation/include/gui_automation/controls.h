// Reading and operating another program's windows through window messages.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace automation {

// The window's text (WM_GETTEXT, up to 1 MiB); "<no answer>" from a window
// that does not answer within ten seconds.
std::string Text(HWND window);
void SetText(HWND window, const std::string& text);
std::string ClassOf(HWND window);
// The texts of a dialog's static controls, each followed by "\n".
std::string DialogText(HWND dialog);
bool Visible(HWND window);

// Presses a button by posting its command, so that a modal loop it opens
// does not hold up the caller. Fails when the parent has no such control.
void Click(HWND parent, int id);
// The same for a window that may be going away: false when the control is not there.
bool ClickIfThere(HWND parent, int id);
// Alt plus a letter, as the keyboard delivers it to the focused window.
void PressAlt(HWND window, char letter);

// Asks `condition` every `step` ms until it holds or `milliseconds` have
// passed; whether it held.
bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds = 10000, DWORD step = 20);

}  // namespace automation
