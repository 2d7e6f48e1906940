// The file and clock operations the diagnostics log needs. The Windows build
// uses the Win32 API, the host build POSIX.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace seamlog::diagnostics {

class LogFiles {
 public:
  virtual ~LogFiles() = default;
  // The size of name in bytes; 0 when it does not exist.
  virtual std::uint64_t SizeOf(std::string_view name) = 0;
  // Appends text at the end of name, created when missing; the file is open
  // only for this call, and other programs may append at the same time.
  virtual bool Append(std::string_view name, std::string_view text) = 0;
  // Renames from to to, replacing to when it exists.
  virtual bool MoveReplacing(std::string_view from, std::string_view to) = 0;
};

// The platform's files in folder (with or without its trailing separator).
std::unique_ptr<LogFiles> MakeLogFiles(std::string folder);

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
