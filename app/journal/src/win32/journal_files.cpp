// Win32 files for the journal, through a Win32System for the calls that
// write, force and rename. The journal is opened without write or delete
// sharing, so a second Seamlog cannot open it while the first holds it;
// FlushFileBuffers forces it onto the disk; MoveFileEx with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH (Windows XP has both)
// puts a rewritten journal in place in one step. ANSI paths, like the
// program's directory they live in.
#include "seamlog/journal/win32_journal_files.h"

namespace seamlog::journal {

HANDLE Win32System::Create(const char* path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
BOOL Win32System::Write(HANDLE file, const void* data, DWORD size, DWORD* written) {
  return WriteFile(file, data, size, written, nullptr);
}
BOOL Win32System::Flush(HANDLE file) { return FlushFileBuffers(file); }
BOOL Win32System::Move(const char* from, const char* to, DWORD flags) { return MoveFileExA(from, to, flags); }
BOOL Win32System::Delete(const char* path) { return DeleteFileA(path); }

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

bool WriteWhole(Win32System& system, HANDLE file, std::string_view data, const std::string& path,
                std::string& error) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!system.Write(file, data.data(), chunk, &written)) {
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
  Win32HeldFile(Win32System& system, HANDLE handle, std::string path)
      : system_(system), file_(handle), path_(std::move(path)) {}

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
    return WriteWhole(system_, file_.get(), data, path_, error);
  }
  bool Flush(std::string& error) override {
    return system_.Flush(file_.get()) != 0 || Fail("cannot flush", error);
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
  Win32System& system_;
  Handle file_;
  std::string path_;
};

class Win32JournalFiles final : public JournalFiles {
 public:
  Win32JournalFiles(std::string folder, Win32System& system) : folder_(std::move(folder)), system_(system) {
    if (!folder_.empty() && folder_.back() != '\\' && folder_.back() != '/') folder_ += '\\';
  }

  std::string PathOf(std::string_view name) const override { return folder_ + std::string(name); }

  bool Exists(std::string_view name) override {
    return GetFileAttributesA(PathOf(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    const std::string path = PathOf(name);
    HANDLE handle = system_.Create(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
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
    return std::make_unique<Win32HeldFile>(system_, handle, path);
  }

  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    const std::string path = PathOf(name);
    const std::string fresh = path + ".new";
    bool ok = false;
    {
      // CREATE_ALWAYS: a .new left behind by a crash may be longer than data.
      Handle file(system_.Create(fresh.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS));
      if (!file.valid()) {
        error = Describe("cannot create", fresh);
        return false;
      }
      ok = WriteWhole(system_, file.get(), data, fresh, error);
      if (ok && !system_.Flush(file.get())) {
        error = Describe("cannot flush", fresh);
        ok = false;
      }
    }
    if (ok &&
        !system_.Move(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot replace", path);
      ok = false;
    }
    if (!ok) system_.Delete(fresh.c_str());
    return ok;
  }

  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from);
    if (!system_.Move(source.c_str(), PathOf(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot rename", source);
      return false;
    }
    return true;
  }

  bool MoveOver(std::string_view from, std::string_view to, std::string& error) override {
    const std::string source = PathOf(from);
    if (!system_.Move(source.c_str(), PathOf(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = Describe("cannot rename", source);
      return false;
    }
    return true;
  }

 private:
  std::string folder_;
  Win32System& system_;
};

}  // namespace

std::unique_ptr<JournalFiles> MakeWin32JournalFiles(std::string folder, Win32System& system) {
  return std::make_unique<Win32JournalFiles>(std::move(folder), system);
}

std::unique_ptr<JournalFiles> MakeJournalFiles(std::string folder) {
  static Win32System real;
  return MakeWin32JournalFiles(std::move(folder), real);
}

}  // namespace seamlog::journal
