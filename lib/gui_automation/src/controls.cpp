#include "gui_automation/controls.h"

#include "gui_automation/checks.h"

namespace automation {

std::string Text(HWND window) {
  static char buffer[1 << 20];
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, 10000, &copied))
    return "<no answer>";
  return std::string(buffer, copied);
}

void SetText(HWND window, const std::string& text) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 10000,
                      &ignored);
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// Enumeration callbacks are stdcall on 32-bit Windows, so named functions.
static BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
  if (lstrcmpiA(ClassOf(child).c_str(), "Static") == 0)
    *reinterpret_cast<std::string*>(param) += Text(child) + "\n";
  return TRUE;
}

std::string DialogText(HWND dialog) {
  std::string all;
  EnumChildWindows(dialog, &CollectStaticText, reinterpret_cast<LPARAM>(&all));
  return all;
}

bool Visible(HWND window) {
  return window != nullptr && (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool ClickIfThere(HWND parent, int id) {
  HWND button = GetDlgItem(parent, id);
  if (button == nullptr) return false;
  PostMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return true;
}

void Click(HWND parent, int id) {
  if (!ClickIfThere(parent, id)) Fail("no control " + std::to_string(id));
}

void PressAlt(HWND window, char letter) {
  PostMessageA(window, WM_SYSCHAR, static_cast<WPARAM>(letter), static_cast<LPARAM>(1 | (1 << 29)));
}

bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds, DWORD step) {
  const ULONGLONG until = GetTickCount64() + milliseconds;
  while (GetTickCount64() < until) {
    if (condition()) return true;
    Sleep(step);
  }
  return condition();
}

}  // namespace automation
