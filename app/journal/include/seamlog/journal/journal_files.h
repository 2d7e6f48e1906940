// The few file operations the journal needs, in one folder. The Windows build
// uses the Win32 file API, the host build POSIX; tests may wrap either to make
// them fail. Every operation reports failure with a reason in words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace seamlog::journal {

// An open file that no other program can write while it is held.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  virtual bool Size(std::uint64_t& size, std::string& error) = 0;
  // Reads up to size bytes from offset into data (fewer only at the end of
  // the file); later appends still go to the end.
  virtual bool Read(std::uint64_t offset, std::size_t size, std::string& data, std::string& error) = 0;
  virtual bool Append(std::string_view data, std::string& error) = 0;
  // Forces what was appended onto the disk (FlushFileBuffers, fsync).
  virtual bool Flush(std::string& error) = 0;
  // Cuts the file to length bytes; later appends go to the new end.
  virtual bool Truncate(std::uint64_t length, std::string& error) = 0;
};

class JournalFiles {
 public:
  virtual ~JournalFiles() = default;
  // The full path of a file of the folder, for messages.
  virtual std::string PathOf(std::string_view name) const = 0;
  virtual bool Exists(std::string_view name) = 0;
  // Opens name for reading and writing, created empty when missing, and
  // holds it. Fails when another program holds it or may not be written.
  virtual std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) = 0;
  // Writes data to a new file beside name, forces it onto the disk, then puts
  // it in the place of name in one step: afterwards name holds either all of
  // its old bytes or all of data, even after a power cut. name must not be held.
  virtual bool Replace(std::string_view name, std::string_view data, std::string& error) = 0;
  // Renames from (not held) to the free name to.
  virtual bool Rename(std::string_view from, std::string_view to, std::string& error) = 0;
  // Renames from (not held) to to, replacing a file of that name, in one
  // step that is on the disk when it returns.
  virtual bool MoveOver(std::string_view from, std::string_view to, std::string& error) = 0;
};

// The platform's files in folder (with or without its trailing separator).
std::unique_ptr<JournalFiles> MakeJournalFiles(std::string folder);

}  // namespace seamlog::journal
