#include "seamlog/save/table_file.h"

#include <cerrno>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace seamlog::save {
namespace {

// Rows are collected and handed to the C library in blocks of this size.
constexpr std::size_t kBlockSize = 256 * 1024;

std::string Describe(int errorNumber) {
  return errorNumber != 0 ? std::generic_category().message(errorNumber) : "unknown error";
}

// True when the open file no longer has a name: it was deleted while being
// written, and what was written is lost with it. (Windows does not let an
// open file be deleted; there a vanished volume shows as a write error.)
bool Unlinked(std::FILE* file) {
#ifdef _WIN32
  (void)file;
  return false;
#else
  struct stat status {};
  return ::fstat(::fileno(file), &status) == 0 && status.st_nlink == 0;
#endif
}

}  // namespace

std::unique_ptr<TableFile> TableFile::OpenForAppend(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "no file name was given";
    return nullptr;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    error = "cannot open '" + path + "' for appending: " + Describe(errno);
    return nullptr;
  }
  error.clear();
  return std::unique_ptr<TableFile>(new TableFile(file, path));
}

TableFile::TableFile(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {
  buffer_.reserve(kBlockSize);
}

TableFile::~TableFile() { Close(); }

bool TableFile::Fail(std::string_view what, int errorNumber) {
  failed_ = true;
  error_ = std::string(what) + " '" + path_ + "': " + Describe(errorNumber);
  return false;
}

bool TableFile::FlushBuffer() {
  if (buffer_.empty()) return true;
  errno = 0;
  const std::size_t written = std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
  const bool complete = written == buffer_.size() && std::ferror(file_) == 0;
  buffer_.clear();
  return complete || Fail("cannot write to", errno);
}

bool TableFile::WriteRow(std::string_view row) {
  if (closed_) {
    error_ = "the table file '" + path_ + "' is already closed";
    return false;
  }
  if (failed_) return false;
  buffer_.append(row);
  buffer_.append("\r\n");
  return buffer_.size() < kBlockSize || FlushBuffer();
}

bool TableFile::Close() {
  if (closed_) return closeResult_;
  closed_ = true;
  bool ok = !failed_ && FlushBuffer();
  errno = 0;
  if (ok && std::fflush(file_) != 0) ok = Fail("cannot write to", errno);
  if (ok && Unlinked(file_)) {
    failed_ = true;
    error_ = "the table file '" + path_ + "' was deleted while it was being written";
    ok = false;
  }
  errno = 0;
  if (std::fclose(file_) != 0 && ok) ok = Fail("cannot close", errno);
  file_ = nullptr;
  closeResult_ = ok;
  return ok;
}

}  // namespace seamlog::save
