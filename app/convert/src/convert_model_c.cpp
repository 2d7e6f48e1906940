// MODEL-C: records of varying length, each up to the next separator line.
// A record holds a section headed by a line ending in "Irregular", one line
// per fiber (up to twelve), and a section headed by a line ending in "Loss"
// whose lines carry each fiber's loss estimate and, on lines 2, 5, 6 and 8,
// the condition, date, time and memo. Every record takes twelve rows and an
// empty row. A record without either heading line stops the run. A record
// shorter than a whole one that lacks its loss lines was cut short when the
// splicer went away: it is left out (its number is reported), so that the
// records after it are still saved.
//
// Positions inside a record are 16-bit, as on the splicer's side: a position
// or cut beyond 32,767 ends the conversion as a failure instead of wrapping.
#include <algorithm>
#include <array>
#include <vector>

#include "frame.h"
#include "seamlog/convert/arriving_record.h"

namespace seamlog::convert {
namespace {

using detail::FindCrLf;
using detail::FindNoCase;
using detail::kRowEnd;
using detail::kSeparatorLine;
using detail::Mid;
using detail::To16;

constexpr std::string_view kHeader =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time,Memo";
constexpr std::string_view kUnits = ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,";

constexpr std::size_t kMinimumRest = 598;
constexpr int kLines = 12;
constexpr int kRowsPerRecord = 12;
// Enough for the empty rows of a record with one row, and the one after it.
constexpr std::string_view kEmptyRows = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";

// One character position of a record, 16-bit; p + n is checked as well.
struct Pos {
  std::int16_t value;
  Pos operator+(int n) const { return Pos{To16(std::int64_t{value} + n, "a position in a record")}; }
  operator std::size_t() const { return static_cast<std::size_t>(value); }
};

Pos Found(std::size_t position) {
  return Pos{To16(static_cast<std::int64_t>(position), "a position in a record")};
}

// The CR LF pairs of one record (its separator block and body), found in one
// pass over it; the searches below give what FindCrLf and FindNoCase give on
// the record's text or on its body. A record too long for any of its
// positions to fit in 16 bits is searched character by character instead.
class RecordLines {
 public:
  // Offsets of the record's text up to which every pair is kept.
  static constexpr std::size_t kKept = 2 * kMaxRecordCount;

  // Cuts the next record off the working copy: its separator block, and the
  // body up to the next separator line. The first hyphens of a separator line
  // still arriving at the end of the text belong to the next record.
  std::string_view Cut(detail::Frame& frame, int record) {
    const std::string_view rest = frame.Rest();
    frame.SkipSeparatorBlock();
    block_ = rest.size() - frame.Rest().size();
    crlfs_.clear();
    std::size_t end = detail::ScanLineEnds(rest, block_, kKept, crlfs_);
    if (end == rest.size()) {
      const std::size_t tail =
          std::max(block_, rest.size() - std::min(rest.size(), kSeparatorLine.size() - 1));
      end = tail + detail::RecordStartIn(rest.substr(tail));
    }
    const std::size_t next = end - block_;
    if (end != rest.size() && next + 1 > static_cast<std::size_t>(kMaxRecordCount)) {
      throw detail::ConversionError{"record " + std::to_string(record) +
                                    ": the next record separator lies " + std::to_string(next) +
                                    " characters ahead, more than 32,767"};
    }
    text_ = rest.substr(0, end);
    while (!crlfs_.empty() && crlfs_.back() + 1 >= text_.size()) crlfs_.pop_back();
    return frame.Take(next);
  }

  // The record's text, separator block included.
  std::string_view Text() const { return text_; }
  // Where the body begins in it.
  std::size_t Block() const { return block_; }

  // FindCrLf over the text from offset lo on, from position from of it.
  // Successive calls for positions that grow pass the same hint (0 at first)
  // and step through the pairs instead of searching them.
  std::size_t CrLf(std::size_t lo, std::size_t from, std::size_t& hint) const {
    if (!Kept()) return FindCrLf(text_.substr(lo), from);
    const auto first = static_cast<std::uint32_t>(lo + std::max<std::size_t>(from, 1) - 1);
    std::size_t k = hint;
    if (k > crlfs_.size() || (k > 0 && crlfs_[k - 1] >= first)) {
      k = static_cast<std::size_t>(std::lower_bound(crlfs_.begin(), crlfs_.end(), first) - crlfs_.begin());
    }
    while (k < crlfs_.size() && crlfs_[k] < first) ++k;
    hint = k;
    return k == crlfs_.size() ? 0 : crlfs_[k] - lo + 1;
  }

