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

// The 64-bit view on 64-bit Windows whatever this program's width.
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

bool ReadValue(HKEY key, const wchar_t* name, std::wstring* value) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t), type = 0;
  const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  *value = buffer;
  return true;
}

std::wstring InfFolder() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\INF\\";
}

struct CloseInf {
  void operator()(HINF inf) const { SetupCloseInfFile(inf); }
};
using InfFile = win32util::Owned<HINF, CloseInf>;

// The provider the INF's [Version] section names, strings substituted.
std::wstring ProviderOf(const std::wstring& path) {
  HINF opened = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return {};
  const InfFile inf(opened);
  INFCONTEXT line{};
  wchar_t provider[256] = {};
  if (!SetupFindFirstLineW(inf.get(), L"Version", L"Provider", &line) ||
      !SetupGetStringFieldW(&line, 1, provider, 256, nullptr))
    return {};
  return provider;
}

// The name the INF had before Windows published it.
std::wstring OriginalNameOf(const std::wstring& path) {
  DWORD size = 0;
  if (!SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, nullptr, 0, &size) || size == 0)
    return {};
  std::vector<BYTE> buffer(size);
  auto* info = reinterpret_cast<SP_INF_INFORMATION*>(buffer.data());
  if (!SetupGetInfInformationW(path.c_str(), INFINFO_INF_NAME_IS_ABSOLUTE, info, size, nullptr)) return {};
  SP_ORIGINAL_FILE_INFO_W original{};
  original.cbSize = sizeof original;
  if (!SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original)) return {};
  const std::wstring name = original.OriginalInfName;
  return name.substr(name.find_last_of(L"\\/") + 1);
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
    RemoveFromDriverStore(*publishedInf);
    publishedInf->clear();
  }
  return failure;
}

std::wstring InstalledCatalogOf(const std::wstring& publishedInf) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring stem = publishedInf.substr(0, publishedInf.find_last_of(L'.'));
  return std::wstring(system) + L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\" + stem + L".cat";
}

std::string WhyNotOurs(const std::wstring& publishedInf, OurSigner signer) {
  if (publishedInf.empty() || publishedInf.find_first_of(L"\\/") != std::wstring::npos) return "no INF name";
  const std::wstring path = InfFolder() + publishedInf;
  if (!FileExists(path)) return "absent";
  const std::wstring original = OriginalNameOf(path);
  bool known = false;
  for (const wchar_t* name : kOurInfNames) known = known || _wcsicmp(original.c_str(), name) == 0;
  if (!known) return "its original name is " + (original.empty() ? std::string("unknown") : Narrow(original));
  const std::wstring provider = ProviderOf(path);
  if (provider != kOurProvider)
    return "its provider is " + (provider.empty() ? std::string("unknown") : Narrow(provider));
  const std::wstring catalog = InstalledCatalogOf(publishedInf);
  if (signer == OurSigner::ThisPc && FileExists(catalog)) {
    const std::wstring subject = SignerSubject(catalog);
    if (!IsHelperSubject(subject))
      return "its catalog is signed by " +
             (subject.empty() ? std::string("nobody we know") : Narrow(subject));
  }
  return {};
}

std::string RemoveOurPackage(const std::wstring& publishedInf, OurSigner signer) {
  const std::string why = WhyNotOurs(publishedInf, signer);
  if (why == "absent") return {};
  if (!why.empty()) return "left " + Narrow(publishedInf) + " alone: it is not our package (" + why + ")";
  return RemoveFromDriverStore(publishedInf);
}

std::vector<std::wstring> OurPublishedInfs(OurSigner signer) {
  std::vector<std::wstring> ours;
  WIN32_FIND_DATAW found{};
  // Windows publishes as oemNN.inf; Wine keeps the original name.
  HANDLE search = FindFirstFileW((InfFolder() + L"*.inf").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return ours;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && WhyNotOurs(found.cFileName, signer).empty())
      ours.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return ours;
}

std::string RemoveFromDriverStore(const std::wstring& publishedInf) {
  if (publishedInf.empty()) return {};
  HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
  auto uninstall = setupapi ? reinterpret_cast<UninstallOemInfFn>(
                                  reinterpret_cast<void*>(GetProcAddress(setupapi, "SetupUninstallOEMInfW")))
                            : nullptr;
  if (!uninstall) return "this Windows cannot remove driver packages (no SetupUninstallOEMInf)";
  // No SUOI_FORCEDELETE: Windows refuses while a device still uses the package.
  if (!uninstall(publishedInf.c_str(), 0, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return {};
    return "Windows did not remove the driver package " + Narrow(publishedInf) +
           " (unplug the splicer and try again): " + ErrorText(error);
  }
  // Said done is not taken for done: the INF must be gone.
  if (FileExists(InfFolder() + publishedInf))
    return "Windows kept the driver package " + Narrow(publishedInf) +
           " in its driver store (a device may still use it: unplug the splicer and try again)";
  return {};
}

std::string WriteRecord(const InstalledPackage& record) {
  DeleteRecord();
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                                &key, nullptr);
  if (status != ERROR_SUCCESS) return "cannot write the installation record: " + ErrorText(status);
  const std::pair<const wchar_t*, const std::wstring*> values[] = {
      {L"PublishedInf", &record.publishedInf},
      {L"Package", &record.package},
      {L"State", &record.state},
      {L"EarlierPublishedInf", &record.earlierPublishedInf},
      {L"Signer", &record.signer}};
  for (auto [name, value] : values) {
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                            static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) break;
  }
  // Written through before the driver store is touched.
  if (status == ERROR_SUCCESS) status = RegFlushKey(key);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    DeleteRecord();
    return "cannot write the installation record: " + ErrorText(status);
  }
  return {};
}

bool ReadRecord(InstalledPackage* record) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS)
    return false;
  *record = {};
  const bool ok =
      ReadValue(key, L"PublishedInf", &record->publishedInf) && ReadValue(key, L"Package", &record->package);
  // Records of earlier versions have neither: they were installed.
  if (!ReadValue(key, L"State", &record->state)) record->state = L"installed";
  ReadValue(key, L"EarlierPublishedInf", &record->earlierPublishedInf);
  if (!ReadValue(key, L"Signer", &record->signer)) record->signer = L"this PC";
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
