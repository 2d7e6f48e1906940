// Win32 files for the journal. The journal is opened without write or delete
// sharing, so a second Seamlog cannot open it while the first holds it;
// FlushFileBuffers forces it onto the disk; MoveFileEx with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH (Windows XP has both)
// puts a rewritten journal in place in one step. ANSI paths, like the
// program's directory they live in.
#include <windows.h>

#include "seamlog/journal/journal_files.h"

namespace seamlog::journal {
namespace {

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\r' || message.back() == '\n' || message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  if (message.empty()) message = "system error " + std::to_string(code);
  return message;
}

std::string Describe(const char* what, const std::string& path, DWORD code = GetLastError()) {
  return std::string(what) + " '" + path + "': " + SystemMessage(code);
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

bool WriteWhole(HANDLE file, std::string_view data, const std::string& path, std::string& error) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(file, data.data(), chunk, &written, nullptr)) {
      error = Describe("cannot write to", path);
      return false;
    }
    if (written == 0) {
      error = Describe("cannot write to", path, ERROR_DISK_FULL);
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

bool MoveToEnd(HANDLE file) {
  LARGE_INTEGER zero{};
  return SetFilePointerEx(file, zero, nullptr, FILE_END) != 0;
}

class Win32HeldFile final : public HeldFile {
 public:
  Win32HeldFile(HANDLE handle, std::string path) : file_(handle), path_(std::move(path)) {}

  bool Size(std::uint64_t& size, std::string& error) override {
    LARGE_INTEGER value{};
    if (!GetFileSizeEx(file_.get(), &value)) return Fail("cannot examine", error);
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }
  bool Read(std::uint64_t offset, std::size_t size, std::string& data, std::string& error) override {
    data.resize(size);
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN)) return Fail("cannot read", error);
    std::size_t got = 0;
    while (got < size) {
      const DWORD chunk = size - got > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size - got);
      DWORD read = 0;
      if (!ReadFile(file_.get(), data.data() + got, chunk, &read, nullptr)) return Fail("cannot read", error);
      if (read == 0) break;
      got += read;
    }
    data.resize(got);
    // Appends go to the end again.
    return MoveToEnd(file_.get()) || Fail("cannot read", error);
  }
  bool Append(std::string_view data, std::string& error) override {
    return WriteWhole(file_.get(), data, path_, error);
  }
  bool Flush(std::string& error) override {
    return FlushFileBuffers(file_.get()) != 0 || Fail("cannot flush", error);
  }
  bool Truncate(std::uint64_t length, std::string& error) override {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get()))
      return Fail("cannot shorten", error);
    return true;
  }

 private:
  bool Fail(const char* what, std::string& error) const {
    error = Describe(what, path_);
    return false;
  }
  Handle file_;
  std::string path_;
};

class Win32JournalFiles final : public JournalFiles {
 public:
  explicit Win32JournalFiles(std::string folder) : folder_(std::move(folder)) {
    if (!folder_.empty() && folder_.back() != '\\' && folder_.back() != '/') folder_ += '\\';
  }

  std::string PathOf(std::string_view name) const override { return folder_ + std::string(name); }

  bool Exists(std::string_view name) override {
    return GetFileAttributesA(PathOf(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    const std::string path = PathOf(name);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      error = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
                  ? "'" + path + "' is in use by another program"
                  : Describe("cannot open", path, code);
      return nullptr;
    }
    if (!MoveToEnd(handle)) {
      error = Describe("cannot open", path);
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<Win32HeldFile>(handle, path);
  }

  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    const std::string path = PathOf(name);
    const std::string fresh = path + ".new";
    bool ok = false;
    {
      Handle file(CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
      if (!file.valid()) {
        error = Describe("cannot create", fresh);
        return false;
      }
      ok = WriteWhole(file.get(), data, fresh, error);
      if (ok && !FlushFileBuffers(file.get())) {
        error = Describe("cannot flush", fresh);
        ok = false;
      }
    }
    if (ok && !MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot replace", path);
      ok = false;
    }
    if (!ok) DeleteFileA(fresh.c_str());
    return ok;
  }

  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from);
    if (!MoveFileExA(source.c_str(), PathOf(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot rename", source);
      return false;
    }
    return true;
  }

  bool MoveOver(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from);
    if (!MoveFileExA(source.c_str(), PathOf(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot rename", source);
      return false;
    }
    return true;
  }

 private:
  std::string folder_;
};

}  // namespace

std::unique_ptr<JournalFiles> MakeJournalFiles(std::string folder) {
  return std::make_unique<Win32JournalFiles>(std::move(folder));
}

}  // namespace seamlog::journal
