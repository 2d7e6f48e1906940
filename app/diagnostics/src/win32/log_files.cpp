// Win32 files and local time for the diagnostics log. Appends open the file
// with FILE_APPEND_DATA only, so every line lands whole at the end even when
// two Seamlog windows write at once. ANSI paths, like the program's directory.
#include <windows.h>

#include "seamlog/diagnostics/log_files.h"

namespace seamlog::diagnostics {
namespace {

class Win32LogFiles final : public LogFiles {
 public:
  explicit Win32LogFiles(std::string folder) : folder_(std::move(folder)) {
    if (!folder_.empty() && folder_.back() != '\\' && folder_.back() != '/') folder_ += '\\';
  }

  std::uint64_t SizeOf(std::string_view name) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(PathOf(name).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  bool Append(std::string_view name, std::string_view text) override {
    HANDLE file = CreateFileA(PathOf(name).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    return CloseHandle(file) && ok;
  }

  bool MoveReplacing(std::string_view from, std::string_view to) override {
    return MoveFileExA(PathOf(from).c_str(), PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

 private:
  std::string PathOf(std::string_view name) const { return folder_ + std::string(name); }
  std::string folder_;
};

class Win32LogClock final : public LogClock {
 public:
  LocalTime Now() override {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  }
};

}  // namespace

std::unique_ptr<LogFiles> MakeLogFiles(std::string folder) {
  return std::make_unique<Win32LogFiles>(std::move(folder));
}

std::unique_ptr<LogClock> MakeLogClock() { return std::make_unique<Win32LogClock>(); }

}  // namespace seamlog::diagnostics
