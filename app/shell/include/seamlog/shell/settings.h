#pragma once
// The settings file "Benchkit.ini" in the program's directory, the path
// splitter for chosen files and the remembered save directory.
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/save/save_as_flow.h"

namespace seamlog::shell {

// Reads and writes one value of an initialisation file. The Windows build
// uses the private-profile functions; tests use a map.
class IniStore {
 public:
  virtual ~IniStore() = default;
  // The value, or "" when the file, the section or the key is missing.
  virtual std::string ReadIniString(const std::string& filePath, const std::string& section,
                                    const std::string& key) = 0;
  // A failed write goes unnoticed.
  virtual void WriteIniString(const std::string& filePath, const std::string& section,
                              const std::string& key, const std::string& value) = 0;
};

// A full path cut at its last backslash and the file name at its last dot.
struct SplitPath {
  std::string fullPath;
  std::string directory;  // without the last backslash ("C:" for a file in a drive's root)
  std::string baseName;   // the name before its last dot
  std::string extension;  // from the last dot on, lower case (".csv")
  bool operator==(const SplitPath&) const = default;
};

// Empty when the path has no backslash or its file name has no dot.
std::optional<SplitPath> SplitFilePath(std::string_view fullPath);

// The program's directory with exactly the one trailing backslash it needs.
std::string AsAppDirectory(std::string directory);

inline constexpr std::string_view kSettingsFileName = "Benchkit.ini";
inline constexpr std::string_view kSettingsSection = "System";
inline constexpr std::string_view kCsvDirKey = "CsvDir";

class Settings final : public save::SaveLocation {
 public:
  Settings(IniStore& ini, std::string appDirectory);

  const std::string& AppDirectory() const { return appDirectory_; }
  std::string SettingsFilePath() const;

  // CsvDir = the "CsvDir" value of section "System".
  void LoadSettings();

  // Splits the path and keeps it as the last split path. False (and nothing
  // kept) when the path cannot be split.
  bool SplitFilePath(std::string_view fullPath);

  // For the kind "csv": the last split path becomes the csv parts, its
  // directory becomes CsvDir, and CsvDir is written to the settings file.
  bool RememberFileLocation(std::string_view kind);

  // Empties the chosen file's parts and the last split path; CsvDir stays.
  void ClearFileNames() override;

  // Save As: SplitFilePath, then RememberFileLocation("csv").
  bool RememberChosenFile(std::string_view fullPath) override;

  std::string CsvDir() const override { return csvDir_; }
  const SplitPath& LastSplit() const { return lastSplit_; }
  const SplitPath& CsvParts() const { return csvParts_; }
  const std::string& ChosenFilePath() const { return csvParts_.fullPath; }

 private:
  IniStore& ini_;
  std::string appDirectory_;
  std::string csvDir_;
  SplitPath lastSplit_;
  SplitPath csvParts_;
};

}  // namespace seamlog::shell
