// portline-setup.exe: installs the driver package that suits the running
// Windows, elevated, as a separate step the user agrees to.
//
//   portline-setup install [--driver winusb|portline] [--package DIR] [--dry-run] [--quiet]
//   portline-setup uninstall [--dry-run] [--quiet]
//
// Started without administrator rights, it asks for them (UAC) and runs
// itself elevated, waits, and ends with the elevated run's status. The
// elevated run trusts nothing a user can change: it keeps itself and the
// package in %ProgramFiles%\Portline Setup (administrators only), copies the
// package into a private work folder, checks every file against digests
// fixed when this program was built, and only then signs and installs.
// Windows 7 and later get the WinUSB package, whose catalog is made trusted
// on this PC: a catalog is made for PortlineWinUsb.inf and signed with a
// certificate made on the spot, whose key exists only in this process's
// memory and is destroyed before the certificate goes into the local
// machine's Root and TrustedPublisher stores. Windows XP and Vista (32-bit)
// get Portline.sys, as it is (Windows asks the user to accept an unsigned
// driver); 32-bit Windows 7 and later get it with --driver portline, its
// catalog made trusted the same way. A failing step undoes the earlier ones;
// an earlier installation stays until the new one is in.
// Exit status: 0 done, 1 failed (nothing left behind), 2 usage, 3 the
// administrator rights were refused.
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "catalog.h"
#include "driver_package.h"
#include "package_digests.h"
#include "portline_setup/catalog_definition.h"
#include "portline_setup/install_plan.h"
#include "portline_setup/package_choice.h"
#include "portline_setup/signing_profile.h"
#include "portline_setup/steps.h"
#include "private_folder.h"
#include "seamlog_version.h"
#include "setup_config.h"
#include "trust.h"
#include "win32util/dll_search.h"
#include "win32util/handles.h"
#include "win32util/system_library.h"

using namespace portline_setup;

namespace {

constexpr int kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitRefused = 3;
const wchar_t kProtectedFolderName[] = L"Portline Setup";
const wchar_t kLogName[] = L"portline-setup.log";

struct Options {
  std::string command;
  Request request = Request::Default;
  std::wstring packageDir;
  bool dryRun = false;
  bool quiet = false;
  bool elevatedRun = false;  // started by an unelevated run of itself
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

std::wstring ProgramPath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) return std::wstring(path.data(), n);
    path.resize(path.size() * 2);
  }
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// %ProgramFiles%\Portline Setup, from the shell's own record (never from the
// environment, which the user sets).
std::wstring ProtectedFolder() {
  using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
  const win32util::Module shell32(win32util::LoadSystemLibrary(L"shell32.dll"));
  auto getFolderPath = shell32 ? reinterpret_cast<GetFolderPathFn>(reinterpret_cast<void*>(
                                     GetProcAddress(shell32.get(), "SHGetFolderPathW")))
                               : nullptr;
  wchar_t programFiles[MAX_PATH] = {};
  if (!getFolderPath || FAILED(getFolderPath(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles)))
    return {};
  return std::wstring(programFiles) + L"\\" + kProtectedFolderName;
}

System RunningSystem() {
  System system;
  RTL_OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (rtlGetVersion && rtlGetVersion(&version) == 0)
    system.version = {static_cast<unsigned>(version.dwMajorVersion),
                      static_cast<unsigned>(version.dwMinorVersion)};

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

// ---- elevation --------------------------------------------------------------

// True when this process has administrator rights in full (always on
// Windows XP, which has no UAC).
bool Elevated() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const win32util::KernelHandle token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
    return GetLastError() == ERROR_INVALID_PARAMETER;  // no such information class: no UAC
  return elevation.TokenIsElevated != 0;
}

std::wstring Quoted(const std::string& arg) {
  std::wstring quoted = L"\"";
  for (wchar_t c : Wide(arg)) {
    if (c == L'"') quoted += L'\\';
    quoted += c;
  }
  return quoted + L"\"";
}

