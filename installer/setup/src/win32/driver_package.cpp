#include "driver_package.h"

#include <windows.h>
#include <setupapi.h>

#include "trust.h"
#include "win32util/handles.h"
#include "win32util/system_library.h"

namespace portline_setup {
namespace {

const wchar_t kRecordKey[] = L"SOFTWARE\\Portline\\Setup";

using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
using UninstallOemInfFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);
constexpr DWORD kInstallFlagForce = 0x00000001;
constexpr DWORD kUninstallForceDelete = 0x00000001;

// The 64-bit view on 64-bit Windows whatever this program's width.
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::string ReadValue(HKEY key, const wchar_t* name, std::wstring* value) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t), type = 0;
  const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS || type != REG_SZ) return "missing";
  *value = buffer;
  return {};
}

}  // namespace

std::string InstallDriverPackage(const std::wstring& infPath, const std::wstring& hardwareId,
                                 std::wstring* publishedInf, bool* rebootNeeded) {
  *rebootNeeded = false;
  wchar_t destination[MAX_PATH] = {};
  PWSTR namePart = nullptr;
  if (!SetupCopyOEMInfW(infPath.c_str(), nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr, &namePart))
    return "Windows did not take the driver package into its driver store: " + LastErrorText();
  *publishedInf = namePart ? namePart : destination;

  // A splicer plugged in now gets the driver at once; one plugged in later
  // finds it in the driver store.
  const win32util::Module newdev(win32util::LoadSystemLibrary(L"newdev.dll"));
  auto update = newdev ? reinterpret_cast<UpdateDriverFn>(reinterpret_cast<void*>(
                             GetProcAddress(newdev.get(), "UpdateDriverForPlugAndPlayDevicesW")))
                       : nullptr;
  std::string failure;
  if (update) {
    BOOL reboot = FALSE;
    if (update(nullptr, hardwareId.c_str(), infPath.c_str(), kInstallFlagForce, &reboot)) {
      *rebootNeeded = reboot != FALSE;
    } else {
      const DWORD error = GetLastError();
      if (error != ERROR_NO_SUCH_DEVINST && error != ERROR_NO_MORE_ITEMS)
        failure = "the plugged-in splicer could not be given the driver: " + ErrorText(error);
    }
  }
  if (!failure.empty()) {
    RemoveDriverPackage(*publishedInf);
    publishedInf->clear();
  }
  return failure;
}

std::string RemoveDriverPackage(const std::wstring& publishedInf) {
  if (publishedInf.empty()) return {};
  HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
  auto uninstall = setupapi ? reinterpret_cast<UninstallOemInfFn>(reinterpret_cast<void*>(
                                  GetProcAddress(setupapi, "SetupUninstallOEMInfW")))
                            : nullptr;
  if (!uninstall) return "this Windows cannot remove driver packages (no SetupUninstallOEMInf)";
  if (!uninstall(publishedInf.c_str(), kUninstallForceDelete, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return {};
    return "Windows did not remove the driver package: " + ErrorText(error);
  }
  return {};
}

std::string WriteRecord(const InstalledPackage& record) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                                &key, nullptr);
  if (status != ERROR_SUCCESS) return "cannot write the installation record: " + ErrorText(status);
  for (auto [name, value] : {std::pair{L"PublishedInf", &record.publishedInf}, std::pair{L"Package", &record.package}}) {
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                            static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    DeleteRecord();
    return "cannot write the installation record: " + ErrorText(status);
  }
  return {};
}

bool ReadRecord(InstalledPackage* record) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS) return false;
  const bool ok = ReadValue(key, L"PublishedInf", &record->publishedInf).empty() &&
                  ReadValue(key, L"Package", &record->package).empty();
  RegCloseKey(key);
  return ok;
}

std::string DeleteRecord() {
  HKEY parent = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Portline", 0, KEY_ALL_ACCESS | kView, &parent);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  if (status != ERROR_SUCCESS) return "cannot remove the installation record: " + ErrorText(status);
  status = RegDeleteKeyW(parent, L"Setup");
  RegCloseKey(parent);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    return "cannot remove the installation record: " + ErrorText(status);
  return {};
}

}  // namespace portline_setup
