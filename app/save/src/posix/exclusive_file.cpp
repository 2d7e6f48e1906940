// The exclusive output file on POSIX systems: an advisory flock() taken by
// every save, ftruncate() and unlink() to undo one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "../exclusive_file.h"

namespace seamlog::save {
namespace {

constexpr std::chrono::milliseconds kRetryPause{50};

std::string Describe(int errorNumber) {
  return errorNumber != 0 ? std::generic_category().message(errorNumber) : "unknown error";
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// True when path still names the open file: a save that failed may have
// removed the file while this one waited for it.
bool StillNamed(int fd, const std::string& path) {
  struct stat open {}, named {};
  return ::fstat(fd, &open) == 0 && open.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Closes a descriptor it still holds.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace

struct ExclusiveFile::Native {
  int fd = -1;
  off_t lengthBefore = 0;
  bool created = false;
};

ExclusiveFile::ExclusiveFile(std::unique_ptr<Native> native, std::string path)
    : native_(std::move(native)), path_(std::move(path)) {}

ExclusiveFile::~ExclusiveFile() {
  std::string ignored;
  Restore(ignored);
}

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path,
                                                   std::chrono::milliseconds wait,
                                                   std::string& error) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    bool created = true;
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno == EEXIST) {
      created = false;
      fd.Reset(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    }
    if (!fd) {
      if (errno == ENOENT && !created && std::chrono::steady_clock::now() < deadline) continue;
      error = errno == EISDIR ? Quoted(path) + " is a folder, not a file"
                              : "cannot open " + Quoted(path) + " for appending: " + Describe(errno);
      return nullptr;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      error = Quoted(path) + " is not a regular file: a table can only be saved into a file";
      return nullptr;
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        error = "cannot lock " + Quoted(path) + ": " + Describe(errno);
        if (created) ::unlink(path.c_str());
        return nullptr;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        error = InUseReason(path, wait);
        return nullptr;
      }
      std::this_thread::sleep_for(kRetryPause);
    }
    // A save that failed may have removed the file while this one waited:
    // then open the file that bears the name now.
    if (!StillNamed(fd.get(), path)) continue;
    if (::fstat(fd.get(), &status) != 0 || ::lseek(fd.get(), 0, SEEK_END) < 0) {
      error = "cannot open " + Quoted(path) + " for appending: " + Describe(errno);
      if (created) ::unlink(path.c_str());
      return nullptr;
    }
    auto native = std::make_unique<Native>(Native{fd.Release(), status.st_size, created});
    return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(std::move(native), path));
  }
}

bool ExclusiveFile::Append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(native_->fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = "cannot write to " + Quoted(path_) + ": " + Describe(written < 0 ? errno : ENOSPC);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool ExclusiveFile::Keep(std::string& error) {
  if (!native_) return true;
  const int fd = native_->fd;
  native_.reset();
  bool ok = true;
  // A file deleted while it was written has lost what was written with it.
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_nlink == 0) {
    error = "the table file " + Quoted(path_) + " was deleted while it was being written";
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = "cannot close " + Quoted(path_) + ": " + Describe(errno);
    ok = false;
  }
  return ok;
}

bool ExclusiveFile::Restore(std::string& error) {
  if (!native_) return true;
  const Native n = *native_;
  native_.reset();
  bool ok = true;
  if (n.created) {
    // Removed while still locked, so no other save can have begun writing it.
    if (StillNamed(n.fd, path_) && ::unlink(path_.c_str()) != 0) {
      error = "cannot remove " + Quoted(path_) + ": " + Describe(errno);
      ok = false;
    }
  } else if (::ftruncate(n.fd, n.lengthBefore) != 0) {
    error = "cannot cut " + Quoted(path_) + " back to its " + std::to_string(n.lengthBefore) +
            " bytes before the save: " + Describe(errno);
    ok = false;
  }
  ::close(n.fd);
  return ok;
}

}  // namespace seamlog::save
