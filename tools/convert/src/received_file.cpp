#include "received_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace seamlog::tools {
namespace {

std::string Describe(int errorNumber) {
  return errorNumber != 0 ? std::generic_category().message(errorNumber) : "unknown error";
}

}  // namespace

bool ReadReceivedFile(const std::string& path, std::string& text, std::string& error) {
  std::error_code status;
  if (std::filesystem::is_directory(path, status)) {
    error = "cannot read '" + path + "': it is a directory";
    return false;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open '" + path + "': " + Describe(errno);
    return false;
  }
  text.clear();
  const auto size = std::filesystem::file_size(path, status);
  if (!status) text.reserve(static_cast<std::size_t>(size));

  char block[64 * 1024];
  std::size_t got = 0;
  errno = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) {
    error = "cannot read '" + path + "': " + Describe(readError);
    return false;
  }
  return true;
}

void AddLineFeedAfterEveryCarriageReturn(std::string& text) {
  const auto carriageReturns = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r'));
  if (carriageReturns == 0) return;
  std::size_t from = text.size();
  text.resize(text.size() + carriageReturns);
  std::size_t to = text.size();
  // Move from the back so that every byte is moved once, in place.
  while (from > 0) {
    const char c = text[--from];
    if (c == '\r') text[--to] = '\n';
    text[--to] = c;
  }
}

}  // namespace seamlog::tools
