#pragma once
// What the three converters share: the working copy (a cursor over the
// received text, never a copy of it), the record total and progress, the
// first four rows of every table, writing rows, and ending the run.
//
// A table with no records ends with its units row, written once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "seamlog/convert/convert_received_text.h"
#include "text_search.h"

namespace seamlog::convert::detail {

// Ends a conversion at once as a failure; rows already written stay.
struct ConversionError {
  std::string reason;
};

// Throws the failure for a value that does not fit in 16 bits.
[[noreturn]] void ThrowBeyond16Bits(std::int64_t value, std::string_view what);

// A count or position as the 16-bit signed integer the layouts use.
inline std::int16_t To16(std::int64_t value, std::string_view what) {
  if (value > INT16_MAX || value < INT16_MIN) ThrowBeyond16Bits(value, what);
  return static_cast<std::int16_t>(value);
}

class Frame {
 public:
  Frame(Model model, std::string_view receivedText, RowWriter& out, ProgressSink& progress);

  // Computes the record total, starts the progress and writes the two empty
  // rows, the header row and the units row.
  void Begin(std::string_view header, std::string_view units);

  // What remains of the working copy.
  std::string_view Rest() const { return rest_; }
  // Removes the first n characters of the working copy (all when fewer) and returns them.
  std::string_view Take(std::size_t n);
  // Removes a leading separator block when the copy begins with the 31-hyphen
  // run; a block cut short ends where the next separator line begins.
  void SkipSeparatorBlock();
  // Removes a record body of n characters, or fewer when the next record's
  // separator line begins within them: a record cut short never takes the
  // start of the record after it.
  std::string_view TakeRecordBody(std::size_t n);
  // How many characters of the text lie before the working copy.
  std::size_t Consumed() const { return text_.size() - rest_.size(); }
  // The characters of the text from offset `from` up to the working copy.
  std::string_view TakenSince(std::size_t from) const { return text_.substr(from, Consumed() - from); }

  void WriteRow(std::string_view row);
  void WriteEmptyRows(int count);
  // Rows that each end in CR LF, in one call.
  void WriteRows(std::string_view rows);
  // total minus the rounded count of what remains.
  void ReportProgress();

 private:
  int recordTextLength_;
  std::string_view text_;
  std::string_view rest_;
  RowWriter& out_;
  ProgressSink& progress_;
  std::int16_t total_ = 0;
};

// What ends every row of a table.
inline constexpr std::string_view kRowEnd = "\r\n";

// Appends a field and the comma after it.
inline void AppendField(std::string& row, std::string_view field) {
  row.append(field);
  row.push_back(',');
}

// A row built in place, one field after another, each followed by a comma.
// A field of fixed length that lies inside its text is copied as such.
class RowText {
 public:
  // Starts an empty row.
  void Clear() { size_ = 0; }
  // Mid(text, pos, N) and a comma.
  template <std::size_t N>
  void Mid(std::string_view text, std::size_t pos) {
    Room(N + 1);
    if (pos >= 1 && pos - 1 + N <= text.size()) {
      std::memcpy(buf_.data() + size_, text.data() + pos - 1, N);
      size_ += N;
    } else {
      Raw(detail::Mid(text, pos, N));
    }
    buf_[size_++] = ',';
  }
  // Any field and a comma.
  void Field(std::string_view field) {
    Room(field.size() + 1);
    Raw(field);
    buf_[size_++] = ',';
  }
  // Characters without a comma.
  void Append(std::string_view text) {
    Room(text.size());
    Raw(text);
  }
  void Comma() {
    Room(1);
    buf_[size_++] = ',';
  }
  std::string_view View() const { return {buf_.data(), size_}; }
  // Starts an empty row with room for n characters and returns where it
  // begins; Commit ends it where its characters end.
  char* Start(std::size_t n) {
    size_ = 0;
    Room(n);
    return buf_.data();
  }
  void Commit(const char* end) { size_ = static_cast<std::size_t>(end - buf_.data()); }

 private:
  void Room(std::size_t n) {
    if (buf_.size() - size_ < n) Grow(n);
  }
  void Grow(std::size_t n);
  void Raw(std::string_view text) {
    if (!text.empty()) std::memcpy(buf_.data() + size_, text.data(), text.size());
    size_ += text.size();
  }
  std::string buf_;
  std::size_t size_ = 0;
};

// A row written at a cursor into room reserved in a RowText, with the same
// calls as RowText but no checks: for rows whose fixed-length fields all lie
// inside their text, and whose length is known to fit in the room. Kept in
// registers while a row is built, which RowText's members cannot be.
class FieldCursor {
 public:
  FieldCursor(RowText& row, std::size_t room) : row_(row), begin_(row.Start(room)), at_(begin_) {}
  FieldCursor(const FieldCursor&) = delete;
  FieldCursor& operator=(const FieldCursor&) = delete;
  ~FieldCursor() { row_.Commit(at_); }

  void Clear() { at_ = begin_; }
  template <std::size_t N>
  void Mid(std::string_view text, std::size_t pos) {
    std::memcpy(at_, text.data() + pos - 1, N);
    at_[N] = ',';
    at_ += N + 1;
  }
  void Field(std::string_view field) {
    Append(field);
    *at_++ = ',';
  }
  void Append(std::string_view text) {
    if (!text.empty()) std::memcpy(at_, text.data(), text.size());
    at_ += text.size();
  }
  void Comma() { *at_++ = ','; }
  std::string_view View() const { return {begin_, static_cast<std::size_t>(at_ - begin_)}; }

 private:
  RowText& row_;
  char* const begin_;
  char* at_;
};

// Runs body(frame, result) and ends the run: a failed run discards what it
// wrote, any other closes the writer, and a close that fails turns the
// result into a failure. A completed run reports how much of the text it
// consumed: everything before the start of a record still arriving. A
// stopped run has set consumedLength to the start of the record it stopped at.
template <class Body>
ConvertResult RunConverter(Model model, std::string_view text, RowWriter& out,
                           ProgressSink& progress, Body body) {
  ConvertResult result{model, RecordCount(text.size(), ModelRowOf(model).recordTextLength),
                       ConvertOutcome::Completed, {}, 0, 0, {}};
  std::string_view rest = text;
  try {
    Frame frame(model, text, out, progress);
    body(frame, result);
    rest = frame.Rest();
  } catch (const ConversionError& error) {
    result.outcome = ConvertOutcome::Failed;
    result.reason = error.reason;
    result.consumedLength = 0;
  }
  if (result.outcome == ConvertOutcome::Failed) {
    if (!out.Discard()) result.reason += "; the rows written could not be taken back: " + out.LastError();
    return result;
  }
  if (!out.Close()) {
    result.outcome = ConvertOutcome::Failed;
    result.consumedLength = 0;
    result.reason = "the table file could not be closed: " + out.LastError();
    return result;
  }
  if (result.outcome == ConvertOutcome::Completed)
    result.consumedLength = text.size() - rest.size() + RecordStartIn(rest);
  return result;
}

}  // namespace seamlog::convert::detail
