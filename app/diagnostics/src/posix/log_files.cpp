// POSIX files and local time for the diagnostics log (the host build).
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "seamlog/diagnostics/log_files.h"

namespace seamlog::diagnostics {
namespace {

class PosixLogFiles final : public LogFiles {
 public:
  explicit PosixLogFiles(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty()) folder_ = ".";
    if (folder_.back() != '/') folder_ += '/';
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

 private:
  std::string PathOf(std::string_view name) const { return folder_ + std::string(name); }
  std::string folder_;
};

class PosixLogClock final : public LogClock {
 public:
  LocalTime Now() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,           local.tm_hour,
            local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
  }
};

}  // namespace

std::unique_ptr<LogFiles> MakeLogFiles(std::string folder) {
  return std::make_unique<PosixLogFiles>(std::move(folder));
}

std::unique_ptr<LogClock> MakeLogClock() { return std::make_unique<PosixLogClock>(); }

}  // namespace seamlog::diagnostics
