#pragma once
// Small owners for Win32 handles, device contexts and selected GDI objects:
// each gives back what it holds exactly once.
#include <windows.h>

#include <utility>

namespace win32util {

template <typename Handle, typename Free>
class Owned {
 public:
  Owned() = default;
  explicit Owned(Handle handle) : handle_(handle) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, Handle{}));
    return *this;
  }
  ~Owned() { Reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle{}; }
  void Reset(Handle handle = Handle{}) {
    if (handle_ != Handle{}) Free{}(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

struct DeleteGdiObject {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
struct DestroyIconHandle {
  void operator()(HICON icon) const { DestroyIcon(icon); }
};
struct CloseKernelHandle {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
struct FreeModule {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};

using Font = Owned<HFONT, DeleteGdiObject>;
using Icon = Owned<HICON, DestroyIconHandle>;
// Events, processes, threads, files: null means none (a file that failed to
// open, INVALID_HANDLE_VALUE, is not taken over).
using KernelHandle = Owned<HANDLE, CloseKernelHandle>;
using Module = Owned<HMODULE, FreeModule>;

// The device context of a window's client area (the screen's for null) for as
// long as the object lives.
class ClientDC {
 public:
  explicit ClientDC(HWND window = nullptr) : window_(window), dc_(GetDC(window)) {}
  ~ClientDC() { ReleaseDC(window_, dc_); }
  ClientDC(const ClientDC&) = delete;
  ClientDC& operator=(const ClientDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// BeginPaint and EndPaint around the painting of a WM_PAINT.
class PaintDC {
 public:
  explicit PaintDC(HWND window) : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintDC() { EndPaint(window_, &paint_); }
  PaintDC(const PaintDC&) = delete;
  PaintDC& operator=(const PaintDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

// Selects a GDI object into a DC and puts the previous one back.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~SelectedObject() { SelectObject(dc_, previous_); }
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

}  // namespace win32util
