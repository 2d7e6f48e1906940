// POSIX files for the journal (the host build): an flock held for as long as
// the file is open, fsync for the flush, rename for the one-step replace.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "seamlog/journal/journal_files.h"

namespace seamlog::journal {
namespace {

std::string Describe(const std::string& what, const std::string& path, int errorNumber) {
  return what + " '" + path + "': " + std::strerror(errorNumber);
}

bool WriteWhole(int fd, std::string_view data, const std::string& path, std::string& error) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = Describe("cannot write to", path, n < 0 ? errno : ENOSPC);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class PosixHeldFile final : public HeldFile {
 public:
  PosixHeldFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixHeldFile() override { ::close(fd_); }

  bool Size(std::uint64_t& size, std::string& error) override {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return Fail("cannot examine", error);
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
  }
  bool ReadAll(std::string& data, std::string& error) override {
    data.clear();
    if (::lseek(fd_, 0, SEEK_SET) < 0) return Fail("cannot read", error);
    char block[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(fd_, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail("cannot read", error);
      if (n == 0) return true;
      data.append(block, static_cast<std::size_t>(n));
    }
  }
  bool Append(std::string_view data, std::string& error) override {
    return WriteWhole(fd_, data, path_, error);
  }
  bool Flush(std::string& error) override { return ::fsync(fd_) == 0 || Fail("cannot flush", error); }
  bool Truncate(std::uint64_t length, std::string& error) override {
    return ::ftruncate(fd_, static_cast<off_t>(length)) == 0 || Fail("cannot shorten", error);
  }

 private:
  bool Fail(const char* what, std::string& error) const {
    error = Describe(what, path_, errno);
    return false;
  }
  int fd_;
  std::string path_;
};

class PosixJournalFiles final : public JournalFiles {
 public:
  explicit PosixJournalFiles(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty()) folder_ = ".";
    if (folder_.back() != '/') folder_ += '/';
  }

  std::string PathOf(std::string_view name) const override { return folder_ + std::string(name); }

  bool Exists(std::string_view name) override {
    struct stat status {};
    return ::lstat(PathOf(name).c_str(), &status) == 0;
  }

  std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    const std::string path = PathOf(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = Describe("cannot open", path, errno);
      return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int lockError = errno;
      ::close(fd);
      error = lockError == EWOULDBLOCK ? "'" + path + "' is in use by another program"
                                       : Describe("cannot lock", path, lockError);
      return nullptr;
    }
    return std::make_unique<PosixHeldFile>(fd, path);
  }

  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    const std::string path = PathOf(name);
    const std::string fresh = path + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = Describe("cannot create", fresh, errno);
      return false;
    }
    bool ok = WriteWhole(fd, data, fresh, error);
    if (ok && ::fsync(fd) != 0) {
      error = Describe("cannot flush", fresh, errno);
      ok = false;
    }
    ::close(fd);
    if (ok && ::rename(fresh.c_str(), path.c_str()) != 0) {
      error = Describe("cannot replace", path, errno);
      ok = false;
    }
    if (!ok) {
      ::unlink(fresh.c_str());
      return false;
    }
    // The new name is on the disk once the folder is.
    const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }

  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from), target = PathOf(to);
    if (Exists(to)) {
      error = Describe("cannot rename to", target, EEXIST);
      return false;
    }
    if (::rename(source.c_str(), target.c_str()) != 0) {
      error = Describe("cannot rename", source, errno);
      return false;
    }
    return true;
  }

 private:
  std::string folder_;
};

}  // namespace

std::unique_ptr<JournalFiles> MakeJournalFiles(std::string folder) {
  return std::make_unique<PosixJournalFiles>(std::move(folder));
}

}  // namespace seamlog::journal
