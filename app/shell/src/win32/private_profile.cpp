#include "private_profile.h"

#include <windows.h>

#include <vector>

namespace seamlog::shell {

std::string PrivateProfileStore::ReadIniString(const std::string& filePath,
                                               const std::string& section,
                                               const std::string& key) {
  char buffer[1024] = {};
  GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer,
                           filePath.c_str());
  return std::string(buffer);
}

void PrivateProfileStore::WriteIniString(const std::string& filePath, const std::string& section,
                                         const std::string& key, const std::string& value) {
  WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), filePath.c_str());
}

std::string ProgramDirectory() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return AsAppDirectory(".");
    if (length < path.size()) {
      std::string file(path.data(), length);
      const auto slash = file.rfind('\\');
      return AsAppDirectory(slash == std::string::npos ? std::string(".") : file.substr(0, slash));
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace seamlog::shell
