// portline-setup.exe: installs the driver package that suits the running
// Windows, elevated, as a separate step the user agrees to.
//
//   portline-setup install [--driver winusb|portline] [--package DIR] [--dry-run] [--quiet]
//   portline-setup uninstall [--dry-run] [--quiet]
//
// Windows 7 and later get the WinUSB package, whose catalog is made trusted
// on this PC: a catalog is made for PortlineWinUsb.inf, signed with a
// certificate made on the spot, the private key is destroyed at once and the
// certificate goes into the local machine's Root and TrustedPublisher stores.
// Windows XP and Vista (32-bit) get Portline.sys, as it is (Windows asks the
// user to accept an unsigned driver); 32-bit Windows 7 and later get it with
// --driver portline, its catalog made trusted the same way. A failing step
// undoes the earlier ones.
// Exit status: 0 done, 1 failed (nothing left behind), 2 usage.
#include <windows.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "catalog.h"
#include "driver_package.h"
#include "portline_setup/catalog_definition.h"
#include "portline_setup/package_choice.h"
#include "portline_setup/steps.h"
#include "seamlog_version.h"
#include "setup_config.h"
#include "trust.h"

using namespace portline_setup;

namespace {

struct Options {
  std::string command;
  Request request = Request::Default;
  std::wstring packageDir;
  bool dryRun = false;
  bool quiet = false;
};

std::string Narrow(const std::wstring& text, bool* lossy = nullptr) {
  BOOL usedDefault = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, &usedDefault);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), size, nullptr, &usedDefault);
  if (lossy) *lossy = usedDefault != FALSE;
  return out;
}

std::wstring Wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), size);
  return out;
}

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

System RunningSystem() {
  System system;
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (rtlGetVersion && rtlGetVersion(&version) == 0)
    system.version = {static_cast<unsigned>(version.dwMajorVersion), static_cast<unsigned>(version.dwMinorVersion)};

  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  system.arch = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? Arch::X64
                : info.wProcessorArchitecture == 12 /* ARM64 */             ? Arch::Arm64
                                                                            : Arch::X86;
  using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  auto isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
  USHORT processMachine = 0, nativeMachine = 0;
  if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine)) {
    if (nativeMachine == 0xAA64) system.arch = Arch::Arm64;
    system.wow64 = processMachine == 0x014C;  // a 32-bit x86 program on 64-bit Windows
  } else {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (isWow64Process && isWow64Process(GetCurrentProcess(), &wow64)) system.wow64 = wow64 != FALSE;
  }
  return system;
}

