#include "seamlog/save/table_file.h"

#include "exclusive_file.h"

#include <algorithm>

namespace seamlog::save {
namespace {

// Rows are collected and handed to the file in blocks of this size.
constexpr std::size_t kBlockSize = 256 * 1024;

}  // namespace

std::unique_ptr<TableFile> TableFile::OpenForAppend(const std::string& path, std::string& error,
                                                    std::chrono::milliseconds lockWait) {
  if (path.empty()) {
    error = "no file name was given";
    return nullptr;
  }
  auto file = ExclusiveFile::Open(path, lockWait, error);
  if (!file) return nullptr;
  error.clear();
  return std::unique_ptr<TableFile>(new TableFile(std::move(file), path));
}

TableFile::TableFile(std::unique_ptr<ExclusiveFile> file, std::string path)
    : file_(std::move(file)), path_(std::move(path)) {
  buffer_.reserve(kBlockSize);
}

TableState TableFile::StateBefore() const { return {file_->LengthBefore(), file_->Created()}; }

bool TableFile::CutBackTo(std::uint64_t length, std::string& error) {
  return buffer_.empty() && !closed_ && file_->CutBackTo(length, error);
}

// A table never closed is no save: it is taken back.
TableFile::~TableFile() { Discard(); }

bool TableFile::FlushBuffer() {
  if (buffer_.empty()) return true;
  const bool written = file_->Append(buffer_, error_);
  buffer_.clear();
  if (!written) failed_ = true;
  return written;
}

bool TableFile::Writable() {
  if (closed_) {
    error_ = "the table file '" + path_ + "' is already closed";
    return false;
  }
  return !failed_;
}

// Rows gather in the buffer until a block is full.
bool TableFile::FlushWhenFull() { return buffer_.size() < kBlockSize || FlushBuffer(); }

bool TableFile::WriteEmptyRows(int count) {
  if (closed_ || failed_) return Writable();
  constexpr std::string_view kSixteenEmptyRows = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
  for (int left = count; left > 0; left -= 16) {
    buffer_.append(kSixteenEmptyRows.substr(0, 2 * static_cast<std::size_t>(std::min(left, 16))));
  }
  return FlushWhenFull();
}

bool TableFile::WriteRow(std::string_view row) {
  if (closed_ || failed_) return Writable();
  buffer_.append(row).append("\r\n", 2);
  return FlushWhenFull();
}

bool TableFile::WriteRows(std::string_view rows) {
  if (closed_ || failed_) return Writable();
  buffer_.append(rows);
  return FlushWhenFull();
}

bool TableFile::Close() { return End(true, {}); }

bool TableFile::CloseWith(const std::function<void()>& whileHeld) { return End(true, whileHeld); }

bool TableFile::Discard() { return End(false, {}); }

// Keeps the table when asked to and every row reached the file; otherwise
// returns the file to what it was before the save.
bool TableFile::End(bool keep, const std::function<void()>& whileHeld) {
  if (closed_) return closeResult_;
  closed_ = true;
  std::string problem;
  if (keep && !failed_ && FlushBuffer() && file_->Keep(problem, whileHeld)) {
    closeResult_ = true;
    return true;
  }
  if (!problem.empty()) error_ = problem;  // the file was deleted or failed to close
  buffer_.clear();
  std::string undo;
  const bool restored = file_->Restore(undo);
  if (!restored) error_ += error_.empty() ? undo : "; " + undo;
  closeResult_ = !keep && restored;
  return closeResult_;
}

}  // namespace seamlog::save
