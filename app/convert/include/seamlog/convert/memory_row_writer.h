#pragma once
// A RowWriter that keeps the table in memory: for tests, fuzzing and previews.
// It can be told to fail at a given row, to exercise write-error paths.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "seamlog/convert/row_writer.h"

namespace seamlog::convert {

class MemoryRowWriter final : public RowWriter {
 public:
  MemoryRowWriter() = default;
  // Rows before failAtRow (counted from 0) are kept; that row and all after it fail.
  explicit MemoryRowWriter(std::size_t failAtRow) : failAtRow_(failAtRow) {}

  bool WriteRow(std::string_view row) override;
  bool Close() override;
  // Marks the table discarded; the rows stay readable for inspection.
  bool Discard() override;
  std::string LastError() const override { return error_; }

  const std::vector<std::string>& rows() const { return rows_; }
  // The table as a file would hold it: every row followed by CR LF.
  std::string text() const;
  bool closed() const { return closed_; }
  int closeCalls() const { return closeCalls_; }  // Close and Discard
  bool Discarded() const { return discarded_; }

 private:
  std::vector<std::string> rows_;
  std::optional<std::size_t> failAtRow_;
  std::string error_;
  bool closed_ = false;
  bool discarded_ = false;
  int closeCalls_ = 0;
};

}  // namespace seamlog::convert
