// Installing drivers the way an installer does, through SetupAPI and newdev,
// and changing a device's state as Device Manager does.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace realstack {

// Creates the root-enumerated device `hardware_id` (unless one exists) and
// installs its driver from `inf`. Empty on success, else what went wrong.
std::string InstallRootDevice(const std::wstring& inf, const std::wstring& hardware_id);
// Installs the driver from `inf` on every present device with `hardware_id`.
std::string UpdateDriver(const std::wstring& inf, const std::wstring& hardware_id);

struct DeviceInfo {
  std::wstring instance_id;
  std::wstring service;
};
// Present devices whose hardware IDs include `hardware_id`.
std::vector<DeviceInfo> PresentDevices(const std::wstring& hardware_id);
// Enables or disables a device (DICS_ENABLE, DICS_DISABLE). Answers
// kStateChangeUnsupported where the system cannot do that.
inline constexpr const char* kStateChangeUnsupported = "device state changes are not supported here";
std::string ChangeState(const std::wstring& instance_id, DWORD state);
// Interface paths of the present devices of an interface class.
std::vector<std::wstring> InterfacePaths(const GUID& interface_class);

std::string Narrow(const std::wstring& text);
std::wstring Wide(const std::string& text);

}  // namespace realstack
