#include "seamlog/shell/settings.h"

#include <algorithm>
#include <cctype>

namespace seamlog::shell {

std::optional<SplitPath> SplitFilePath(std::string_view fullPath) {
  const auto slash = fullPath.rfind('\\');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view name = fullPath.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;

  SplitPath parts;
  parts.fullPath = std::string(fullPath);
  parts.directory = std::string(fullPath.substr(0, slash));
  parts.baseName = std::string(name.substr(0, dot));
  parts.extension = std::string(name.substr(dot));
  std::transform(parts.extension.begin(), parts.extension.end(), parts.extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return parts;
}

std::string AsAppDirectory(std::string directory) {
  if (directory.empty() || directory.back() != '\\') directory += '\\';
  return directory;
}

Settings::Settings(IniStore& ini, std::string appDirectory)
    : ini_(ini), appDirectory_(AsAppDirectory(std::move(appDirectory))) {}

std::string Settings::SettingsFilePath() const {
  return appDirectory_ + std::string(kSettingsFileName);
}

void Settings::LoadSettings() {
  csvDir_ = ini_.ReadIniString(SettingsFilePath(), std::string(kSettingsSection),
                               std::string(kCsvDirKey));
}

bool Settings::SplitFilePath(std::string_view fullPath) {
  auto parts = shell::SplitFilePath(fullPath);
  if (!parts) return false;
  lastSplit_ = std::move(*parts);
  return true;
}

bool Settings::RememberFileLocation(std::string_view kind) {
  if (kind == "csv") {
    csvParts_ = lastSplit_;
    csvDir_ = csvParts_.directory;
    ini_.WriteIniString(SettingsFilePath(), std::string(kSettingsSection),
                        std::string(kCsvDirKey), csvDir_);
  }
  return true;
}

bool Settings::RememberChosenFile(std::string_view fullPath) {
  return SplitFilePath(fullPath) && RememberFileLocation("csv");
}

void Settings::ClearFileNames() {
  lastSplit_ = {};
  csvParts_ = {};
}

}  // namespace seamlog::shell
