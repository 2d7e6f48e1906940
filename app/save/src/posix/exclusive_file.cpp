// The exclusive output file on POSIX systems: an advisory flock() taken by
// every save, writes with O_APPEND so that nothing another program appended
// is overwritten, fsync() of the file and of a new file's folder before the
// save counts, and ftruncate()/unlink() to undo one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

#include "../exclusive_file.h"
#include "seamlog/save/error_text.h"

namespace seamlog::save {
namespace {

constexpr std::chrono::milliseconds kRetryPause{50};

FileStepHook* stepHook = nullptr;
SyncCall syncCall = ::fsync;

// False when a test fails the step; errno then reads as an I/O error.
bool Allowed(FileStep step) {
  if (stepHook == nullptr || stepHook->Allow(step)) return true;
  errno = EIO;
  return false;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// True when path still names the open file: a save that failed may have
// removed the file while this one waited for it.
bool StillNamed(int fd, const std::string& path) {
  struct stat open {
  }, named{};
  return ::fstat(fd, &open) == 0 && open.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool SyncRetrying(int fd) {
  while (syncCall(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Makes the folder entry of a new file durable.
bool SyncFolderOf(const std::string& path) {
  if (!Allowed(FileStep::SyncFolder)) return false;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = SyncRetrying(fd);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return synced;
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

// A range of the file that this save wrote.
struct Written {
  off_t from;
  off_t to;
};

}  // namespace

void SetFileStepHook(FileStepHook* hook) { stepHook = hook; }

void SetSyncCall(SyncCall call) { syncCall = call != nullptr ? call : ::fsync; }

struct ExclusiveFile::Native {
  int fd = -1;
  off_t lengthBefore = 0;
  bool created = false;
  std::vector<Written> written;
};

ExclusiveFile::ExclusiveFile(std::unique_ptr<Native> native, std::string path)
    : native_(std::move(native)), path_(std::move(path)) {}

ExclusiveFile::~ExclusiveFile() {
  std::string ignored;
  Restore(ignored);
}

std::uint64_t ExclusiveFile::LengthBefore() const {
  return native_ ? static_cast<std::uint64_t>(native_->lengthBefore) : 0;
}

bool ExclusiveFile::Created() const { return native_ && native_->created; }

bool ExclusiveFile::CutBackTo(std::uint64_t length, std::string& error) {
  const off_t to = static_cast<off_t>(length);
  if (!native_ || to > native_->lengthBefore || !Allowed(FileStep::CutBack) ||
      ::ftruncate(native_->fd, to) != 0) {
    error = "cannot cut " + Quoted(path_) + " back to " + std::to_string(length) +
            " bytes: " + DescribeErrno(errno);
    return false;
  }
  native_->lengthBefore = to;
  native_->created = false;
  return true;
}

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path, std::chrono::milliseconds wait,
                                                   std::string& error) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    bool opened = true;  // by this open, not found
    Descriptor fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno == EEXIST) {
      opened = false;
      // O_NOFOLLOW is not used: a table may be saved through a link. A
      // dangling link is refused here at once.
      fd.Reset(::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    }
    if (!fd) {
      if (errno == ENOENT && !opened && std::chrono::steady_clock::now() < deadline) {
        struct stat link {};
        // A name that is a link to nothing will not start to exist by waiting.
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
          error = Quoted(path) + " is a link to a file that does not exist";
          return nullptr;
        }
        continue;
      }
      error = errno == EISDIR ? Quoted(path) + " is a folder, not a file"
                              : "cannot open " + Quoted(path) + " for appending: " + DescribeErrno(errno);
      return nullptr;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      error = Quoted(path) + " is not a regular file: a table can only be saved into a file";
      return nullptr;
    }
    // A file this open created and nobody wrote is removed when it cannot be locked.
    const auto lockFailed = [&] {
      error = "cannot lock " + Quoted(path) + ": " + DescribeErrno(errno);
      struct stat now {};
      if (opened && StillNamed(fd.get(), path) && ::fstat(fd.get(), &now) == 0 && now.st_size == 0)
        ::unlink(path.c_str());
      return nullptr;
    };
    for (;;) {
      if (!Allowed(FileStep::Lock)) return lockFailed();
      if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
      if (errno != EWOULDBLOCK && errno != EINTR) return lockFailed();
      if (std::chrono::steady_clock::now() >= deadline) {
        error = InUseReason(path, wait);
        return nullptr;
      }
      std::this_thread::sleep_for(kRetryPause);
    }
    // A save that failed may have removed the file while this one waited:
    // then open the file that bears the name now.
    if (!StillNamed(fd.get(), path)) continue;
    if (::fstat(fd.get(), &status) != 0) {
      error = "cannot open " + Quoted(path) + " for appending: " + DescribeErrno(errno);
      return nullptr;
    }
    // Decided under the lock: another save may have created the file first,
    // or written into the file this open created before this save got it.
    const bool created = opened && status.st_size == 0;
    auto native = std::make_unique<Native>(Native{fd.Release(), status.st_size, created, {}});
    return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(std::move(native), path));
  }
}

bool ExclusiveFile::Append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written = Allowed(FileStep::Append) ? ::write(native_->fd, bytes.data(), bytes.size()) : -1;
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = "cannot write to " + Quoted(path_) + ": " + DescribeErrno(written < 0 ? errno : ENOSPC);
      return false;
    }
    // With O_APPEND the bytes went to the end, wherever that was by then.
    const off_t end = ::lseek(native_->fd, 0, SEEK_CUR);
    if (end >= written) native_->written.push_back({end - written, end});
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool ExclusiveFile::Keep(std::string& error, const std::function<void()>& whileHeld) {
  if (!native_) return true;
  const int fd = native_->fd;
  // A file deleted while it was written has lost what was written with it.
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_nlink == 0) {
    error = "the table file " + Quoted(path_) + " was deleted while it was being written";
    native_.reset();
    ::close(fd);
    return false;
  }
  const bool flushed = Allowed(FileStep::Flush) && SyncRetrying(fd);
  if (!flushed || (native_->created && !SyncFolderOf(path_))) {
    error = "cannot force " + Quoted(path_) + " onto the disk: " + DescribeErrno(errno);
    std::string undo;
    if (!Restore(undo)) error += "; " + undo;
    return false;
  }
  if (whileHeld) whileHeld();
  // A close that fails is taken back like a write that failed: a second
  // descriptor of the same open file keeps it, and its lock, for that.
  const int spare = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  const bool closed = Allowed(FileStep::Close) ? ::close(fd) == 0 : (::close(fd), false);
  if (!closed) {
    error = "cannot close " + Quoted(path_) + ": " + DescribeErrno(errno);
    if (spare < 0) {
      native_.reset();
      return false;
    }
    native_->fd = spare;
    std::string undo;
    if (!Restore(undo)) error += "; " + undo;
    return false;
  }
  native_.reset();
  if (spare >= 0) ::close(spare);
  return true;
}

