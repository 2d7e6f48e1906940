#pragma once
// A window whose messages go to a member handler. An exception that escapes
// a handler is the program's run-time error: it is reported and the program
// ends, as the platform would end it.
#include <windows.h>

#include <string>

namespace seamlog::shell {

class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  virtual ~Window();

  HWND hwnd() const { return hwnd_; }

 protected:
  // Registers the class once and creates the window with `this` attached.
  bool CreateTopLevel(const char* className, const char* caption, DWORD style, DWORD exStyle,
                      int width, int height, HICON icon);
  virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd_, message, wParam, lParam);
  }

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
};

// Creates a child control at a pixel rectangle.
HWND CreateChild(HWND parent, const char* className, const char* text, DWORD style, int id,
                 const RECT& pixels, DWORD exStyle = 0);

}  // namespace seamlog::shell
