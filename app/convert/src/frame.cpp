#include "frame.h"

#include <algorithm>

namespace seamlog::convert::detail {

void ThrowBeyond16Bits(std::int64_t value, std::string_view what) {
  throw ConversionError{std::string(what) + " (" + std::to_string(value) +
                        ") does not fit in 16 bits; the largest allowed is 32767"};
}

Frame::Frame(Model model, std::string_view receivedText, RowWriter& out, ProgressSink& progress)
    : recordTextLength_(ModelRowOf(model).recordTextLength),
      text_(receivedText),
      rest_(receivedText),
      out_(out),
      progress_(progress) {}

void Frame::Begin(std::string_view header, std::string_view units) {
  total_ = To16(RecordCount(rest_.size(), recordTextLength_),
                "the received text is too long to save: its record count");
  progress_.StartProgress(total_);
  WriteRow({});
  WriteRow({});
  WriteRow(header);
  WriteRow(units);
}

std::string_view Frame::Take(std::size_t n) {
  const std::string_view taken = rest_.substr(0, n);
  rest_.remove_prefix(taken.size());
  return taken;
}

void Frame::SkipSeparatorBlock() {
  if (!StartsWithHyphenRun(rest_)) return;
  // A separator line that begins inside the block ends it there.
  const std::size_t before = kSeparatorBlockLength - 1;
  const std::string_view window = rest_.substr(1, kSeparatorBlockLength + kSeparatorLine.size() - 2);
  if (rest_.starts_with(kSeparatorLine)) {
    // The rest of its own separator line (30 hyphens and CR LF) begins none.
    const std::size_t skip = kSeparatorLine.size() - 1;
    Take(std::min(kSeparatorBlockLength, 1 + skip + RecordStartIn(window.substr(skip), before - skip)));
    return;
  }
  Take(std::min(kSeparatorBlockLength, 1 + RecordStartIn(window, before)));
}

std::string_view Frame::TakeRecordBody(std::size_t n) {
  // Wide enough to see a whole separator line that begins before n.
  const std::string_view window = rest_.substr(0, n + kSeparatorLine.size() - 1);
  return Take(std::min(n, RecordStartIn(window, n)));
}

void Frame::WriteRow(std::string_view row) {
  if (!out_.WriteRow(row)) {
    throw ConversionError{"the table could not be written: " + out_.LastError()};
  }
}

void Frame::WriteRows(std::string_view rows) {
  if (!out_.WriteRows(rows)) {
    throw ConversionError{"the table could not be written: " + out_.LastError()};
  }
}

void Frame::WriteEmptyRows(int count) {
  if (!out_.WriteEmptyRows(count)) {
    throw ConversionError{"the table could not be written: " + out_.LastError()};
  }
}

void RowText::Grow(std::size_t n) { buf_.resize(std::max(2 * buf_.size(), size_ + n)); }

void Frame::ReportProgress() {
  const std::int64_t remaining = RecordCount(rest_.size(), recordTextLength_);
  progress_.SetProgress(To16(total_ - remaining, "the progress value"));
}

}  // namespace seamlog::convert::detail