bool ExclusiveFile::Restore(std::string& error) {
  if (!native_) return true;
  const Native n = std::move(*native_);
  native_.reset();
  Descriptor fd(n.fd);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    error = "cannot take back the save in " + Quoted(path_) + ": " + DescribeErrno(errno);
    return false;
  }
  off_t mine = 0;
  for (const Written& w : n.written) mine += w.to - w.from;
  const bool othersAppended = status.st_size != n.lengthBefore + mine;
  if (n.created && !othersAppended) {
    // Removed while still locked, so no other save can have begun writing it.
    if (!StillNamed(fd.get(), path_)) return true;
    if (!Allowed(FileStep::Remove) || ::unlink(path_.c_str()) != 0) {
      error = "cannot remove " + Quoted(path_) + ": " + DescribeErrno(errno);
      return false;
    }
    return true;
  }
  // What others appended after the length at the open stays, in its order.
  std::string kept;
  if (othersAppended && status.st_size > n.lengthBefore) {
    std::string tail(static_cast<std::size_t>(status.st_size - n.lengthBefore), '\0');
    if (::pread(fd.get(), tail.data(), tail.size(), n.lengthBefore) != static_cast<ssize_t>(tail.size())) {
      error = "cannot read back " + Quoted(path_) + " to take back the save: " + DescribeErrno(errno);
      return false;
    }
    off_t at = n.lengthBefore;
    for (const Written& w : n.written) {
      kept.append(tail, static_cast<std::size_t>(at - n.lengthBefore), static_cast<std::size_t>(w.from - at));
      at = w.to;
    }
    kept.append(tail, static_cast<std::size_t>(at - n.lengthBefore), std::string::npos);
  }
  if (!Allowed(FileStep::CutBack) || ::ftruncate(fd.get(), n.lengthBefore) != 0) {
    error = "cannot cut " + Quoted(path_) + " back to its " + std::to_string(n.lengthBefore) +
            " bytes before the save: " + DescribeErrno(errno);
    return false;
  }
  for (std::string_view rest = kept; !rest.empty();) {
    const ssize_t written = ::write(fd.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = "cannot put back what another program appended to " + Quoted(path_) + ": " +
              DescribeErrno(written < 0 ? errno : ENOSPC);
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace seamlog::save
