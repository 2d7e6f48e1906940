#pragma once
// A captured report read straight from the file's pages, where the system
// allows it: no copy, and no fresh memory that the system must clear first.
#include <cstddef>
#include <string>
#include <string_view>

namespace seamlog::tools {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { Unmap(); }

  // Maps a regular file of 1 to maxBytes bytes, read-only. False, and
  // nothing mapped, for anything else (no such file, a directory, a FIFO, an
  // empty or too large file) and where the system maps nothing: the caller
  // reads the file instead, which also names the reason.
  bool Map(const std::string& path, std::size_t maxBytes);
  void Unmap();

  std::string_view Bytes() const { return {data_, size_}; }

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace seamlog::tools
