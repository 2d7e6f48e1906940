#pragma once
// Where the rows of a table go.
#include <functional>
#include <string>
#include <string_view>

namespace seamlog::convert {

struct RowWriter {
  virtual ~RowWriter() = default;
  // Writes row followed by CR LF. False on error (see LastError).
  virtual bool WriteRow(std::string_view row) = 0;
  // Writes count empty rows, as count calls of WriteRow({}) would.
  virtual bool WriteEmptyRows(int count) {
    for (int i = 0; i < count; ++i) {
      if (!WriteRow({})) return false;
    }
    return true;
  }
  // Writes rows that each already end in CR LF, as one call of WriteRow for
  // each would: a whole record at once.
  virtual bool WriteRows(std::string_view rows) {
    while (!rows.empty()) {
      const std::size_t end = rows.find("\r\n");
      if (!WriteRow(rows.substr(0, end))) return false;
      rows.remove_prefix(end == std::string_view::npos ? rows.size() : end + 2);
    }
    return true;
  }
  // Flushes and closes: the rows written are kept. False on error; a writer
  // that cannot keep all of its rows keeps none of them. Calling it (or
  // Discard) again returns the result of the first call and does nothing more.
  virtual bool Close() = 0;
  // Close, taking whileHeld once the rows are kept and before anybody else
  // may write where they went: a writer that holds its file against other
  // writers takes it before it lets go. Not taken when Close fails before
  // the rows are kept; an empty whileHeld makes it Close.
  virtual bool CloseWith(const std::function<void()>& whileHeld) {
    if (!Close()) return false;
    if (whileHeld) whileHeld();
    return true;
  }
  // Closes and takes back every row written, so that what the rows were
  // written to is as it was before. False when that could not be done.
  virtual bool Discard() = 0;
  // Why the last failing call failed, in words.
  virtual std::string LastError() const = 0;
};

}  // namespace seamlog::convert
