#include "window.h"

#include <exception>
#include <new>

#include "win32util/run_time_error.h"

namespace seamlog::shell {

Window::~Window() {
  if (hwnd_) {
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

bool Window::CreateTopLevel(const char* className, const char* caption, DWORD style,
                            DWORD exStyle, int width, int height, HICON icon) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass{};
  if (!GetClassInfoExA(instance, className, &windowClass)) {
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Window::Procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className;
    if (!RegisterClassExA(&windowClass)) return false;
  }
  return CreateWindowExA(exStyle, className, caption, style, CW_USEDEFAULT, CW_USEDEFAULT, width,
                         height, nullptr, nullptr, instance, this) != nullptr;
}

LRESULT Window::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return Default(message, wParam, lParam);
}

LRESULT CALLBACK Window::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
  try {
    const LRESULT result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      self->hwnd_ = nullptr;
    }
    return result;
  } catch (const std::bad_alloc&) {
    win32util::ShowRunTimeError(0, "Out of memory");
  } catch (const std::exception& error) {
    win32util::ShowRunTimeError(0, error.what());
  } catch (...) {
    win32util::ShowRunTimeError(0, "Unexpected error");
  }
  return 0;  // a second error while the first one's box is open
}

HWND CreateChild(HWND parent, const char* className, const char* text, DWORD style, int id,
                 const RECT& pixels, DWORD exStyle) {
  return CreateWindowExA(exStyle, className, text, WS_CHILD | style, pixels.left, pixels.top,
                         pixels.right - pixels.left, pixels.bottom - pixels.top, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleA(nullptr), nullptr);
}

}  // namespace seamlog::shell
