#include "device_claim.h"

#include <cstdint>
#include <cwctype>
#include <utility>

namespace portline {

std::wstring DeviceClaim::NameFor(const std::wstring& path, bool global) {
  // Interface paths contain backslashes and can be long; object names may not
  // and cannot. A 64-bit FNV-1a hash of the lower-case path names it instead.
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : path) {
    const auto lower = static_cast<std::uint16_t>(std::towlower(static_cast<std::wint_t>(c)));
    hash = (hash ^ (lower & 0xFF)) * 1099511628211ull;
    hash = (hash ^ (lower >> 8)) * 1099511628211ull;
  }
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring name = global ? L"Global\\PortlineUSB-" : L"PortlineUSB-";
  for (int shift = 60; shift >= 0; shift -= 4) name += digits[(hash >> shift) & 0xF];
  return name;
}

bool DeviceClaim::Take(const std::wstring& path) {
  Drop();
  win32util::KernelHandle mutex(CreateMutexW(nullptr, FALSE, NameFor(path).c_str()));
  // Systems without session namespaces know no Global prefix.
  if (!mutex && (GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_INVALID_NAME))
    mutex.Reset(CreateMutexW(nullptr, FALSE, NameFor(path, false).c_str()));
  const DWORD error = GetLastError();
  if (mutex && error != ERROR_ALREADY_EXISTS) {
    mutex_ = std::move(mutex);
    return true;
  }
  // Already there: someone holds the device. Access denied: it was made by a
  // program of another user, who holds it.
  mutex.Reset();
  SetLastError(error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED ? ERROR_BUSY : error);
  return false;
}

}  // namespace portline
