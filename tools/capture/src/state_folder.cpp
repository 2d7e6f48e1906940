#include "state_folder.h"

#include <filesystem>
#include <system_error>

namespace seamlog::tools {

std::string StateFolder(const char* xdgStateHome, const char* home, bool macos) {
  const bool hasHome = home != nullptr && *home == '/';
  if (macos) return hasHome ? std::string(home) + "/Library/Application Support/Seamlog" : std::string();
  // A relative XDG_STATE_HOME is invalid and ignored.
  if (xdgStateHome != nullptr && *xdgStateHome == '/') return std::string(xdgStateHome) + "/seamlog";
  return hasHome ? std::string(home) + "/.local/state/seamlog" : std::string();
}

std::string MakeFolders(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return "cannot make the folder '" + folder + "': " + error.message();
  return {};
}

}  // namespace seamlog::tools
