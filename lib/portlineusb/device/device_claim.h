// Which splicers this program holds. A splicer belongs to one program at a
// time: two readers on one device would split its report between them. The
// claim is a named kernel object per device interface path, visible to every
// session; it disappears with the last handle, so a program that ends or
// crashes leaves nothing behind.
#pragma once

#include <windows.h>

#include <string>

namespace portline {

class DeviceClaim {
 public:
  DeviceClaim() = default;
  ~DeviceClaim() { Drop(); }
  DeviceClaim(const DeviceClaim&) = delete;
  DeviceClaim& operator=(const DeviceClaim&) = delete;
  DeviceClaim(DeviceClaim&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  DeviceClaim& operator=(DeviceClaim&& other) noexcept;

  // Claims the device at path. False when another program (or this one)
  // already holds it, with GetLastError ERROR_BUSY.
  bool Take(const std::wstring& path);
  bool Held() const { return handle_ != nullptr; }
  void Drop();

  // The object's name for a path: case does not matter, as in device paths.
  static std::wstring NameFor(const std::wstring& path, bool global = true);

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace portline
