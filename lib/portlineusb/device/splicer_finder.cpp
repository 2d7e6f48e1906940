#include "splicer_finder.h"

#include <windows.h>
#include <initguid.h>
#include <setupapi.h>

#include <cstdint>
#include <cwctype>

#include "PortlinePublic.h"
#include "win32util/handles.h"

namespace portline {

Backend BackendForService(const std::wstring& service) {
  static const std::wstring winusb = L"winusb";
  if (service.size() != winusb.size()) return Backend::Portline;
  for (std::size_t i = 0; i < service.size(); ++i)
    if (std::towlower(static_cast<std::wint_t>(service[i])) != static_cast<std::wint_t>(winusb[i]))
      return Backend::Portline;
  return Backend::WinUsb;
}

namespace {

struct DestroyDeviceInfoList {
  void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
// A SetupAPI device information set. A failed search, INVALID_HANDLE_VALUE,
// is not taken over.
using DeviceInfoList = win32util::Owned<HDEVINFO, DestroyDeviceInfoList>;

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

std::vector<FoundSplicer> FindSplicers() {
  std::vector<FoundSplicer> found;
  HDEVINFO searched = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PORTLINE, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (searched == INVALID_HANDLE_VALUE) return found;
  const DeviceInfoList list(searched);
  HDEVINFO set = list.get();
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
  return found;
}

}  // namespace portline
