#include "device_claim.h"

#include <cstdint>
#include <cwctype>
#include <utility>
#include <vector>

#include "win32util/system_library.h"

namespace portline {
namespace {

// advapi32 is looked up at run time: the library imports kernel32 and
// setupapi only, and Windows XP has every function used here.
struct Advapi {
  using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
  using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
  using SidToStringFn = BOOL(WINAPI*)(PSID, LPWSTR*);
  using StringToDescriptorFn = BOOL(WINAPI*)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
  OpenProcessTokenFn openProcessToken = nullptr;
  GetTokenInformationFn getTokenInformation = nullptr;
  SidToStringFn sidToString = nullptr;
  StringToDescriptorFn stringToDescriptor = nullptr;
};

template <typename Fn>
void Bind(HMODULE module, Fn& fn, const char* name) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const Advapi& Api() {
  static const Advapi api = [] {
    Advapi loaded;
    if (HMODULE module = win32util::LoadSystemLibrary(L"advapi32.dll")) {
      Bind(module, loaded.openProcessToken, "OpenProcessToken");
      Bind(module, loaded.getTokenInformation, "GetTokenInformation");
      Bind(module, loaded.sidToString, "ConvertSidToStringSidW");
      Bind(module, loaded.stringToDescriptor, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    }
    return loaded;
  }();
  return api;
}

// The access list of a claim: this user and SYSTEM, nobody else.
class ClaimSecurity {
 public:
  explicit ClaimSecurity(const std::wstring& sid) {
    const Advapi& api = Api();
    if (sid.empty() || !api.stringToDescriptor) return;
    const std::wstring sddl = L"D:P(A;;GA;;;" + sid + L")(A;;GA;;;SY)";
    if (!api.stringToDescriptor(sddl.c_str(), 1 /* SDDL_REVISION_1 */, &descriptor_, nullptr))
      descriptor_ = nullptr;
    attributes_ = {sizeof attributes_, descriptor_, FALSE};
  }
  ~ClaimSecurity() {
    if (descriptor_) LocalFree(descriptor_);
  }
  ClaimSecurity(const ClaimSecurity&) = delete;
  ClaimSecurity& operator=(const ClaimSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

std::wstring DeviceClaim::UserSid() {
  const Advapi& api = Api();
  if (!api.openProcessToken || !api.getTokenInformation || !api.sidToString) return {};
  HANDLE opened = nullptr;
  if (!api.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const win32util::KernelHandle token(opened);
  DWORD size = 0;
  api.getTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> buffer(size);
  if (!api.getTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  wchar_t* text = nullptr;
  if (!api.sidToString(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

std::wstring DeviceClaim::NameFor(const std::wstring& path) {
  // Interface paths contain backslashes and can be long; object names may not
  // and cannot. A 64-bit FNV-1a hash of the lower-case path names it instead.
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : path) {
    const auto lower = static_cast<std::uint16_t>(std::towlower(static_cast<std::wint_t>(c)));
    hash = (hash ^ (lower & 0xFF)) * 1099511628211ull;
    hash = (hash ^ (lower >> 8)) * 1099511628211ull;
  }
  static const wchar_t digits[] = L"0123456789abcdef";
  static const std::wstring sid = UserSid();
  std::wstring name = L"Local\\PortlineUSB-";
  if (!sid.empty()) name += sid + L"-";
  for (int shift = 60; shift >= 0; shift -= 4) name += digits[(hash >> shift) & 0xF];
  return name;
}

bool DeviceClaim::Take(const std::wstring& path) {
  Drop();
  ClaimSecurity security(UserSid());
  std::wstring name = NameFor(path);
  win32util::KernelHandle mutex(CreateMutexW(security.get(), FALSE, name.c_str()));
  // Systems without session namespaces know no Local prefix.
  if (!mutex && (GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_INVALID_NAME))
    mutex.Reset(CreateMutexW(security.get(), FALSE, name.substr(name.find(L'\\') + 1).c_str()));
  const DWORD error = GetLastError();
  if (mutex && error != ERROR_ALREADY_EXISTS) {
    mutex_ = std::move(mutex);
    return true;
  }
  mutex.Reset();
  // A mutex of that name: a program of this user holds the splicer. Another
  // kind of object under the name (Windows says "invalid handle"), or one
  // this user may not open, is no claim of ours: somebody took the name.
  if (error == ERROR_ALREADY_EXISTS)
    SetLastError(ERROR_BUSY);
  else if (error == ERROR_INVALID_HANDLE || error == ERROR_ACCESS_DENIED)
    SetLastError(kClaimNameTaken);
  else
    SetLastError(error);
  return false;
}

}  // namespace portline
