// The Windows build's journal files over an object that makes the calls that
// write, force and rename, so that a test can fail one and see the order of
// them all.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "seamlog/journal/journal_files.h"

namespace seamlog::journal {

// The calls as Win32 has them: a failure sets the last error.
class Win32System {
 public:
  virtual ~Win32System() = default;
  virtual HANDLE Create(const char* path, DWORD access, DWORD share, DWORD disposition);
  virtual BOOL Write(HANDLE file, const void* data, DWORD size, DWORD* written);
  virtual BOOL Flush(HANDLE file);
  virtual BOOL Move(const char* from, const char* to, DWORD flags);
  virtual BOOL Delete(const char* path);
};

// The files of folder through system, which must outlive them.
std::unique_ptr<JournalFiles> MakeWin32JournalFiles(std::string folder, Win32System& system);

}  // namespace seamlog::journal
