// The host build's journal files over an object that makes the system calls,
// so that a test can interrupt or fail a call and see the order of them all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "seamlog/journal/journal_files.h"

namespace seamlog::journal {

// The calls as POSIX has them: -1 and errno on failure.
class PosixSystem {
 public:
  virtual ~PosixSystem() = default;
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Write(int fd, const void* data, std::size_t size);
  virtual ssize_t ReadAt(int fd, void* data, std::size_t size, off_t offset);
  virtual int Fsync(int fd);
  virtual int Ftruncate(int fd, off_t length);
  virtual int Rename(const char* from, const char* to);
  virtual int Unlink(const char* path);
  virtual int Close(int fd);
};

// The files of folder through system, which must outlive them.
std::unique_ptr<JournalFiles> MakePosixJournalFiles(std::string folder, PosixSystem& system);

}  // namespace seamlog::journal
