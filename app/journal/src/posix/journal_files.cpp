// POSIX files for the journal (the host build): an flock held for as long as
// the file is open, fsync for the flush, rename and an fsync of the folder for
// the one-step replace. Calls interrupted by a signal are made again.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "seamlog/journal/posix_journal_files.h"

namespace seamlog::journal {

int PosixSystem::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t PosixSystem::Write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
ssize_t PosixSystem::ReadAt(int fd, void* data, std::size_t size, off_t offset) {
  return ::pread(fd, data, size, offset);
}
int PosixSystem::Fsync(int fd) { return ::fsync(fd); }
int PosixSystem::Ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int PosixSystem::Rename(const char* from, const char* to) { return ::rename(from, to); }
int PosixSystem::Unlink(const char* path) { return ::unlink(path); }
int PosixSystem::Close(int fd) { return ::close(fd); }

namespace {

std::string Describe(const std::string& what, const std::string& path, int errorNumber) {
  return what + " '" + path + "': " + std::strerror(errorNumber);
}

// Makes the call again while a signal interrupts it.
template <typename Call>
auto Retrying(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

bool WriteWhole(PosixSystem& system, int fd, std::string_view data, const std::string& path,
                std::string& error) {
  while (!data.empty()) {
    const ssize_t n = Retrying([&] { return system.Write(fd, data.data(), data.size()); });
    if (n <= 0) {
      error = Describe("cannot write to", path, n < 0 ? errno : ENOSPC);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool FlushFile(PosixSystem& system, int fd, const std::string& path, std::string& error) {
  if (Retrying([&] { return system.Fsync(fd); }) == 0) return true;
  error = Describe("cannot flush", path, errno);
  return false;
}

class PosixHeldFile final : public HeldFile {
 public:
  PosixHeldFile(PosixSystem& system, int fd, std::string path)
      : system_(system), fd_(fd), path_(std::move(path)) {}
  ~PosixHeldFile() override { system_.Close(fd_); }
  PosixHeldFile(const PosixHeldFile&) = delete;
  PosixHeldFile& operator=(const PosixHeldFile&) = delete;

  bool Size(std::uint64_t& size, std::string& error) override {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return Fail("cannot examine", error);
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
  }
  bool Read(std::uint64_t offset, std::size_t size, std::string& data, std::string& error) override {
    data.resize(size);
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = Retrying([&] {
        return system_.ReadAt(fd_, data.data() + got, size - got, static_cast<off_t>(offset + got));
      });
      if (n < 0) return Fail("cannot read", error);
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    return true;
  }
  bool Append(std::string_view data, std::string& error) override {
    return WriteWhole(system_, fd_, data, path_, error);
  }
  bool Flush(std::string& error) override { return FlushFile(system_, fd_, path_, error); }
  bool Truncate(std::uint64_t length, std::string& error) override {
    return Retrying([&] { return system_.Ftruncate(fd_, static_cast<off_t>(length)); }) == 0 ||
           Fail("cannot shorten", error);
  }

 private:
  bool Fail(const char* what, std::string& error) const {
    error = Describe(what, path_, errno);
    return false;
  }
  PosixSystem& system_;
  int fd_;
  std::string path_;
};

class PosixJournalFiles final : public JournalFiles {
 public:
  PosixJournalFiles(std::string folder, PosixSystem& system) : folder_(std::move(folder)), system_(system) {
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
    const int fd =
        Retrying([&] { return system_.Open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644); });
    if (fd < 0) {
      error = Describe("cannot open", path, errno);
      return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int lockError = errno;
      system_.Close(fd);
      error = lockError == EWOULDBLOCK ? "'" + path + "' is in use by another program"
                                       : Describe("cannot lock", path, lockError);
      return nullptr;
    }
    return std::make_unique<PosixHeldFile>(system_, fd, path);
  }

  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    const std::string path = PathOf(name);
    const std::string fresh = path + ".new";
    // O_TRUNC: a .new left behind by a crash may be longer than data.
    const int fd =
        Retrying([&] { return system_.Open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); });
    if (fd < 0) {
      error = Describe("cannot create", fresh, errno);
      return false;
    }
    bool ok = WriteWhole(system_, fd, data, fresh, error) && FlushFile(system_, fd, fresh, error);
    system_.Close(fd);
    if (ok && system_.Rename(fresh.c_str(), path.c_str()) != 0) {
      error = Describe("cannot replace", path, errno);
      ok = false;
    }
    if (!ok) {
      system_.Unlink(fresh.c_str());
      return false;
    }
    return FlushFolder(error);
  }

  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from), target = PathOf(to);
    if (Exists(to)) {
      error = Describe("cannot rename to", target, EEXIST);
      return false;
    }
    if (system_.Rename(source.c_str(), target.c_str()) != 0) {
      error = Describe("cannot rename", source, errno);
      return false;
    }
    return true;
  }

  bool MoveOver(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from);
    if (system_.Rename(source.c_str(), PathOf(to).c_str()) != 0) {
      error = Describe("cannot rename", source, errno);
      return false;
    }
    return FlushFolder(error);
  }

 private:
  // A rename is on the disk once the folder is.
  bool FlushFolder(std::string& error) {
    const int dir =
        Retrying([&] { return system_.Open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
    if (dir < 0) {
      error = Describe("cannot open the folder", folder_, errno);
      return false;
    }
    // Some file systems cannot flush a folder (EINVAL); their renames need not.
    const bool ok = Retrying([&] { return system_.Fsync(dir); }) == 0 || errno == EINVAL;
    if (!ok) error = Describe("cannot flush the folder", folder_, errno);
    system_.Close(dir);
    return ok;
  }

  std::string folder_;
  PosixSystem& system_;
};

}  // namespace

std::unique_ptr<JournalFiles> MakePosixJournalFiles(std::string folder, PosixSystem& system) {
  return std::make_unique<PosixJournalFiles>(std::move(folder), system);
}

std::unique_ptr<JournalFiles> MakeJournalFiles(std::string folder) {
  static PosixSystem real;
  return MakePosixJournalFiles(std::move(folder), real);
}

}  // namespace seamlog::journal
