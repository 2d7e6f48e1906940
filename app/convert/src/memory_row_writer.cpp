#include "seamlog/convert/memory_row_writer.h"

namespace seamlog::convert {

bool MemoryRowWriter::WriteRow(std::string_view row) {
  if (closed_) {
    error_ = "the table is already closed";
    return false;
  }
  if (failAtRow_ && rows_.size() >= *failAtRow_) {
    error_ = "the device is full";
    return false;
  }
  rows_.emplace_back(row);
  return true;
}

bool MemoryRowWriter::Close() {
  ++closeCalls_;
  closed_ = true;
  return true;
}

bool MemoryRowWriter::Discard() {
  ++closeCalls_;
  closed_ = true;
  discarded_ = true;
  return true;
}

std::string MemoryRowWriter::text() const {
  std::string all;
  for (const auto& row : rows_) {
    all.append(row);
    all.append("\r\n");
  }
  return all;
}

}  // namespace seamlog::convert