// Runs this program again with administrator rights (Windows asks the user),
// waits for it and returns its status; prints the log it left in the
// protected folder.
int RunElevatedCopy(int argc, char** argv, std::ostream& out) {
  using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
  const win32util::Module shell32(win32util::LoadSystemLibrary(L"shell32.dll"));
  auto shellExecuteEx = shell32 ? reinterpret_cast<ShellExecuteExFn>(reinterpret_cast<void*>(
                                      GetProcAddress(shell32.get(), "ShellExecuteExW")))
                                : nullptr;
  if (!shellExecuteEx) {
    out << "Windows cannot start the driver setup with administrator rights (no ShellExecuteEx).\n";
    return kExitFailed;
  }
  std::wstring parameters;
  for (int i = 1; i < argc; ++i) parameters += Quoted(argv[i]) + L" ";
  parameters += L"--elevated-run";
  const std::wstring program = ProgramPath();
  SHELLEXECUTEINFOW execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  execute.lpVerb = L"runas";
  execute.lpFile = program.c_str();
  execute.lpParameters = parameters.c_str();
  execute.nShow = SW_HIDE;
  if (!shellExecuteEx(&execute)) {
    if (GetLastError() == ERROR_CANCELLED) {
      out << "The administrator rights were refused: the driver was not installed.\n";
      return kExitRefused;
    }
    out << "The driver setup could not start with administrator rights: " << LastErrorText() << "\n";
    return kExitFailed;
  }
  if (!execute.hProcess) {
    out << "The driver setup started but cannot be waited for.\n";
    return kExitFailed;
  }
  const win32util::KernelHandle process(execute.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD status = kExitFailed;
  GetExitCodeProcess(process.get(), &status);
  std::string log;
  HANDLE opened =
      CreateFileW((ProtectedFolder() + L"\\" + kLogName).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (opened != INVALID_HANDLE_VALUE) {
    const win32util::KernelHandle file(opened);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got) log.append(buffer, got);
  }
  out << log << "The driver setup (with administrator rights) ended with status " << status << ".\n";
  return static_cast<int>(status);
}

// ---- the actions ------------------------------------------------------------

// The files of the package the helper installs, with the digests this build
// fixed for them.
struct ExpectedFile {
  const wchar_t* name;
  const char* sha256;
};
constexpr ExpectedFile kExpectedFiles[] = {PORTLINE_SETUP_PACKAGE_DIGESTS};

const char* ExpectedDigest(const std::wstring& name) {
  for (const ExpectedFile& file : kExpectedFiles)
    if (_wcsicmp(file.name, name.c_str()) == 0) return file.sha256;
  return nullptr;
}

class Installation final : public SetupActions {
 public:
  std::wstring sourceDir;
  std::vector<std::wstring> fileNames;  // every file of the package, the INF first
  std::wstring infName, catalogName, recordName;
  bool signOnThisPc = true;
  bool distributorCatalog = false;
  SignatureDigest digest = SignatureDigest::Sha256;
  std::ostream* out = nullptr;
  bool reboot = false;

  InstalledPackage earlier;
  bool hadRecord = false;

  StepResult Do(Action action) override {
    switch (action) {
      case Action::KeepProtectedCopies:
        return KeepProtectedCopies();
      case Action::DropProtectedCopies:
        return protectedCreated_ ? RemoveFolder(protected_) : std::string();
      case Action::MakeWorkFolder:
        return MakeWorkFolder();
      case Action::RemoveWorkFolder:
        return RemoveWorkFolderNow();
      case Action::CheckPackageDigests:
        return CheckDigests();
      case Action::MakeSigningKey: {
        std::string why = identity_.Create(digest);
        certificate_ = identity_.Encoded();
        return why;
      }
      case Action::DestroySigningKey:
        return identity_.DestroyKey();
      case Action::MakeCatalog:
        return MakeDefinitionAndCatalog();
      case Action::SignCatalog:
        return SignCatalog(InWork(catalogName), identity_.certificate(), digest);
      case Action::TrustCertificate:
        return TrustOnThisMachine(certificate_);
      case Action::DistrustCertificate:
        return DistrustOnThisMachine(certificate_);
      case Action::RecordPending: {
        InstalledPackage pending = earlier;
        if (!hadRecord) pending = {L"", recordName, L"", L"", SignerName()};
        pending.state = L"pending";
        // A package left by a killed run is found under either signer.
        if (distributorCatalog) pending.signer = L"distributor";
        return WriteRecord(pending);
      }
      case Action::RestoreRecord:
        return hadRecord ? WriteRecord(earlier) : DeleteRecord();
      case Action::InstallPackage: {
        const std::wstring inf = (signOnThisPc || distributorCatalog ? work_ : protected_) + L"\\" + infName;
        return InstallDriverPackage(inf, PORTLINE_SETUP_HARDWARE_ID, &published_, &reboot);
      }
      case Action::RemoveNewPackage:
        return RemoveFromDriverStore(published_);
      case Action::RecordInstalled: {
        const std::wstring replaced =
            hadRecord && earlier.publishedInf != published_ ? earlier.publishedInf : L"";
        return WriteRecord({published_, recordName, L"installed", replaced, SignerName()});
      }
      case Action::RemoveEarlierPackage:
        return RemoveEarlier();
      case Action::RemoveRecordedPackages:
      case Action::RemoveCertificates:
      case Action::DeleteRecord:
      case Action::RemoveHelperFolder:
        break;
    }
    return "not an install action";
  }

  ~Installation() override { RemoveWorkFolderNow(); }

 private:
  std::wstring InWork(const std::wstring& name) const { return work_ + L"\\" + name; }
  const wchar_t* SignerName() const { return distributorCatalog ? L"distributor" : L"this PC"; }

  StepResult KeepProtectedCopies() {
    protected_ = ProtectedFolder();
    if (protected_.empty()) return "cannot find the Program Files folder";
    const bool runningThere = _wcsicmp(FolderOf(ProgramPath()).c_str(), protected_.c_str()) == 0;
    if (GetFileAttributesW(protected_.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (std::string why = MakeNewFolder(protected_, kProtectedFolderSddl); !why.empty()) return why;
      protectedCreated_ = true;
    } else if (std::string why = ProtectFolder(protected_, kProtectedFolderSddl); !why.empty()) {
      return why;
    }
    if (runningThere) return {};
    // Each file goes in as a new file in a private folder first, then takes
    // the place of the one there.
    const std::wstring staging = protected_ + L"\\" + RandomName(L"new-");
    if (std::string why = MakeNewFolder(staging, kAdministratorsOnlySddl); !why.empty()) return why;
    std::vector<std::pair<std::wstring, std::wstring>> copies = {{ProgramPath(), L"portline-setup.exe"}};
    for (const wchar_t* name :
         {L"PortlineWinUsb.inf", L"PortlineWinUsb.cat", L"Portline.inf", L"Portline.sys"})
      if (FileExists(sourceDir + L"\\" + name)) copies.push_back({sourceDir + L"\\" + name, name});
    std::string failure;
    for (const auto& [from, name] : copies) {
      failure = CopyAsNewFile(from, staging + L"\\" + name);
      if (failure.empty() && !MoveFileExW((staging + L"\\" + name).c_str(),
                                          (protected_ + L"\\" + name).c_str(), MOVEFILE_REPLACE_EXISTING))
        failure = "cannot put " + Narrow(name) + " into " + Narrow(protected_) + ": " + LastErrorText();
      if (!failure.empty()) break;
    }
    RemoveFolder(staging);
    // A distributor's catalog from an earlier install that this package does not bring.
    if (failure.empty() && !FileExists(sourceDir + L"\\PortlineWinUsb.cat"))
      DeleteFileW((protected_ + L"\\PortlineWinUsb.cat").c_str());
    return failure;
  }

  StepResult MakeWorkFolder() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring temp = std::wstring(windows) + L"\\Temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    const std::wstring path = temp + L"\\" + RandomName(L"PortlineSetup-");
    if (std::string why = MakeNewFolder(path, kAdministratorsOnlySddl); !why.empty()) return why;
    work_ = path;
    for (const std::wstring& name : fileNames)
      if (std::string why = CopyAsNewFile(protected_ + L"\\" + name, InWork(name)); !why.empty()) return why;
    return {};
  }

  StepResult RemoveWorkFolderNow() {
    if (work_.empty()) return {};
    std::string why = RemoveFolder(work_);
    if (why.empty()) work_.clear();
    return why;
  }

  StepResult CheckDigests() {
    for (const std::wstring& name : fileNames) {
      const char* expected = ExpectedDigest(name);
      // The distributor's catalog is checked by Windows itself, against its signature.
      if (!expected && name == L"PortlineWinUsb.cat" && distributorCatalog) continue;
      if (!expected) return Narrow(name) + " is no file of this build's packages";
      for (const std::wstring& copy : {InWork(name), protected_ + L"\\" + name}) {
        std::string why;
        const std::string actual = FileSha256(copy, &why);
        if (actual.empty()) return why;
        if (actual != expected)
          return Narrow(copy) + " is not the file this setup was built with (it was changed): refused";
      }
    }
    return {};
  }

  StepResult MakeDefinitionAndCatalog() {
    bool lossy = false, anyLossy = false;
    CatalogDefinition definition{
        Narrow(catalogName), Narrow(work_, &lossy), {}, WindowsSevenAndLaterOsAttribute()};
    anyLossy = lossy;
    for (const std::wstring& name : fileNames) {
      definition.members.push_back(Narrow(InWork(name), &lossy));
      anyLossy = anyLossy || lossy;
    }
    const auto text = CatalogDefinitionText(definition);
    if (!text || anyLossy)
      return "the work folder " + Narrow(work_) + " cannot be named in a catalog definition";
    const std::wstring cdf = InWork(L"package.cdf");
    if (std::string why = WriteNewFile(cdf, *text); !why.empty()) return why;
    if (FileExists(InWork(catalogName)))
      return Narrow(catalogName) + " is already in the work folder: refused";
    if (std::string why = MakeCatalog(cdf); !why.empty()) return why;
    return FileExists(InWork(catalogName)) ? std::string()
                                           : "Windows' catalog functions wrote no " + Narrow(catalogName);
  }

  // Failures here are warnings: the new package is in and stays.
  StepResult RemoveEarlier() {
    bool complete = true;
    const OurSigner signer =
        hadRecord && earlier.signer == L"distributor" ? OurSigner::Anyone : OurSigner::ThisPc;
    for (const std::wstring& inf : OurPublishedInfs(signer)) {
      if (_wcsicmp(inf.c_str(), published_.c_str()) == 0) continue;
      if (std::string why = RemoveOurPackage(inf, signer); !why.empty()) {
        *out << "  warning: " << why << "\n";
        complete = false;
      } else {
        *out << "  removed " << Narrow(inf) << "\n";
      }
    }
    // The same package again keeps its earlier catalog in the driver store,
    // and with it the need for the earlier certificate.
    const bool samePackage = hadRecord && _wcsicmp(earlier.publishedInf.c_str(), published_.c_str()) == 0;
    if (!samePackage) {
      if (std::string why = RemoveHelperCertificates(nullptr, certificate_); !why.empty()) {
        *out << "  warning: " << why << "\n";
        complete = false;
      }
    }
    if (complete) WriteRecord({published_, recordName, L"installed", L"", SignerName()});
    return {};
  }

  std::wstring protected_;
  bool protectedCreated_ = false;
  std::wstring work_;
  SigningIdentity identity_;
  std::vector<BYTE> certificate_;
  std::wstring published_;
};

class Removal final : public SetupActions {
 public:
  std::ostream* out = nullptr;

  StepResult Do(Action action) override {
    switch (action) {
      case Action::RemoveRecordedPackages:
        return RemovePackages();
      case Action::RemoveCertificates: {
        int removed = 0;
        std::string why = RemoveHelperCertificates(&removed);
        *out << "  removed " << removed << " certificate(s)\n";
        return why;
      }
      case Action::DeleteRecord:
        return DeleteRecord();
      case Action::RemoveHelperFolder:
        return RemoveHelperFolder();
      default:
        return "not an uninstall action";
    }
  }

 private:
  // The running program may be the one in that folder: Windows removes it,
  // and then the folder, at the next restart.
  StepResult RemoveHelperFolder() {
    const std::wstring folder = ProtectedFolder();
    if (folder.empty() || GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
    const std::wstring program = ProgramPath();
    if (_wcsicmp(FolderOf(program).c_str(), folder.c_str()) != 0) return RemoveFolder(folder);
    RemoveFolder(folder);  // everything but the running program
    if (!MoveFileExW(program.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ||
        !MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
      *out << "  warning: " << Narrow(folder) << " stays until it is deleted by hand: " << LastErrorText()
           << "\n";
    else
      *out << "  " << Narrow(folder) << " goes at the next restart of Windows\n";
    return {};
  }

  // The recorded packages, and every package of ours the driver store holds
  // (one a killed helper left while its record said "pending"): each checked
  // before it is removed.
  StepResult RemovePackages() {
    InstalledPackage record;
    const bool recorded = ReadRecord(&record);
    // A distributor's catalog is signed by the distributor; ours by a helper.
    const OurSigner signer =
        recorded && record.signer == L"distributor" ? OurSigner::Anyone : OurSigner::ThisPc;
    std::vector<std::wstring> candidates = OurPublishedInfs(signer);
    if (recorded) {
      for (const std::wstring& inf : {record.publishedInf, record.earlierPublishedInf}) {
        bool listed = inf.empty();
        for (const std::wstring& c : candidates) listed = listed || _wcsicmp(c.c_str(), inf.c_str()) == 0;
        if (!listed) candidates.push_back(inf);
      }
    }
    if (candidates.empty()) *out << "  no driver package of ours is in the driver store\n";
    std::string failure;
    for (const std::wstring& inf : candidates) {
      const std::string why = RemoveOurPackage(inf, signer);
      if (why.rfind("left ", 0) == 0) {
        *out << "  " << why << "\n";  // not ours: nothing to remove, not a failure
      } else if (!why.empty()) {
        failure = why;
      } else {
        *out << "  removed " << Narrow(inf) << "\n";
      }
    }
    return failure;
  }
};

int Install(const Options& options, std::ostream& out) {
  const System system = RunningSystem();
  const Choice choice = ChoosePackage(system, options.request);
  out << "Windows " << system.version.major << "." << system.version.minor << ", "
      << (system.arch == Arch::X86   ? "32-bit"
          : system.arch == Arch::X64 ? "x64"
                                     : "ARM64")
      << "\n";
  if (!choice.ok) {
    out << "No driver package can be installed: " << choice.reason << ".\n";
    return kExitFailed;
  }
  out << "Installing " << PackageName(choice.package) << ": " << choice.reason << ".\n";

  Installation install;
  install.out = &out;
  install.sourceDir = options.packageDir.empty() ? FolderOf(ProgramPath()) : options.packageDir;
  install.digest = DigestFor(system.version);
  // Windows 7 and later: every package gets a catalog trusted on this PC.
  const bool sevenOrLater =
      system.version.major > 6 || (system.version.major == 6 && system.version.minor >= 1);
  if (choice.package == Package::WinUsb) {
    install.infName = L"PortlineWinUsb.inf";
    install.catalogName = L"PortlineWinUsb.cat";
    install.recordName = L"winusb";
    install.fileNames = {L"PortlineWinUsb.inf"};
  } else {
    install.infName = L"Portline.inf";
    install.catalogName = L"Portline.cat";
    install.recordName = L"portline";
    install.fileNames = {L"Portline.inf", L"Portline.sys"};
  }
  install.signOnThisPc = choice.package == Package::WinUsb || sevenOrLater;
  for (const std::wstring& file : install.fileNames) {
    if (!FileExists(install.sourceDir + L"\\" + file)) {
      out << "Missing file: " << Narrow(install.sourceDir + L"\\" + file) << "\n";
      return kExitFailed;
    }
  }
  // A WinUSB package whose catalog its distributor signed comes with
  // PortlineWinUsb.cat: it is installed as it is, with no certificate made.
  if (choice.package == Package::WinUsb && FileExists(install.sourceDir + L"\\PortlineWinUsb.cat")) {
    out << "PortlineWinUsb.cat is present: the package is installed with its distributor's signature.\n";
    install.signOnThisPc = false;
    install.distributorCatalog = true;
    install.fileNames.push_back(L"PortlineWinUsb.cat");
  }
  install.hadRecord = ReadRecord(&install.earlier);
  const InstallPlan plan{Narrow(install.infName), install.signOnThisPc,
                         install.hadRecord || !OurPublishedInfs().empty()};
  const bool ok = RunSteps(InstallSteps(plan, install), options.dryRun, out);
  if (options.dryRun) return kExitDone;
  if (!ok) {
    out << "The driver was not installed; everything done so far was undone.\n";
    return kExitFailed;
  }
  out << "The driver is installed. Plug in the splicer" << (install.reboot ? " after restarting Windows" : "")
      << ".\n";
  return kExitDone;
}

int Uninstall(const Options& options, std::ostream& out) {
  Removal removal;
  removal.out = &out;
  const bool ok = RunSteps(UninstallSteps(removal), options.dryRun, out);
  if (options.dryRun) return kExitDone;
  out << (ok ? "The driver package is removed.\n" : "The driver package was not removed completely.\n");
  return ok ? kExitDone : kExitFailed;
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
    } else if (arg == "--elevated-run") {
      options->elevatedRun = true;
    } else if (arg == "--driver" && i + 1 < argc && options->command == "install") {
      const std::string value = argv[++i];
      if (value == "winusb")
        options->request = Request::WinUsb;
      else if (value == "portline")
        options->request = Request::PortlineSys;
      else
        return false;
    } else if (arg == "--package" && i + 1 < argc && options->command == "install") {
      options->packageDir = Wide(argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

// The file opened for reading with reading shared only, or null.
HANDLE LockedForReading(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

// The elevated run's log, for the unelevated run that waits for it: in the
// protected folder, as a new file (an older one is removed first). A failed
// first install has removed that folder: it is made again for the log, so
// that the reason reaches the user.
void KeepLog(const std::string& text) {
  const std::wstring folder = ProtectedFolder();
  if (folder.empty()) return;
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES &&
      !MakeNewFolder(folder, kProtectedFolderSddl).empty())
    return;
  const std::wstring path = folder + L"\\" + kLogName;
  DeleteFileW(path.c_str());
  WriteNewFile(path, text);
}

}  // namespace

int main(int argc, char** argv) {
  // First of all: no DLL from this program's folder or the current one.
  win32util::RestrictDllSearchToSystemFolder();
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::cerr
        << "portline-setup " SEAMLOG_VERSION_STRING
           "\n"
           "usage: portline-setup install [--driver winusb|portline] [--package DIR] [--dry-run] [--quiet]\n"
           "       portline-setup uninstall [--dry-run] [--quiet]\n";
    return kExitUsage;
  }
  std::ostringstream log;
  int status;
  if (!options.dryRun && !Elevated()) {
    status = options.elevatedRun
                 ? (log << "The driver setup did not get administrator rights.\n", kExitFailed)
                 : RunElevatedCopy(argc, argv, log);
  } else {
    // The program file stays as it is while this run copies it: nobody may
    // write, rename or delete it until the end.
    const win32util::KernelHandle keepProgram(LockedForReading(ProgramPath()));
    status = options.command == "install" ? Install(options, log) : Uninstall(options, log);
    if (options.elevatedRun) KeepLog(log.str());
  }
  std::cout << log.str() << std::flush;
  // Started from the installer's window or the Start menu, the console
  // closes at once: say the outcome in a message box too (once).
  if (!options.quiet && !options.dryRun && !options.elevatedRun)
    MessageBoxA(nullptr, log.str().c_str(), "Portline driver setup",
                MB_OK | MB_SETFOREGROUND | (status == 0 ? MB_ICONINFORMATION : MB_ICONERROR));
  return status;
}