// A work folder of its own under Windows' Temp folder (a plain path, which
// a catalog definition can hold), removed with everything in it.
class WorkFolder {
 public:
  std::string Create() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    path_ = std::wstring(windows) + L"\\Temp\\PortlineSetup-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount());
    CreateDirectoryW((std::wstring(windows) + L"\\Temp").c_str(), nullptr);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) {
      const std::string why = LastErrorText();
      path_.clear();
      return "cannot make the work folder: " + why;
    }
    return {};
  }
  std::string Remove() {
    if (path_.empty()) return {};
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((path_ + L"\\" + found.cFileName).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    if (!RemoveDirectoryW(path_.c_str())) return "cannot remove the work folder " + Narrow(path_) + ": " + LastErrorText();
    path_.clear();
    return {};
  }
  ~WorkFolder() { Remove(); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

std::string WriteTextFile(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "cannot write " + Narrow(path) + ": " + LastErrorText();
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != text.size()) return "cannot write " + Narrow(path) + ": " + LastErrorText();
  return {};
}

// An earlier installation is taken out before a new one goes in.
void RemoveEarlierStep(std::vector<Step>& steps) {
  InstalledPackage earlier;
  if (!ReadRecord(&earlier)) return;
  steps.push_back({"Remove the driver package installed earlier (" + Narrow(earlier.publishedInf) +
                       ") and its certificates",
                   [earlier] {
                     std::string why = RemoveDriverPackage(earlier.publishedInf);
                     if (why.empty()) why = RemoveHelperCertificates(nullptr);
                     if (why.empty()) why = DeleteRecord();
                     return why;
                   },
                   nullptr});
}

// A driver package whose catalog is made and trusted on this PC: the
// WinUSB package, or Portline.sys on 32-bit Windows 7 and later.
struct TrustedPackageInstall {
  std::wstring sourceDir;
  std::wstring infName;                 // L"PortlineWinUsb.inf"
  std::wstring catalogName;             // L"PortlineWinUsb.cat", as the INF names it
  std::vector<std::wstring> fileNames;  // every file of the package, the INF first
  std::wstring recordName;              // L"winusb"
  WorkFolder work;
  SigningIdentity identity;
  std::vector<BYTE> certificate;
  std::wstring publishedInf;
  bool reboot = false;

  std::wstring InWork(const std::wstring& name) const { return work.path() + L"\\" + name; }

  std::string MakeDefinitionAndCatalog() {
    bool lossy = false, anyLossy = false;
    CatalogDefinition definition{Narrow(catalogName), Narrow(work.path(), &lossy), {},
                                 WindowsSevenAndLaterOsAttribute()};
    anyLossy = lossy;
    for (const std::wstring& name : fileNames) {
      definition.members.push_back(Narrow(InWork(name), &lossy));
      anyLossy = anyLossy || lossy;
    }
    const auto text = CatalogDefinitionText(definition);
    if (!text || anyLossy) return "the work folder " + Narrow(work.path()) + " cannot be named in a catalog definition";
    const std::wstring cdf = InWork(L"package.cdf");
    if (std::string why = WriteTextFile(cdf, *text); !why.empty()) return why;
    if (std::string why = MakeCatalog(cdf); !why.empty()) return why;
    return FileExists(InWork(catalogName)) ? std::string()
                                           : "Windows' catalog functions wrote no " + Narrow(catalogName);
  }

  std::vector<Step> Steps() {
    std::vector<Step> steps;
    RemoveEarlierStep(steps);
    steps.push_back({"Copy the driver package into a work folder under Windows' Temp folder",
                     [this] {
                       if (std::string why = work.Create(); !why.empty()) return why;
                       for (const std::wstring& name : fileNames) {
                         const std::wstring from = sourceDir + L"\\" + name;
                         if (!CopyFileW(from.c_str(), InWork(name).c_str(), FALSE))
                           return "cannot copy " + Narrow(from) + ": " + LastErrorText();
                       }
                       return std::string();
                     },
                     [this] { return work.Remove(); }});
    steps.push_back({"Make a code-signing certificate and its private key, for this PC only",
                     [this] {
                       std::string why = identity.Create();
                       certificate = identity.Encoded();
                       return why;
                     },
                     [this] { return identity.DestroyKey(); }});
    steps.push_back({"Make the catalog " + Narrow(catalogName) + " for the package's files",
                     [this] { return MakeDefinitionAndCatalog(); }, nullptr});
    steps.push_back({"Sign the catalog with that certificate",
                     [this] { return SignCatalog(InWork(catalogName), identity.certificate()); }, nullptr});
    steps.push_back({"Destroy the private key, so that nothing else can ever be signed with it",
                     [this] { return identity.DestroyKey(); }, nullptr});
    steps.push_back({"Trust the certificate on this PC (local machine stores Root and TrustedPublisher)",
                     [this] { return TrustOnThisMachine(certificate); },
                     [this] { return DistrustOnThisMachine(certificate); }});
    steps.push_back({"Put " + Narrow(infName) + " into Windows' driver store and onto a plugged-in splicer",
                     [this] {
                       return InstallDriverPackage(InWork(infName), PORTLINE_SETUP_HARDWARE_ID, &publishedInf, &reboot);
                     },
                     [this] { return RemoveDriverPackage(publishedInf); }});
    steps.push_back({"Record the installation (HKLM\\SOFTWARE\\Portline\\Setup)",
                     [this] { return WriteRecord({publishedInf, recordName}); }, [] { return DeleteRecord(); }});
    return steps;
  }
};

// Portline.sys on Windows XP and Vista, from the installed folder (XP has no
// driver store and copies the driver from there when the splicer is plugged
// in). Windows asks the user to accept the unsigned driver.
struct PortlineInstall {
  std::wstring inf;
  std::wstring recordName = L"portline";
  std::wstring publishedInf;
  bool reboot = false;

  std::vector<Step> Steps() {
    std::vector<Step> steps;
    RemoveEarlierStep(steps);
    steps.push_back({"Put " + Narrow(inf.substr(inf.find_last_of(L'\\') + 1)) +
                         " as it is into Windows' driver store and onto a plugged-in splicer",
                     [this] { return InstallDriverPackage(inf, PORTLINE_SETUP_HARDWARE_ID, &publishedInf, &reboot); },
                     [this] { return RemoveDriverPackage(publishedInf); }});
    steps.push_back({"Record the installation (HKLM\\SOFTWARE\\Portline\\Setup)",
                     [this] { return WriteRecord({publishedInf, recordName}); }, [] { return DeleteRecord(); }});
    return steps;
  }
};

int Install(const Options& options, std::ostream& out) {
  const System system = RunningSystem();
  const Choice choice = ChoosePackage(system, options.request);
  out << "Windows " << system.version.major << "." << system.version.minor << ", "
      << (system.arch == Arch::X86 ? "32-bit" : system.arch == Arch::X64 ? "x64" : "ARM64") << "\n";
  if (!choice.ok) {
    out << "No driver package can be installed: " << choice.reason << ".\n";
    return 1;
  }
  out << "Installing " << PackageName(choice.package) << ": " << choice.reason << ".\n";

  const std::wstring dir = options.packageDir.empty() ? ProgramDirectory() : options.packageDir;
  // Windows 7 and later: every package gets a catalog trusted on this PC.
  const bool sevenOrLater = system.version.major > 6 || (system.version.major == 6 && system.version.minor >= 1);
  bool trusted = choice.package == Package::WinUsb || sevenOrLater;
  TrustedPackageInstall signedInstall;
  PortlineInstall plainInstall;
  std::vector<std::wstring> files;
  if (choice.package == Package::WinUsb) {
    signedInstall.infName = L"PortlineWinUsb.inf";
    signedInstall.catalogName = L"PortlineWinUsb.cat";
    signedInstall.recordName = L"winusb";
    files = {L"PortlineWinUsb.inf"};
  } else {
    signedInstall.infName = L"Portline.inf";
    signedInstall.catalogName = L"Portline.cat";
    signedInstall.recordName = L"portline";
    files = {L"Portline.inf", L"Portline.sys"};
  }
  for (const std::wstring& file : files) {
    if (!FileExists(dir + L"\\" + file)) {
      out << "Missing file: " << Narrow(dir + L"\\" + file) << "\n";
      return 1;
    }
  }
  signedInstall.sourceDir = dir;
  signedInstall.fileNames = files;
  plainInstall.inf = dir + L"\\Portline.inf";
  // A WinUSB package whose catalog its distributor signed comes with
  // PortlineWinUsb.cat: it is installed as it is, with no certificate made.
  if (choice.package == Package::WinUsb && FileExists(dir + L"\\PortlineWinUsb.cat")) {
    out << "PortlineWinUsb.cat is present: the package is installed with its distributor's signature.\n";
    trusted = false;
    plainInstall.inf = dir + L"\\PortlineWinUsb.inf";
    plainInstall.recordName = L"winusb";
  }
  const bool ok = trusted ? RunSteps(signedInstall.Steps(), options.dryRun, out)
                          : RunSteps(plainInstall.Steps(), options.dryRun, out);
  const bool reboot = trusted ? signedInstall.reboot : plainInstall.reboot;
  if (options.dryRun) return 0;
  if (!ok) {
    out << "The driver was not installed; everything done so far was undone.\n";
    return 1;
  }
  out << "The driver is installed. Plug in the splicer" << (reboot ? " after restarting Windows" : "") << ".\n";
  return 0;
}

int Uninstall(const Options& options, std::ostream& out) {
  InstalledPackage record;
  const bool recorded = ReadRecord(&record);
  std::vector<Step> steps;
  if (recorded)
    steps.push_back({"Remove the driver package " + Narrow(record.publishedInf) + " from Windows' driver store",
                     [record] { return RemoveDriverPackage(record.publishedInf); }, nullptr});
  else
    out << "No driver package of ours is recorded on this PC.\n";
  steps.push_back({"Remove the helper's certificates from the local machine stores Root and TrustedPublisher",
                   [&out] {
                     int removed = 0;
                     std::string why = RemoveHelperCertificates(&removed);
                     out << "  removed " << removed << " certificate(s)\n";
                     return why;
                   },
                   nullptr});
  steps.push_back({"Remove the installation record", [] { return DeleteRecord(); }, nullptr});
  const bool ok = RunSteps(steps, options.dryRun, out);
  if (options.dryRun) return 0;
  out << (ok ? "The driver package is removed.\n" : "The driver package was not removed completely.\n");
  return ok ? 0 : 1;
}

bool Parse(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  options->command = argv[1];
  if (options->command != "install" && options->command != "uninstall") return false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dry-run") {
      options->dryRun = true;
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else if (arg == "--driver" && i + 1 < argc && options->command == "install") {
      const std::string value = argv[++i];
      if (value == "winusb") options->request = Request::WinUsb;
      else if (value == "portline") options->request = Request::PortlineSys;
      else return false;
    } else if (arg == "--package" && i + 1 < argc && options->command == "install") {
      options->packageDir = Wide(argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::cerr << "portline-setup " SEAMLOG_VERSION_STRING "\n"
                 "usage: portline-setup install [--driver winusb|portline] [--package DIR] [--dry-run] [--quiet]\n"
                 "       portline-setup uninstall [--dry-run] [--quiet]\n";
    return 2;
  }
  std::ostringstream log;
  const int status = options.command == "install" ? Install(options, log) : Uninstall(options, log);
  std::cout << log.str() << std::flush;
  // Started from the installer's window, the console closes at once: say
  // the outcome in a message box too.
  if (!options.quiet && !options.dryRun)
    MessageBoxA(nullptr, log.str().c_str(), "Portline driver setup",
                MB_OK | MB_SETFOREGROUND | (status == 0 ? MB_ICONINFORMATION : MB_ICONERROR));
  return status;
}