  // FindNoCase over the text from offset lo on, from its first position, for
  // a keyword that ends a line.
  std::size_t LineEnding(std::size_t lo, std::string_view keyword) const {
    if (!Kept()) return FindNoCase(text_.substr(lo), 1, keyword);
    const std::size_t head = keyword.size() - 2;
    const auto first = static_cast<std::uint32_t>(lo + head);
    for (auto it = std::lower_bound(crlfs_.begin(), crlfs_.end(), first); it != crlfs_.end(); ++it) {
      if (detail::EqualNoCase(keyword.substr(0, head), text_.substr(*it - head, head)))
        return *it - head - lo + 1;
    }
    return 0;
  }

  // The pairs kept for the text, in order: the offset of each CR in it.
  // Only for a text whose pairs are kept (see Kept).
  std::size_t PairCount() const { return crlfs_.size(); }
  std::size_t PairAt(std::size_t k) const { return crlfs_[k]; }
  // The index of the first pair whose CR is at or after offset first.
  std::size_t FirstPairAt(std::size_t first) const {
    return static_cast<std::size_t>(
        std::lower_bound(crlfs_.begin(), crlfs_.end(), static_cast<std::uint32_t>(first)) - crlfs_.begin());
  }
  bool Kept() const { return text_.size() <= kKept; }

