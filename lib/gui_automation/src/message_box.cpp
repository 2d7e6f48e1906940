#include "gui_automation/message_box.h"

#include <vector>

#include "gui_automation/controls.h"

namespace automation {

namespace {

// 32-bit pixels of a w x h bitmap drawn by paint on a memory DC.
template <typename Paint>
std::vector<DWORD> Pixels(int w, int h, Paint&& paint) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = w;
  format.bmiHeader.biHeight = -h;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::vector<DWORD> pixels;
  if (bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    paint(memory, screen);
    GdiFlush();
    const DWORD* p = static_cast<const DWORD*>(bits);
    pixels.assign(p, p + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

}  // namespace

MessageBoxShown WaitForMessageBox(const Program& program, const std::string& title, DWORD milliseconds) {
  HWND box = program.RequireWindow("#32770", title, milliseconds);
  std::string text;
  HWND icon = nullptr;
  Sleep(200);  // let the box paint
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != "Static") continue;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      icon = child;
      continue;
    }
    const std::string t = Text(child);
    if (!t.empty()) text = t;
  }
  return MessageBoxShown{box, text, icon};
}

bool ShowsIcon(const MessageBoxShown& box, LPCSTR systemIcon) {
  RECT r;
  if (!box.icon || !GetWindowRect(box.icon, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  const std::vector<DWORD> shown = Pixels(
      w, h, [&](HDC memory, HDC screen) { BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY); });
  if (shown.empty()) return false;
  const COLORREF background = RGB((shown[0] >> 16) & 0xFF, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF);
  const std::vector<DWORD> drawn = Pixels(w, h, [&](HDC memory, HDC) {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all{0, 0, w, h};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, systemIcon), 0, 0, 0, nullptr, DI_NORMAL);
  });
  return shown == drawn;
}

void Answer(const MessageBoxShown& box, int id) { Click(box.window, id); }

void WaitUntilGone(const Program& program, const std::string& className, const std::string& title) {
  WaitFor([&] { return program.FindWindowOf(className, title) == nullptr; }, 10000, 50);
}

}  // namespace automation
