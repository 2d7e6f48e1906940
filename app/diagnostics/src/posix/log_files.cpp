// POSIX files and local time for the diagnostics log (the host build). The
// log is locked with flock, which holds between processes and between two
// opens in one process alike.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "seamlog/diagnostics/log_files.h"

namespace seamlog::diagnostics {
namespace {

using Clock = std::chrono::steady_clock;

class PosixLogFileLock final : public LogFileLock {
 public:
  explicit PosixLogFileLock(int fd) : fd_(fd) {}
  ~PosixLogFileLock() override { ::close(fd_); }  // lets go of the lock
  PosixLogFileLock(const PosixLogFileLock&) = delete;
  PosixLogFileLock& operator=(const PosixLogFileLock&) = delete;

 private:
  int fd_;
};

// True once fd is locked; false when another holder keeps it past deadline.
bool LockBefore(int fd, Clock::time_point deadline) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

class PosixLogFiles final : public LogFiles {
 public:
  PosixLogFiles(std::string folder, LogFilesSeam seam) : folder_(std::move(folder)), seam_(std::move(seam)) {
    if (folder_.empty()) folder_ = ".";
    if (folder_.back() != '/') folder_ += '/';
  }

  std::unique_ptr<LogFileLock> Lock(std::string_view name) override {
    const std::string path = PathOf(name);
    const Clock::time_point deadline = Clock::now() + seam_.lockWait;
    for (;;) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd < 0) return nullptr;
      if (seam_.beforeLock) seam_.beforeLock();
      auto lock = std::make_unique<PosixLogFileLock>(fd);
      if (!LockBefore(fd, deadline)) return nullptr;
      // Another writer may have renamed the file while this one waited:
      // then the name belongs to a new file, and that is the one to hold.
      struct stat held {};
      struct stat named {};
      if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && SameFile(held, named)) return lock;
      if (Clock::now() >= deadline) return nullptr;
    }
  }

  std::uint64_t SizeOf(std::string_view name) override {
    struct stat status {};
    return ::stat(PathOf(name).c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
  }

  bool Append(std::string_view name, std::string_view text) override {
    const int fd = ::open(PathOf(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    while (ok && !text.empty()) {
      const ssize_t n = ::write(fd, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) text.remove_prefix(static_cast<std::size_t>(n));
    }
    return ::close(fd) == 0 && ok;
  }

  bool MoveReplacing(std::string_view from, std::string_view to) override {
    return std::rename(PathOf(from).c_str(), PathOf(to).c_str()) == 0;
  }

  bool Empty(std::string_view name) override { return ::truncate(PathOf(name).c_str(), 0) == 0; }

 private:
  std::string PathOf(std::string_view name) const { return folder_ + std::string(name); }
  std::string folder_;
  LogFilesSeam seam_;
};

class PosixLogClock final : public LogClock {
 public:
  LocalTime Now() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000)};
  }
};

}  // namespace

std::unique_ptr<LogFiles> MakeLogFiles(std::string folder, LogFilesSeam seam) {
  return std::make_unique<PosixLogFiles>(std::move(folder), std::move(seam));
}

std::unique_ptr<LogClock> MakeLogClock() { return std::make_unique<PosixLogClock>(); }

}  // namespace seamlog::diagnostics
