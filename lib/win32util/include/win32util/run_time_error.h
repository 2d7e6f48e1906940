// The run-time error message: an unexpected error ends the program after
// a box that says so, as the platform's runtime would.
#pragma once

#include <windows.h>

#include <string_view>

namespace win32util {

// The window that owns the box: the main window, so that the box stays in
// front of it even when the program is in the background. Without one (or
// once it is gone) the box belongs to the active window, if any.
void SetRunTimeErrorOwner(HWND owner);

// Shows "Run-time error 'number':" (just "Run-time error:" for number 0) and
// the description in a box titled "Seamlog" with a stop icon, then ends the
// program with that number (1 for 0). The box runs a modal loop in which
// further ticks may fail as well: only the first call shows a box; any later
// one returns at once, and the caller carries on as after a failure.
void ShowRunTimeError(int number, std::string_view description);

}  // namespace win32util
