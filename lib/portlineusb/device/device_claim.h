// Which splicers this program holds. A splicer belongs to one program at a
// time: two readers on one device would split its report between them. The
// claim is a named kernel object per device interface path, visible to every
// session; it disappears with the last handle, so a program that ends or
// crashes leaves nothing behind.
#pragma once

#include <windows.h>

#include <string>

#include "win32util/handles.h"

namespace portline {

class DeviceClaim {
 public:
  // Claims the device at path. False when another program (or this one)
  // already holds it, with GetLastError ERROR_BUSY.
  bool Take(const std::wstring& path);
  bool Held() const { return static_cast<bool>(mutex_); }
  void Drop() { mutex_.Reset(); }

  // The object's name for a path: case does not matter, as in device paths.
  static std::wstring NameFor(const std::wstring& path, bool global = true);

 private:
  win32util::KernelHandle mutex_;
};

}  // namespace portline
