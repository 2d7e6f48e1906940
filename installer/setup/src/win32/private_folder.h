// Folders and files the elevated helper makes: with access lists that let
// no unprivileged user change them, under names nobody can take first, and
// files that are always new (CREATE_NEW): something that was there before
// is a refusal, never something to write over.
#pragma once

#include <windows.h>

#include <string>

namespace portline_setup {

// SYSTEM and Administrators only, nothing inherited from the parent.
extern const wchar_t kAdministratorsOnlySddl[];
// The same, plus read and run for Users: the folder that keeps the helper.
extern const wchar_t kProtectedFolderSddl[];

// A security descriptor made from SDDL text, freed at the end of scope.
class SecurityDescriptor {
 public:
  explicit SecurityDescriptor(const wchar_t* sddl);
  ~SecurityDescriptor();
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }
  explicit operator bool() const { return descriptor_ != nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Makes the folder with the access list `sddl`. A folder (or file) that is
// already there is refused: it may belong to someone else.
std::string MakeNewFolder(const std::wstring& path, const wchar_t* sddl);
// Puts the access list `sddl` on an existing folder, protected from
// inheritance; the folder's owner becomes Administrators.
std::string ProtectFolder(const std::wstring& path, const wchar_t* sddl);
// Copies a file to a name that must not exist yet.
std::string CopyAsNewFile(const std::wstring& from, const std::wstring& to);
// Writes a file that must not exist yet.
std::string WriteNewFile(const std::wstring& path, const std::string& text);
// Removes the files in a folder and the folder (not below it).
std::string RemoveFolder(const std::wstring& path);
// A name nobody can guess: the prefix and a fresh GUID.
std::wstring RandomName(const std::wstring& prefix);

// "9f86d0...": the SHA-256 of a file in lower-case hex, or empty (with
// `why`) when it cannot be read.
std::string FileSha256(const std::wstring& path, std::string* why);

}  // namespace portline_setup
