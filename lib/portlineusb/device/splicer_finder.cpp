#include "splicer_finder.h"

#include <windows.h>
#include <initguid.h>
#include <setupapi.h>

#include <cstdint>
#include <cwctype>

#include "PortlinePublic.h"

namespace portline {

Backend BackendForService(const std::wstring& service) {
  static const std::wstring winusb = L"winusb";
  if (service.size() != winusb.size()) return Backend::kPortline;
  for (std::size_t i = 0; i < service.size(); ++i)
    if (std::towlower(static_cast<std::wint_t>(service[i])) != static_cast<std::wint_t>(winusb[i]))
      return Backend::kPortline;
  return Backend::kWinUsb;
}

namespace {

std::wstring ServiceOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t service[256] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, &type, reinterpret_cast<BYTE*>(service),
                                         sizeof service - sizeof(wchar_t), nullptr) ||
      type != REG_SZ)
    return {};
  return service;
}

}  // namespace

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

namespace {

bool DeviceListFromEnvironment(std::wstring& list) {
  const DWORD needed = GetEnvironmentVariableW(L"PORTLINEUSB_DEVICES", nullptr, 0);
  if (needed == 0) return false;
  list.assign(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"PORTLINEUSB_DEVICES", list.data(), needed);
  if (length == 0 || length >= needed) return false;
  list.resize(length);
  return true;
}

}  // namespace

std::vector<FoundSplicer> FindSplicers() {
  if (std::wstring list; DeviceListFromEnvironment(list)) return ParseDeviceList(list);
  std::vector<FoundSplicer> found;
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PORTLINE, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_PORTLINE, i, &iface); ++i) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<std::uint8_t> storage(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, &device)) continue;
    found.push_back({detail->DevicePath, BackendForService(ServiceOf(set, device))});
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace portline
