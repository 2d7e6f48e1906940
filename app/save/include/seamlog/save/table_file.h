#pragma once
// The table file of a save: opened for appending (created when missing, an
// existing file keeps its content), rows written as 8-bit text each ending in
// CR LF, byte for byte. Every write, flush and close error is reported: a
// full disk or a vanished file is a failure, never silence.
//
// A save is whole or nothing. The file is held exclusively from the open to
// the end, so that two saves into one file never mix their rows: a second
// save waits for the first, and gives up after a few seconds. A save that
// does not end in a clean Close (a write error, a Discard, or a TableFile
// destroyed unclosed) returns the file to its length before the save, and
// removes it when the save created it.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "seamlog/convert/row_writer.h"
#include "seamlog/save/save_as_flow.h"

namespace seamlog::save {

class ExclusiveFile;

// How long a save waits for another save to let go of the file.
inline constexpr std::chrono::milliseconds kLockWait{5000};

class TableFile final : public seamlog::convert::RowWriter {
 public:
  // Opens path for appending and takes it for this save alone, waiting up to
  // lockWait while another save holds it; null with a reason in error (which
  // names the file) when it cannot.
  static std::unique_ptr<TableFile> OpenForAppend(const std::string& path, std::string& error,
                                                  std::chrono::milliseconds lockWait = kLockWait);

  ~TableFile() override;
  TableFile(const TableFile&) = delete;
  TableFile& operator=(const TableFile&) = delete;

  bool WriteRow(std::string_view row) override;
  bool WriteRows(std::string_view rows) override;
  bool WriteEmptyRows(int count) override;
  bool Close() override;
  // The table is forced onto the disk, whileHeld taken, and only then is the
  // file let go: the next save into it waits until whileHeld is done.
  bool CloseWith(const std::function<void()>& whileHeld) override;
  bool Discard() override;
  std::string LastError() const override { return error_; }

  const std::string& path() const { return path_; }
  // The file as this save found it.
  TableState StateBefore() const;
  // Before any row: cuts the file to length (no more than it had) and makes
  // that its state before this save.
  bool CutBackTo(std::uint64_t length, std::string& error);

 private:
  TableFile(std::unique_ptr<ExclusiveFile> file, std::string path);
  // False when rows can no longer be written (closed, or a write failed).
  bool Writable();
  bool FlushBuffer();
  bool FlushWhenFull();
  bool End(bool keep, const std::function<void()>& whileHeld);

  std::unique_ptr<ExclusiveFile> file_;
  std::string path_;
  std::string buffer_;
  std::string error_;
  bool failed_ = false;
  bool closed_ = false;
  bool closeResult_ = false;
};

// Save As's output files: a TableFile for each save.
class TableFiles final : public OutputFiles {
 public:
  std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path, TableState& before,
                                                    std::string& error) override {
    auto file = TableFile::OpenForAppend(path, error);
    if (file) before = file->StateBefore();
    return file;
  }
};

}  // namespace seamlog::save
