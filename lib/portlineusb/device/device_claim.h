// Which splicers this program holds. A splicer belongs to one program at a
// time: two readers on one device would split its report between them. The
// claim is a mutex named in this session's namespace after this user's SID
// and the device interface path, with an access list for this user (and
// SYSTEM) only: another account cannot make the name first and block the
// splicer. It disappears with the last handle, so a program that ends or
// crashes leaves nothing behind.
#pragma once

#include <windows.h>

#include <string>

#include "win32util/handles.h"

namespace portline {

// GetLastError after a claim refused because the name belongs to an object
// that is not a mutex (an event, a section...): somebody took the name, no
// Seamlog holds the splicer.
inline constexpr DWORD kClaimNameTaken = ERROR_OBJECT_ALREADY_EXISTS;

class DeviceClaim {
 public:
  // Claims the device at path. False when another program of this user (or
  // this one) already holds it, with GetLastError ERROR_BUSY; when the name
  // is taken by an object of another kind, with kClaimNameTaken; otherwise
  // with the Windows error.
  bool Take(const std::wstring& path);
  bool Held() const { return static_cast<bool>(mutex_); }
  void Drop() { mutex_.Reset(); }

  // "Local\PortlineUSB-S-1-5-21-...-1001-<hash of the path>": case does not
  // matter, as in device paths. Without a user SID (it cannot be read) the
  // name has none.
  static std::wstring NameFor(const std::wstring& path);
  // "S-1-5-21-...": the user this process runs as, or empty.
  static std::wstring UserSid();

 private:
  win32util::KernelHandle mutex_;
};

}  // namespace portline
