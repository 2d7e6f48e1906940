// A program's message boxes: what they say, which icon they show, the answer.
#pragma once

#include <windows.h>

#include <string>

#include "gui_automation/program.h"

namespace automation {

struct MessageBoxShown {
  HWND window;
  std::string text;
  HWND icon = nullptr;  // the control that shows its icon
};

// The program's message box with this title, with the text it shows; Fail
// when none came.
MessageBoxShown WaitForMessageBox(const Program& program, const std::string& title,
                                  DWORD milliseconds = 15000);

// Whether the box shows this system icon (IDI_...): its icon control's
// pixels on the screen against the icon drawn here on the same background.
bool ShowsIcon(const MessageBoxShown& box, LPCSTR systemIcon);

// Presses one of the box's buttons.
void Answer(const MessageBoxShown& box, int id);

// Waits until the program shows no such window any more.
void WaitUntilGone(const Program& program, const std::string& className, const std::string& title);

}  // namespace automation
