#pragma once
// The table file of a save: opened for appending (created when missing, an
// existing file keeps its content), rows written as 8-bit text each ending in
// CR LF, byte for byte. Every write, flush and close error is reported: a
// full disk or a vanished file is a failure, never silence.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "seamlog/convert/row_writer.h"

namespace seamlog::save {

class TableFile final : public seamlog::convert::RowWriter {
 public:
  // Opens path for appending; null with a reason in error when it cannot.
  static std::unique_ptr<TableFile> OpenForAppend(const std::string& path, std::string& error);

  ~TableFile() override;
  TableFile(const TableFile&) = delete;
  TableFile& operator=(const TableFile&) = delete;

  bool WriteRow(std::string_view row) override;
  bool Close() override;
  std::string LastError() const override { return error_; }

  const std::string& path() const { return path_; }

 private:
  TableFile(std::FILE* file, std::string path);
  bool FlushBuffer();
  bool Fail(std::string_view what, int errorNumber);

  std::FILE* file_;
  std::string path_;
  std::string buffer_;
  std::string error_;
  bool failed_ = false;
  bool closed_ = false;
  bool closeResult_ = false;
};

}  // namespace seamlog::save
