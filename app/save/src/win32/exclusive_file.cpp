// The exclusive output file on Windows: opened shared for reading only, so
// that no other save (nor any other writer) can open it until this save ends
// (the settling of an interrupted save reads the table it holds);
// FlushFileBuffers before the save counts, SetEndOfFile and DeleteFileA to
// undo one. Windows XP calls only.
#include <windows.h>

#include "../exclusive_file.h"

namespace seamlog::save {
namespace {

constexpr DWORD kRetryPauseMs = 50;

FileStepHook* stepHook = nullptr;

// False when a test fails the step; the last error then reads as an I/O error.
bool Allowed(FileStep step) {
  if (stepHook == nullptr || stepHook->Allow(step)) return true;
  SetLastError(ERROR_WRITE_FAULT);
  return false;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string Describe(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SetLength(HANDLE file, LONGLONG length) {
  LARGE_INTEGER at;
  at.QuadPart = length;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

}  // namespace

void SetFileStepHook(FileStepHook* hook) { stepHook = hook; }

struct ExclusiveFile::Native {
  HANDLE handle = INVALID_HANDLE_VALUE;
  LONGLONG lengthBefore = 0;
  bool created = false;
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
  const LONGLONG to = static_cast<LONGLONG>(length);
  if (!native_ || to > native_->lengthBefore || !Allowed(FileStep::CutBack) ||
      !SetLength(native_->handle, to)) {
    error = "cannot cut " + Quoted(path_) + " back to " + std::to_string(length) +
            " bytes: " + Describe(GetLastError());
    return false;
  }
  native_->lengthBefore = to;
  native_->created = false;
  return true;
}

std::unique_ptr<ExclusiveFile> ExclusiveFile::Open(const std::string& path, std::chrono::milliseconds wait,
                                                   std::string& error) {
  const DWORD started = GetTickCount();
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (;;) {
    // Opened without sharing, the file is locked by its open.
    if (!Allowed(FileStep::Lock)) {
      error = "cannot open " + Quoted(path) + " for appending: " + Describe(GetLastError());
      return nullptr;
    }
    handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) break;
    const DWORD code = GetLastError();
    if (code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION) {
      error = IsFolder(path) ? Quoted(path) + " is a folder, not a file"
                             : "cannot open " + Quoted(path) + " for appending: " + Describe(code);
      return nullptr;
    }
    if (GetTickCount() - started >= static_cast<DWORD>(wait.count())) {
      error = InUseReason(path, wait);
      return nullptr;
    }
    Sleep(kRetryPauseMs);
  }
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;

  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    error = Quoted(path) + " is a device, not a file: a table can only be saved into a file";
    return nullptr;
  }
  LARGE_INTEGER size{};
  const LARGE_INTEGER zero{};
  if (!GetFileSizeEx(handle, &size) || !SetFilePointerEx(handle, zero, nullptr, FILE_END)) {
    error = "cannot open " + Quoted(path) + " for appending: " + Describe(GetLastError());
    CloseHandle(handle);
    if (created) DeleteFileA(path.c_str());
    return nullptr;
  }
  auto native = std::make_unique<Native>(Native{handle, size.QuadPart, created});
  return std::unique_ptr<ExclusiveFile>(new ExclusiveFile(std::move(native), path));
}

bool ExclusiveFile::Append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!Allowed(FileStep::Append) || !WriteFile(native_->handle, bytes.data(), chunk, &written, nullptr) ||
        written == 0) {
      const DWORD code = GetLastError();
      error = "cannot write to " + Quoted(path_) + ": " +
              Describe(written == 0 && code == ERROR_SUCCESS ? ERROR_DISK_FULL : code);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool ExclusiveFile::Keep(std::string& error, const std::function<void()>& whileHeld) {
  if (!native_) return true;
  const HANDLE handle = native_->handle;
  if (!Allowed(FileStep::Flush) || !FlushFileBuffers(handle)) {
    error = "cannot force " + Quoted(path_) + " onto the disk: " + Describe(GetLastError());
    std::string undo;
    if (!Restore(undo)) error += "; " + undo;
    return false;
  }
  if (whileHeld) whileHeld();
  // A close that fails is taken back like a write that failed: a second
  // handle of the same open file keeps it, unshared, for that.
  HANDLE spare = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &spare, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    spare = nullptr;
  const bool allowed = Allowed(FileStep::Close);
  const bool closed = CloseHandle(handle) && allowed;
  if (!closed) {
    error = "cannot close " + Quoted(path_) + ": " + Describe(GetLastError());
    if (spare == nullptr) {
      native_.reset();
      return false;
    }
    native_->handle = spare;
    std::string undo;
    if (!Restore(undo)) error += "; " + undo;
    return false;
  }
  native_.reset();
  if (spare != nullptr) CloseHandle(spare);
  return true;
}

bool ExclusiveFile::Restore(std::string& error) {
  if (!native_) return true;
  const Native n = *native_;
  native_.reset();
  bool ok = Allowed(FileStep::CutBack) && SetLength(n.handle, n.created ? 0 : n.lengthBefore);
  if (!ok)
    error = "cannot cut " + Quoted(path_) + " back to its " + std::to_string(n.lengthBefore) +
            " bytes before the save: " + Describe(GetLastError());
  CloseHandle(n.handle);
  // Emptied first: should another save open the file between the close and
  // the removal, it finds it empty and the removal fails harmlessly.
  if (ok && n.created && (!Allowed(FileStep::Remove) || !DeleteFileA(path_.c_str())) &&
      GetLastError() != ERROR_SHARING_VIOLATION) {
    error = "cannot remove " + Quoted(path_) + ": " + Describe(GetLastError());
    ok = false;
  }
  return ok;
}

}  // namespace seamlog::save
