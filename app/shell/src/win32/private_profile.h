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
  void WriteIniString(const std::string& filePath, const std::string& section,
                      const std::string& key, const std::string& value) override;
};

// The directory of the program file, with its trailing backslash.
std::string ProgramDirectory();

}  // namespace seamlog::shell
