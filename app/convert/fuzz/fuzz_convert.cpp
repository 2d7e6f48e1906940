// Feeds arbitrary bytes to model recognition and to all three converters.
// Besides the sanitizers' checks, it traps when a converter breaks one of
// its promises: progress outside 0..total or going back, a writer not closed
// exactly once, a table without its opening rows, a record cut into the
// wrong number of rows or written apart from its empty row, a Stopped result from a model that cannot stop, a
// failed table not discarded, or a completed run leaving for the next save
// anything but the start of a record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/memory_row_writer.h"

namespace {

using namespace seamlog::convert;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

struct CheckedProgress final : ProgressSink {
  int starts = 0;
  int total = -1;
  int last = 0;
  void StartProgress(std::int16_t n) override {
    Require(starts == 0 && n >= 0);
    ++starts;
    total = n;
  }
  void SetProgress(std::int16_t n) override {
    Require(starts == 1 && n >= last && n <= total);
    last = n;
  }
};

using Converter = ConvertResult (*)(std::string_view, RowWriter&, ProgressSink&);

// Passes every call on, and notes how the records came: MODEL-B and MODEL-C
// write each record whole in one call of WriteRows, its empty row last. A
// field taken from arbitrary text may hold a CR LF of its own, so a record
// has at least its rows' CR LFs, not exactly that many.
struct RecordWrites final : RowWriter {
  explicit RecordWrites(MemoryRowWriter& rows) : out(rows) {}
  bool WriteRow(std::string_view row) override {
    ++singleRows;
    return out.WriteRow(row);
  }
  bool WriteEmptyRows(int count) override {
    singleRows += count;
    return out.WriteEmptyRows(count);
  }
  bool WriteRows(std::string_view rows) override {
    ++records;
    std::size_t ends = 0;
    for (std::size_t at = rows.find("\r\n"); at != std::string_view::npos; at = rows.find("\r\n", at + 2)) ++ends;
    fewestRowEnds = records == 1 ? ends : std::min(fewestRowEnds, ends);
    if (!rows.ends_with("\r\n\r\n")) emptyRowLast = false;
    return out.WriteRows(rows);
  }
  bool Close() override { return out.Close(); }
  bool Discard() override { return out.Discard(); }
  std::string LastError() const override { return out.LastError(); }

  MemoryRowWriter& out;
  int singleRows = 0;
  std::size_t records = 0;
  std::size_t fewestRowEnds = 0;
  bool emptyRowLast = true;
};

void Check(Converter convert, Model model, std::string_view text) {
  MemoryRowWriter out;
  RecordWrites writes(out);
  CheckedProgress progress;
  const ConvertResult result = convert(text, writes, progress);
  Require(out.closeCalls() == 1);
  Require(result.model == model);
  Require(result.recordCount == RecordCount(text.size(), ModelRowOf(result.model).recordTextLength));
  if (model != Model::C) Require(result.outcome != ConvertOutcome::Stopped);
  if (result.outcome == ConvertOutcome::Failed) {
    Require(!result.reason.empty() && out.Discarded() && result.consumedLength == 0);
    return;
  }
  Require(!out.Discarded());
  if (result.outcome == ConvertOutcome::Completed) {
    // What is left for the next save is short of a record and begins one.
    Require(result.consumedLength <= text.size());
    const std::string_view kept = text.substr(result.consumedLength);
    Require(kept.size() < 600 && (kept.empty() || kept.front() == '-'));
  } else {
    // Stopped: the text from the stopped record on is kept; it begins a record.
    Require(result.consumedLength < text.size());
  }
  Require(out.rows().size() >= 4 && out.rows()[0].empty() && out.rows()[1].empty());
  switch (result.model) {
    case Model::A: Require(writes.records == 0); break;
    case Model::B:
      Require(writes.singleRows == 4 && writes.emptyRowLast);
      Require(writes.records == 0 || writes.fewestRowEnds >= 5);
      break;
    case Model::C:
      Require(writes.singleRows == 4 && writes.emptyRowLast);
      Require(writes.records == 0 || writes.fewestRowEnds >= 13);
      Require((result.outcome == ConvertOutcome::Stopped) == (result.stoppedAtRecord > 0));
      if (result.outcome == ConvertOutcome::Stopped) {
        Require(writes.records ==
                static_cast<std::size_t>(result.stoppedAtRecord) - 1 - result.skippedRecords.size());
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Model recognised = RecogniseModel(text);
  Require(recognised == Model::A || recognised == Model::B || recognised == Model::C);
  Check(ConvertModelA, Model::A, text);
  Check(ConvertModelB, Model::B, text);
  Check(ConvertModelC, Model::C, text);
  MemoryRowWriter out;
  NoProgress progress;
  Require(ConvertReceivedText(text, out, progress).model == recognised);
  return 0;
}
