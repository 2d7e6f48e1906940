// Win32 files and local time for the diagnostics log. Appends open the file
// with FILE_APPEND_DATA only, so every line lands whole at the end even when
// two Seamlog windows write at once. The log is locked with LockFileEx on one
// byte far past any real end of the log, so that readers and appenders never
// meet the lock; every handle shares delete access, so that the holder can
// rename the file while others wait on it. ANSI paths, like the program's
// directory.
#include <windows.h>

#include "seamlog/diagnostics/log_files.h"
#include "win32util/handles.h"

namespace seamlog::diagnostics {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLockOffset = 0x7FFFFFFF;  // far past the 1 MB a log grows to

OVERLAPPED LockPlace() {
  OVERLAPPED place{};
  place.Offset = kLockOffset;
  return place;
}

class Win32LogFileLock final : public LogFileLock {
 public:
  explicit Win32LogFileLock(win32util::KernelHandle file) : file_(std::move(file)) {}
  ~Win32LogFileLock() override {
    if (!locked_) return;
    OVERLAPPED place = LockPlace();
    UnlockFileEx(file_.get(), 0, 1, 0, &place);
  }

  // True once locked; false when another holder keeps it past deadline
  // (a GetTickCount value).
  bool LockBefore(DWORD deadline) {
    for (;;) {
      OVERLAPPED place = LockPlace();
      if (LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place)) {
        locked_ = true;
        return true;
      }
      if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) return false;
      if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return false;
      Sleep(1);
    }
  }

  HANDLE get() const { return file_.get(); }

 private:
  win32util::KernelHandle file_;
  bool locked_ = false;
};

// The file index of an open file. Both files compared are named in one folder,
// so on one volume: the index alone tells them apart. ntdll answers it
// cheaply; GetFileInformationByHandle gathers much more (milliseconds under
// Wine, for every line) and is only the fallback.
struct StatusBlock {
  void* status;
  ULONG_PTR information;
};
using QueryFile = LONG(WINAPI*)(HANDLE, StatusBlock*, void*, ULONG, int);
constexpr int kFileInternalInformation = 6;

bool FileIndexOf(HANDLE file, ULONGLONG& index) {
  static const auto query = reinterpret_cast<QueryFile>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
  StatusBlock io{};
  LARGE_INTEGER internal{};
  if (query && query(file, &io, &internal, sizeof internal, kFileInternalInformation) >= 0) {
    index = static_cast<ULONGLONG>(internal.QuadPart);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

HANDLE Open(const std::string& path, DWORD access, DWORD disposition) {
  const HANDLE file =
      CreateFileA(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

class Win32LogFiles final : public LogFiles {
 public:
  Win32LogFiles(std::string folder, LogFilesSeam seam) : folder_(std::move(folder)), seam_(std::move(seam)) {
    if (!folder_.empty() && folder_.back() != '\\' && folder_.back() != '/') folder_ += '\\';
  }

  std::unique_ptr<LogFileLock> Lock(std::string_view name) override {
    const std::string path = PathOf(name);
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(seam_.lockWait.count());
    for (;;) {
      win32util::KernelHandle file(Open(path, GENERIC_READ, OPEN_ALWAYS));
      if (!file) return nullptr;
      if (seam_.beforeLock) seam_.beforeLock();
      auto lock = std::make_unique<Win32LogFileLock>(std::move(file));
      if (!lock->LockBefore(deadline)) return nullptr;
      // Another writer may have renamed the file while this one waited:
      // then the name belongs to a new file, and that is the one to hold.
      const win32util::KernelHandle named(Open(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING));
      ULONGLONG held = 0;
      ULONGLONG current = 0;
      if (named && FileIndexOf(lock->get(), held) && FileIndexOf(named.get(), current) && held == current)
        return lock;
      if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return nullptr;
    }
  }

  std::uint64_t SizeOf(std::string_view name) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(PathOf(name).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  bool Append(std::string_view name, std::string_view text) override {
    // A raw handle: its close result counts.
    const HANDLE file = Open(PathOf(name), FILE_APPEND_DATA, OPEN_ALWAYS);
    if (!file) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    return CloseHandle(file) && ok;
  }

  bool MoveReplacing(std::string_view from, std::string_view to) override {
    return MoveFileExA(PathOf(from).c_str(), PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  bool Empty(std::string_view name) override {
    const HANDLE file = Open(PathOf(name), GENERIC_WRITE, TRUNCATE_EXISTING);
    return file && CloseHandle(file);
  }

 private:
  std::string PathOf(std::string_view name) const { return folder_ + std::string(name); }
  std::string folder_;
  LogFilesSeam seam_;
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

std::unique_ptr<LogFiles> MakeLogFiles(std::string folder, LogFilesSeam seam) {
  return std::make_unique<Win32LogFiles>(std::move(folder), std::move(seam));
}

std::unique_ptr<LogClock> MakeLogClock() { return std::make_unique<Win32LogClock>(); }

}  // namespace seamlog::diagnostics
