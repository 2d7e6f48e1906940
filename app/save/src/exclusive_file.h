#pragma once
// The file under a save, held by this save alone from open to end, with the
// means to undo the save: each platform's file calls behind one small class.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "seamlog/save/file_steps.h"

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
  // wait has passed. Refuses folders and devices. Whether this save created
  // the file is decided once it holds the lock: a file another save wrote
  // first is never removed by this one. Null with a reason that names the file.
  static std::unique_ptr<ExclusiveFile> Open(const std::string& path,
                                             std::chrono::milliseconds wait, std::string& error);

  // Restores the file unless Keep or Restore was called.
  ~ExclusiveFile();
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // Writes all of bytes at the end of the file, after whatever another
  // program may have appended meanwhile. False with a reason on error.
  bool Append(std::string_view bytes, std::string& error);
  // Forces what was appended onto the disk (and a new file's name into its
  // folder), takes whileHeld (when given) with the file still held, then
  // lets go of the file, keeping it. When any of that fails, the save is
  // taken back as by Restore and the reason given; whileHeld is taken only
  // once the file is on the disk.
  bool Keep(std::string& error, const std::function<void()>& whileHeld = {});
  // Takes back what this save appended, and nothing else: the file returns to
  // its length at the open, bytes another program appended meanwhile stay,
  // and a file this save created (empty when it was locked) is removed. Then
  // lets go of it.
  bool Restore(std::string& error);

  // The file's length when this save took it, and whether this save created it.
  std::uint64_t LengthBefore() const;
  bool Created() const;
  // Cuts the file to length (no more than its length at the open) and makes
  // that the length a Restore returns to; Keep then keeps it so.
  bool CutBackTo(std::uint64_t length, std::string& error);

 private:
  struct Native;
  ExclusiveFile(std::unique_ptr<Native> native, std::string path);

  std::unique_ptr<Native> native_;
  std::string path_;
};

}  // namespace seamlog::save
