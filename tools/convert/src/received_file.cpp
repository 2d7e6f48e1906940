#include "received_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace seamlog::tools {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

std::string Describe(int errorNumber) {
  return errorNumber != 0 ? std::generic_category().message(errorNumber) : "unknown error";
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Calls take(block) for every block of the file; false on a read error.
template <class Take>
bool ForEachBlock(std::FILE* file, Take take) {
  char block[kBlockSize];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) take(std::string_view(block, got));
  return std::ferror(file) == 0;
}

}  // namespace

void AppendAddingLineFeeds(std::string& text, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t cr = bytes.find('\r');
    if (cr == std::string_view::npos) {
      text.append(bytes);
      return;
    }
    text.append(bytes.substr(0, cr + 1));
    text.push_back('\n');
    bytes.remove_prefix(cr + 1);
  }
}

bool ReadReceivedFile(const std::string& path, ByteStream kind, std::string& text,
                      std::string& error) {
  std::error_code status;
  if (std::filesystem::is_directory(path, status)) {
    error = "cannot read '" + path + "': it is a directory";
    return false;
  }
  errno = 0;
  const File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open '" + path + "': " + Describe(errno);
    return false;
  }
  auto failed = [&] {
    error = "cannot read '" + path + "': " + Describe(errno);
    return false;
  };

  text.clear();
  std::size_t size = static_cast<std::size_t>(std::filesystem::file_size(path, status));
  if (status) size = 0;
  if (kind == ByteStream::AsReceived) {
    text.reserve(size);
    return ForEachBlock(file.get(), [&](std::string_view block) { text.append(block); }) ||
           failed();
  }
  // Count the CRs first, so that the text is allocated once at its final size.
  std::size_t carriageReturns = 0;
  errno = 0;
  if (!ForEachBlock(file.get(), [&](std::string_view block) {
        carriageReturns += static_cast<std::size_t>(std::count(block.begin(), block.end(), '\r'));
      })) {
    return failed();
  }
  std::rewind(file.get());
  text.reserve(size + carriageReturns);
  return ForEachBlock(file.get(), [&](std::string_view block) { AppendAddingLineFeeds(text, block); }) ||
         failed();
}

}  // namespace seamlog::tools
