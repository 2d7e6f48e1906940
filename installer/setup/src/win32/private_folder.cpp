#include "private_folder.h"

#include <objbase.h>
#include <sddl.h>

#include "trust.h"
#include "win32util/handles.h"

namespace portline_setup {

// FA: full access; OICI: files and folders below inherit it; P: protected
// from the parent's access list. FRFX: read and run.
const wchar_t kAdministratorsOnlySddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kProtectedFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

SecurityDescriptor::SecurityDescriptor(const wchar_t* sddl) {
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr))
    descriptor_ = nullptr;
}

SecurityDescriptor::~SecurityDescriptor() {
  if (descriptor_) LocalFree(descriptor_);
}

std::string MakeNewFolder(const std::wstring& path, const wchar_t* sddl) {
  const SecurityDescriptor descriptor(sddl);
  if (!descriptor) return "cannot make the access list for " + Narrow(path) + ": " + LastErrorText();
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  if (!CreateDirectoryW(path.c_str(), &attributes)) {
    if (GetLastError() == ERROR_ALREADY_EXISTS)
      return Narrow(path) + " is already there: refused, it may have been made by someone else";
    return "cannot make " + Narrow(path) + ": " + LastErrorText();
  }
  return {};
}

std::string ProtectFolder(const std::wstring& path, const wchar_t* sddl) {
  const SecurityDescriptor descriptor(sddl);
  if (!descriptor) return "cannot make the access list for " + Narrow(path) + ": " + LastErrorText();
  if (!SetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        descriptor.get()))
    return "cannot protect " + Narrow(path) + ": " + LastErrorText();
  return {};
}

std::string CopyAsNewFile(const std::wstring& from, const std::wstring& to) {
  if (CopyFileW(from.c_str(), to.c_str(), TRUE)) return {};
  if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
    return Narrow(to) + " is already there: refused, it may have been put there by someone else";
  return "cannot copy " + Narrow(from) + ": " + LastErrorText();
}

std::string WriteNewFile(const std::wstring& path, const std::string& text) {
  win32util::KernelHandle file;
  HANDLE opened =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
      return Narrow(path) + " is already there: refused, it may have been put there by someone else";
    return "cannot write " + Narrow(path) + ": " + LastErrorText();
  }
  file.Reset(opened);
  DWORD written = 0;
  if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size())
    return "cannot write " + Narrow(path) + ": " + LastErrorText();
  return {};
}

std::string RemoveFolder(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileW((path + L"\\" + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  if (!RemoveDirectoryW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
      GetLastError() != ERROR_PATH_NOT_FOUND)
    return "cannot remove the folder " + Narrow(path) + ": " + LastErrorText();
  return {};
}

std::wstring RandomName(const std::wstring& prefix) {
  GUID guid{};
  CoCreateGuid(&guid);
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  std::wstring name = prefix;
  for (const wchar_t* c = text; *c; ++c)
    if (*c != L'{' && *c != L'}') name += *c;
  return name;
}

std::string FileSha256(const std::wstring& path, std::string* why) {
  // Read shared for reading only: nobody writes it while it is hashed.
  HANDLE opened =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    *why = "cannot read " + Narrow(path) + ": " + LastErrorText();
    return {};
  }
  const win32util::KernelHandle file(opened);
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    *why = "cannot compute digests: " + LastErrorText();
    return {};
  }
  std::string hex;
  bool ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) != FALSE;
  BYTE buffer[16384];
  DWORD got = 0;
  while (ok && (ok = ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) != FALSE) && got > 0)
    ok = CryptHashData(hash, buffer, got, 0) != FALSE;
  BYTE digest[32];
  DWORD size = sizeof digest;
  if (ok) ok = CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
  if (ok) {
    static const char digits[] = "0123456789abcdef";
    for (BYTE b : digest) {
      hex += digits[b >> 4];
      hex += digits[b & 15];
    }
  } else {
    *why = "cannot compute the digest of " + Narrow(path) + ": " + LastErrorText();
  }
  if (hash) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return hex;
}

}  // namespace portline_setup
