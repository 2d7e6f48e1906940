#include "device_list_seam.h"

#include <windows.h>

namespace portline {

std::vector<FoundSplicer> ParseDeviceList(const std::wstring& list) {
  std::vector<FoundSplicer> found;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(L'|', start);
    if (end == std::wstring::npos) end = list.size();
    const std::wstring entry = list.substr(start, end - start);
    const std::size_t eq = entry.find(L'=');
    if (eq != std::wstring::npos && eq + 1 < entry.size())
      found.push_back({entry.substr(eq + 1), BackendForService(entry.substr(0, eq))});
    start = end + 1;
  }
  return found;
}

bool SplicersFromEnvironment(std::vector<FoundSplicer>& found) {
  const DWORD needed = GetEnvironmentVariableW(L"PORTLINEUSB_DEVICES", nullptr, 0);
  if (needed == 0) return false;
  std::wstring list(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"PORTLINEUSB_DEVICES", list.data(), needed);
  if (length == 0 || length >= needed) return false;
  list.resize(length);
  found = ParseDeviceList(list);
  return true;
}

}  // namespace portline
