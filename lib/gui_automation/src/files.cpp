#include "gui_automation/files.h"

#include <windows.h>

#include <fstream>
#include <iterator>

namespace automation {

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirectories(const std::string& path) {
  for (std::size_t at = path.find_first_of("\\/", 3);; at = path.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    if (at == std::string::npos) break;
  }
}

bool RemoveFolder(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveFolder(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
  return !FileExists(folder);
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

namespace {
std::vector<std::string>& MadeFolders() {
  static std::vector<std::string> made;
  return made;
}
}  // namespace

TemporaryFolder::TemporaryFolder(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  path_ = std::string(temp) + name + "_" + std::to_string(GetCurrentProcessId()) + "_" +
          std::to_string(GetTickCount64());
  CreateDirectoryA(path_.c_str(), nullptr);
  MadeFolders().push_back(path_);
}

TemporaryFolder::~TemporaryFolder() { RemoveFolder(path_); }

std::vector<std::string> TemporaryFoldersLeftBehind() {
  std::vector<std::string> left;
  for (const std::string& folder : MadeFolders())
    if (FileExists(folder)) left.push_back(folder);
  return left;
}

}  // namespace automation
