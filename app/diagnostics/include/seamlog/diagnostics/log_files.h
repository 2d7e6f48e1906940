// The file and clock operations the diagnostics log needs. The Windows build
// uses the Win32 API, the host build POSIX.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace seamlog::diagnostics {

// A log file held for one writer: every other writer that asks LogFiles for
// it, in this process or another, waits until this is destroyed.
class LogFileLock {
 public:
  virtual ~LogFileLock() = default;
};

class LogFiles {
 public:
  virtual ~LogFiles() = default;
  // Holds the file called name (created when missing), so that one writer at
  // a time looks at its size and renames it. The file held is the one that
  // has the name when the call returns, never one renamed away while the call
  // waited. Null when it cannot be opened, or another writer holds it for
  // longer than a writer may wait.
  virtual std::unique_ptr<LogFileLock> Lock(std::string_view name) = 0;
  // The size of name in bytes; 0 when it does not exist.
  virtual std::uint64_t SizeOf(std::string_view name) = 0;
  // Appends text at the end of name, created when missing; the file is open
  // only for this call, and other programs may append at the same time.
  virtual bool Append(std::string_view name, std::string_view text) = 0;
  // Renames from to to, replacing to when it exists.
  virtual bool MoveReplacing(std::string_view from, std::string_view to) = 0;
  // Cuts name back to nothing; it keeps its name.
  virtual bool Empty(std::string_view name) = 0;
};

// How long a writer waits for another to let go of the log: a writer holds
// it for one line, so only a writer that hangs holds it longer.
inline constexpr std::chrono::milliseconds kLogLockWait{1000};

// What tests change in the platform's files.
struct LogFilesSeam {
  std::chrono::milliseconds lockWait = kLogLockWait;
  // Runs in Lock between opening the file and locking it, where another
  // writer may rename it away.
  std::function<void()> beforeLock;
};

// The platform's files in folder (with or without its trailing separator).
std::unique_ptr<LogFiles> MakeLogFiles(std::string folder, LogFilesSeam seam = {});

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class LogClock {
 public:
  virtual ~LogClock() = default;
  virtual LocalTime Now() = 0;
};

// The platform's local time.
std::unique_ptr<LogClock> MakeLogClock();

}  // namespace seamlog::diagnostics
