// Files and folders a run prepares and reads back.
#pragma once

#include <string>
#include <vector>

namespace automation {

// A Linux path ("/work/x") as Wine's Z: drive path; other paths unchanged.
std::string WindowsPath(const std::string& path);

std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Creates a folder and any missing parents.
void MakeDirectories(const std::string& path);
// Deletes a folder with everything in it; true when it is gone.
bool RemoveFolder(const std::string& folder);

// How often `what` occurs in `text`, overlaps included.
int Count(const std::string& text, const std::string& what);

// A fresh folder under the temporary folder, named `<name>_<process>_<ticks>`,
// deleted with everything in it when this goes.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& name);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Every temporary folder made in this run that is still there.
std::vector<std::string> TemporaryFoldersLeftBehind();

}  // namespace automation
