#pragma once
// The settings file through the system's private-profile functions.
#include "seamlog/shell/settings.h"

namespace seamlog::shell {

class PrivateProfileStore final : public IniStore {
 public:
  // Reads into a buffer of 1024 characters: a longer value comes back cut
  // to 1023.
  std::string ReadIniString(const std::string& filePath, const std::string& section,
                            const std::string& key) override;
  void WriteIniString(const std::string& filePath, const std::string& section, const std::string& key,
                      const std::string& value) override;
};

// The directory of the program file, with its trailing backslash, as
// Windows names it (wide): read whatever the user's name or folder holds.
std::wstring ProgramDirectoryWide();

// A name of `path` in the ANSI code page that reaches the same folder or
// file: the path itself when every character has an ANSI form, else its
// short (8.3) form, which is plain ASCII. Empty when there is none (short
// names are turned off on that volume).
std::string AnsiPathFor(const std::wstring& path);

// The program's directory in the ANSI code page, with its trailing
// backslash: AnsiPathFor(ProgramDirectoryWide()), so that Benchkit.ini, the
// journal and the log land beside the program even under a user folder
// with characters outside the code page (GetModuleFileNameA would give '?'
// there). Only when no such name exists: the lossy ANSI conversion.
std::string ProgramDirectory();

}  // namespace seamlog::shell