  // RecordIsWhole for MODEL-C: the "Loss" heading line and twelve lines after it.
  bool HoldsLossLines() const {
    if (!Kept()) return RecordIsWhole(Model::C, text_);
    const std::size_t heading = LineEnding(0, "Loss\r\n");
    if (heading == 0) return false;
    std::size_t from = heading + 6;
    std::size_t hint = 0;
    for (int line = 0; line < kLines; ++line) {
      const std::size_t end = CrLf(0, from, hint);
      if (end == 0) return false;
      from = end + 2;
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t block_ = 0;
  std::vector<std::uint32_t> crlfs_;
};

// Line starts after a heading line: starts[1] follows the heading, each next
// one is the first CR LF at or after the previous start, plus 2 (2 when none).
using LineStarts = std::array<Pos, kLines + 1>;  // used from index 1

LineStarts BuildLineStarts(const RecordLines& lines, Pos first) {
  LineStarts starts{};
  starts[1] = first;
  const std::size_t lo = lines.Block();
  if (!lines.Kept()) {
    std::size_t hint = 0;
    for (int n = 2; n <= kLines; ++n) {
      const std::size_t crlf = lines.CrLf(lo, starts[n - 1], hint);
      starts[n] = crlf == 0 ? Pos{2} : Found(crlf) + 2;
    }
    return starts;
  }
  // Each line start lies just past a pair, so the next search finds the
  // pair after it: the lines are the kept pairs one after another. Past the
  // last one a line starts at 2, and the search begins again at the body's
  // start.
  std::size_t k = lines.FirstPairAt(lo + std::max<std::size_t>(first, 1) - 1);
  for (int n = 2; n <= kLines; ++n) {
    if (k == lines.PairCount()) {
      starts[n] = Pos{2};
      k = lines.FirstPairAt(lo + 1);
    } else {
      starts[n] = Found(lines.PairAt(k) - lo + 1) + 2;
      ++k;
    }
  }
  return starts;
}

// Fiber rows: irregular line 1 always; the first of lines 2 to 12 with a blank
// at its sixth character ends them.
int CountFiberRows(std::string_view body, const LineStarts& irregular) {
  for (int n = 2; n <= kLines; ++n) {
    if (Mid(body, irregular[n] + 5, 1) == " ") return n - 1;
  }
  return kLines;
}

// The four characters at i+30; when the third is a point, it is left out.
void AppendIrregular(detail::RowText& row, std::string_view body, Pos i) {
  if (Mid(body, i + 32, 1) == ".") {
    row.Append(Mid(body, i + 30, 2));
    row.Append(Mid(body, i + 33, 1));
    row.Comma();
  } else {
    row.Mid<4>(body, i + 30);
  }
}

// Loss line n from its 13th character to its end (the CR before the next line).
std::string_view LossLineTail(std::string_view body, const LineStarts& loss, int n, int record,
                              std::string_view name) {
  const std::int16_t length =
      To16(std::int64_t{loss[n + 1].value} - loss[n].value - 14, "a field length");
  if (length < 0) {
    throw detail::ConversionError{"record " + std::to_string(record) + ": the " +
                                  std::string(name) + " field would have a negative length (" +
                                  std::to_string(length) + ")"};
  }
  return Mid(body, loss[n] + 12, static_cast<std::size_t>(length));
}

void AppendFiberValues(detail::RowText& row, std::string_view body, Pos i, Pos s) {
  row.Mid<2>(body, i);
  row.Mid<3>(body, i + 4);
  row.Mid<3>(body, i + 10);
  row.Mid<3>(body, i + 15);
  row.Mid<4>(body, i + 20);
  row.Mid<4>(body, s + 3);
}

// Each row below is appended to what row holds, without its CR LF.
void BuildFiberRow(detail::RowText& row, std::string_view body, int r, const LineStarts& irregular,
                   const LineStarts& loss, int record) {
  if (r == 1) row.Mid<4>(body, 12);
  else row.Comma();
  AppendFiberValues(row, body, irregular[r], loss[r]);
  if (r > 2) return;
  row.Mid<1>(body, irregular[r] + 28);
  AppendIrregular(row, body, irregular[r]);
  if (r > 1) return;
  row.Field(LossLineTail(body, loss, 2, record, "Condition"));
  row.Append("20");
  row.Mid<8>(body, loss[5] + 16);
  row.Mid<5>(body, loss[6] + 19);
  row.Field(LossLineTail(body, loss, 8, record, "Memo"));
}

// The row after a single fiber row: seven empty columns, then the eighth
// column and the Irregular value of irregular line 2.
void BuildFillerRow(detail::RowText& row, std::string_view body, const LineStarts& irregular) {
  row.Append(",,,,,,,");
  row.Mid<1>(body, irregular[2] + 28);
  AppendIrregular(row, body, irregular[2]);
}

// The converter's False result: a record without one of its heading lines.
// The records before it are in the table; the text from its start on is not.
void Stop(ConvertResult& result, int record, std::string_view heading, std::size_t recordStart) {
  result.outcome = ConvertOutcome::Stopped;
  result.stoppedAtRecord = record;
  result.consumedLength = recordStart;
  result.reason = "record " + std::to_string(record) + " has no \"" + std::string(heading) +
                  "\" heading line; the records before it were saved";
}

// A record shorter than a whole one that lacks part of what the converter
// reads was cut short: the splicer went away in the middle of it.
bool CutShort(const RecordLines& lines) {
  return lines.Text().size() < static_cast<std::size_t>(ModelRowOf(Model::C).recordTextLength) &&
         !lines.HoldsLossLines();
}

}  // namespace

ConvertResult ConvertModelC(std::string_view receivedText, RowWriter& out, ProgressSink& progress) {
  return detail::RunConverter(
      Model::C, receivedText, out, progress, [](detail::Frame& frame, ConvertResult& result) {
        frame.Begin(kHeader, kUnits);
        detail::RowText row;
        RecordLines lines;
        int record = 0;
        while (frame.Rest().size() >= kMinimumRest) {
          ++record;
          const std::size_t recordStart = frame.Consumed();
          const std::string_view body = lines.Cut(frame, record);
          if (CutShort(lines)) {
            // Its line starts would point into the wrong lines, or nowhere:
            // it is left out, and must not stop the records after it.
            result.skippedRecords.push_back(record);
            continue;
          }
          const std::size_t irregularHeading = lines.LineEnding(lines.Block(), "Irregular\r\n");
          if (irregularHeading == 0) return Stop(result, record, "Irregular", recordStart);
          const LineStarts irregular = BuildLineStarts(lines, Found(irregularHeading) + 11);
          const std::size_t lossHeading = lines.LineEnding(lines.Block(), "Loss\r\n");
          if (lossHeading == 0) return Stop(result, record, "Loss", recordStart);
          const LineStarts loss = BuildLineStarts(lines, Found(lossHeading) + 6);
          const int fiberRows = CountFiberRows(body, irregular);

          // The record's rows, its empty rows and the empty row after it,
          // written together.
          row.Clear();
          int rows = 0;
          for (int r = 1; r <= fiberRows; ++r, ++rows) {
            BuildFiberRow(row, body, r, irregular, loss, record);
            row.Append(kRowEnd);
          }
          if (fiberRows == 1) {
            BuildFillerRow(row, body, irregular);
            row.Append(kRowEnd);
            ++rows;
          }
          row.Append(kEmptyRows.substr(0, 2 * static_cast<std::size_t>(kRowsPerRecord - rows + 1)));
          frame.WriteRows(row.View());
          frame.ReportProgress();
        }
      });
}

}  // namespace seamlog::convert
