#include "output_refusal.h"

#include <array>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>

#include "win32util/handles.h"
#else
#include <sys/stat.h>
#endif

#include "received_file.h"

namespace seamlog::tools {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHyphenRun = "-------------------------------";  // 31

std::string Head(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(kOutputHeadBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

// What kind of thing, other than a regular file or a folder, status names.
const char* NotAFile(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::fifo:
      return "a FIFO (named pipe)";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::character:
    case fs::file_type::block:
      return "a device";
    default:
      return "not a regular file";
  }
}

#ifdef _WIN32
// A file's volume and index, asked of ntdll: a redirected standard stream is
// often open for writing alone, and GetFileInformationByHandle needs the
// right to read attributes; these two queries need no right at all.
struct FileIdentity {
  bool volumeKnown = false;  // not every handle may ask its volume
  ULONG volume = 0;
  LONGLONG index = 0;
  bool SameAs(const FileIdentity& other) const {
    return index == other.index && (!volumeKnown || !other.volumeKnown || volume == other.volume);
  }
};

struct StatusBlock {
  void* status;
  ULONG_PTR information;
};
struct VolumeInformation {
  LARGE_INTEGER creationTime;
  ULONG serialNumber;
  ULONG labelLength;
  BOOLEAN supportsObjects;
  WCHAR label[64];
};
using QueryFile = LONG(WINAPI*)(HANDLE, StatusBlock*, void*, ULONG, int);
constexpr int kFileInternalInformation = 6;
constexpr int kFileFsVolumeInformation = 1;

QueryFile NtdllQuery(const char* name) {
  return reinterpret_cast<QueryFile>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

bool IdentityOf(HANDLE file, FileIdentity& identity) {
  static const QueryFile queryFile = NtdllQuery("NtQueryInformationFile");
  static const QueryFile queryVolume = NtdllQuery("NtQueryVolumeInformationFile");
  if (file == nullptr || file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK || !queryFile)
    return false;
  StatusBlock io{};
  LARGE_INTEGER index{};
  if (queryFile(file, &io, &index, sizeof index, kFileInternalInformation) < 0) return false;
  VolumeInformation volume{};
  const bool known =
      queryVolume && queryVolume(file, &io, &volume, sizeof volume, kFileFsVolumeInformation) >= 0;
  identity = {known, known ? volume.serialNumber : 0, index.QuadPart};
  return true;
}
#endif

}  // namespace

bool LooksLikeReport(std::string_view head) {
  for (std::size_t at = head.find(kHyphenRun); at != std::string_view::npos;
       at = head.find(kHyphenRun, at + 1)) {
    if (at == 0 || head[at - 1] == '\n' || head[at - 1] == '\r') return true;
  }
  return false;
}

std::string StandardStreamAt(const std::string& path) {
#ifdef _WIN32
  const HANDLE opened = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return {};
  const win32util::KernelHandle file(opened);
  FileIdentity output;
  if (!IdentityOf(file.get(), output)) return {};
  const std::array<std::pair<DWORD, const char*>, 2> streams{
      {{STD_OUTPUT_HANDLE, "standard output"}, {STD_ERROR_HANDLE, "standard error"}}};
  for (const auto& [which, name] : streams) {
    FileIdentity identity;
    if (IdentityOf(GetStdHandle(which), identity) && identity.SameAs(output)) return name;
  }
#else
  struct stat output {};
  if (::stat(path.c_str(), &output) != 0) return {};
  const std::array<std::pair<int, const char*>, 2> streams{{{1, "standard output"}, {2, "standard error"}}};
  for (const auto& [fd, name] : streams) {
    struct stat stream {};
    if (::fstat(fd, &stream) == 0 && stream.st_dev == output.st_dev && stream.st_ino == output.st_ino)
      return name;
  }
#endif
  return {};
}

std::string RefuseOutput(const std::string& input, const std::string& output, bool force) {
  const std::string quoted = "'" + output + "'";
  if (const std::string stream = StandardStreamAt(output); !stream.empty())
    return "OUTPUT " + quoted + " is this program's " + stream +
           ", where its messages go: they would be mixed into the table";
#ifdef _WIN32
  if (IsWindowsDeviceName(output))
    return "OUTPUT " + quoted + " is a device, not a file: the table would go nowhere";
#endif
  std::error_code error;
  const fs::file_status link = fs::symlink_status(output, error);
  const fs::file_status status = fs::status(output, error);
  if (fs::is_symlink(link) && status.type() == fs::file_type::not_found) {
    std::error_code unread;
    return "OUTPUT " + quoted + " is a symbolic link to '" + fs::read_symlink(output, unread).string() +
           "', which does not exist";
  }
  if (status.type() == fs::file_type::none) return "cannot examine OUTPUT " + quoted + ": " + error.message();
  if (fs::is_directory(status)) return "OUTPUT " + quoted + " is a folder; give the name of a file in it";
  if (fs::exists(status) && !fs::is_regular_file(status))
    return "OUTPUT " + quoted + " is " + NotAFile(status) + ", not a file: the table would go nowhere";
  if (!fs::exists(status)) return {};
  if (fs::equivalent(input, output, error))
    return "INPUT and OUTPUT are the same file (" + quoted +
           "): the table would be appended to the report itself";
  if (!force && LooksLikeReport(Head(output)))
    return "OUTPUT " + quoted +
           " looks like a splicer report, not a table (it holds a record separator line): were INPUT and "
           "OUTPUT "
           "given the wrong way round? Give --force to append the table to it all the same";
  return {};
}

}  // namespace seamlog::tools
