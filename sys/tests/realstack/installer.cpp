#include "installer.h"

#include <setupapi.h>
#include <newdev.h>

#include <cwctype>

namespace realstack {
namespace {

std::string LastError(const char* what) { return std::string(what) + " failed, error " + std::to_string(GetLastError()); }

bool SameText(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

// True when the device's hardware ID list names `hardware_id`.
bool HasHardwareId(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& hardware_id) {
  wchar_t ids[2048] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                         sizeof ids - 2 * sizeof(wchar_t), nullptr)) {
    return false;
  }
  for (const wchar_t* id = ids; *id != 0; id += wcslen(id) + 1) {
    if (SameText(hardware_id, id)) return true;
  }
  return false;
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string InstallRootDevice(const std::wstring& inf, const std::wstring& hardware_id) {
  GUID class_guid;
  wchar_t class_name[MAX_CLASS_NAME];
  if (!SetupDiGetINFClassW(inf.c_str(), &class_guid, class_name, MAX_CLASS_NAME, nullptr)) {
    return LastError("SetupDiGetINFClass");
  }
  bool exists = false;
  HDEVINFO all = SetupDiGetClassDevsW(&class_guid, nullptr, nullptr, 0);
  if (all != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &device); ++i) exists = exists || HasHardwareId(all, device, hardware_id);
    SetupDiDestroyDeviceInfoList(all);
  }
  if (!exists) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&class_guid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return LastError("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
    std::wstring ids = hardware_id + L'\0' + L'\0';
    std::string error;
    if (!SetupDiCreateDeviceInfoW(set, class_name, &class_guid, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
      error = LastError("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.c_str()),
                                                  static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
      error = LastError("SetupDiSetDeviceRegistryProperty");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      error = LastError("DIF_REGISTERDEVICE");
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!error.empty()) return error;
  }
  return UpdateDriver(inf, hardware_id);
}

std::string UpdateDriver(const std::wstring& inf, const std::wstring& hardware_id) {
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id.c_str(), inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
    return LastError("UpdateDriverForPlugAndPlayDevices");
  }
  return {};
}

std::vector<DeviceInfo> PresentDevices(const std::wstring& hardware_id) {
  std::vector<DeviceInfo> found;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    if (!HasHardwareId(set, device, hardware_id)) continue;
    DeviceInfo info;
    wchar_t text[512] = {};
    if (SetupDiGetDeviceInstanceIdW(set, &device, text, 512, nullptr)) info.instance_id = text;
    text[0] = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(text),
                                          sizeof text - sizeof(wchar_t), nullptr)) {
      info.service = text;
    }
    found.push_back(info);
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

std::string ChangeState(const std::wstring& instance_id, DWORD state) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return LastError("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  std::string error;
  if (!SetupDiOpenDeviceInfoW(set, instance_id.c_str(), nullptr, 0, &device)) {
    error = LastError("SetupDiOpenDeviceInfo");
  } else {
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = state;
    change.Scope = DICS_FLAG_GLOBAL;
    change.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set, &device, &change.ClassInstallHeader, sizeof change)) {
      // Wine 8 answers FALSE without an error code: it cannot change a device's state.
      error = GetLastError() == 0 ? std::string(kStateChangeUnsupported) : LastError("SetupDiSetClassInstallParams");
    } else if (!SetupDiChangeState(set, &device)) {
      error = LastError("SetupDiChangeState");
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return error;
}

std::vector<std::wstring> InterfacePaths(const GUID& interface_class) {
  std::vector<std::wstring> paths;
  HDEVINFO set = SetupDiGetClassDevsW(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, i, &iface); ++i) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::wstring storage(needed / sizeof(wchar_t) + 1, L'\0');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr)) {
      paths.push_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

}  // namespace realstack
