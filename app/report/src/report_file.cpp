#include "report_file.h"

#include <cstdio>
#include <cstring>

#include "seamlog/report/make_report.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace seamlog::report {

#ifdef _WIN32

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (GetFileAttributesA(a.c_str()) == INVALID_FILE_ATTRIBUTES ||
      GetFileAttributesA(b.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  char fullA[MAX_PATH * 2], fullB[MAX_PATH * 2];
  const DWORD lengthA = GetFullPathNameA(a.c_str(), sizeof fullA, fullA, nullptr);
  const DWORD lengthB = GetFullPathNameA(b.c_str(), sizeof fullB, fullB, nullptr);
  if (lengthA == 0 || lengthA >= sizeof fullA || lengthB == 0 || lengthB >= sizeof fullB) return a == b;
  return lstrcmpiA(fullA, fullB) == 0;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

bool IsFolder(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat statusA {
  }, statusB{};
  return stat(a.c_str(), &statusA) == 0 && stat(b.c_str(), &statusB) == 0 &&
         statusA.st_dev == statusB.st_dev && statusA.st_ino == statusB.st_ino;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

#endif

bool ReadWholeFile(const std::string& path, std::uintmax_t limit, std::string& bytes, std::string& error) {
  bytes.clear();
  if (IsFolder(path)) {
    error = "is a folder, not a table file";
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot be opened (missing, or not readable)";
    return false;
  }
  char buffer[1 << 16];
  bool tooLarge = false;
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    bytes.append(buffer, got);
    if (bytes.size() > limit) {
      tooLarge = true;
      break;
    }
    if (got < sizeof buffer) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (tooLarge) error = "is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB; not read";
  if (failed) error = "could not be read to its end";
  if (tooLarge || failed) {
    bytes.clear();
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
  const std::string part = path + ".part";
  std::FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) {
    error = "'" + path + "' cannot be written (no such folder, or no permission)";
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::remove(part.c_str());
    error = "writing '" + path + "' failed (the disk may be full)";
    return false;
  }
  if (!ReplaceFile(part, path)) {
    std::remove(part.c_str());
    error = "'" + path + "' could not be replaced (open in another program, or read-only?)";
    return false;
  }
  return true;
}

}  // namespace seamlog::report
