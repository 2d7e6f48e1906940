#pragma once
// The file under a save, held by this save alone from open to end, with the
// means to undo the save: each platform's file calls behind one small class.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace seamlog::save {

// The reason given when another save kept the file for all of wait.
inline std::string InUseReason(const std::string& path, std::chrono::milliseconds wait) {
  const auto ms = wait.count();
  const std::string waited =
      ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
  return "'" + path + "' is in use by another save; it was still locked after " + waited;
}

class ExclusiveFile {
 public:
  // Opens path for writing at its end, creating it when missing, and locks it
  // against every other save; while another save holds it, retries until
  // wait has passed. Refuses folders and devices. Null with a reason that
  // names the file.
  static std::unique_ptr<ExclusiveFile> Open(const std::string& path,
                                             std::chrono::milliseconds wait, std::string& error);

  // Restores the file unless Keep or Restore was called.
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // Writes all of bytes at the end of the file. False with a reason on error.
  bool Append(std::string_view bytes, std::string& error);
  // Lets go of the file, keeping what was appended.
  bool Keep(std::string& error);
  // Cuts the file back to its length at the open, or removes it when the open
  // created it, and lets go of it.
  bool Restore(std::string& error);

 private:
  struct Native;
  ExclusiveFile(std::unique_ptr<Native> native, std::string path);

  std::unique_ptr<Native> native_;
  std::string path_;
};

}  // namespace seamlog::save
