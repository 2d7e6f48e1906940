// MODEL-B: each record is a 66-character separator block and a 312-character
// body describing up to four fibers. The fiber values sit at fixed positions,
// the loss estimates, condition, date and time are found by keywords. Each
// record gives four rows, every field followed by a comma, and an empty row,
// built one after another and written together.
#include <array>

#include "frame.h"

namespace seamlog::convert {
namespace {

using detail::FindCrLf;
using detail::FindNoCase;
using detail::kRowEnd;
using detail::Mid;

constexpr std::string_view kHeader =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time";
constexpr std::string_view kUnits = ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,";

constexpr std::size_t kBodyLength = 312;
constexpr std::size_t kMinimumRest = kBodyLength - 1;
// No row is longer than the body and its fixed fields.
constexpr std::size_t kRecordRoom = 4 * 2 * kBodyLength;

// Positions of one fiber line; eighth and irregular are 0 on lines 3 and 4.
struct FiberLine {
  std::size_t fiberCount, offset, cutLeft, cutRight, gap, eighth, irregular;
};
constexpr std::array<FiberLine, 4> kFiberLines{{
    {56, 60, 66, 71, 76, 84, 86},
    {92, 96, 102, 107, 112, 120, 122},
    {128, 132, 138, 143, 148, 0, 0},
    {154, 158, 164, 169, 174, 0, 0},
}};

template <class Fields>
void AppendFiberValues(Fields& row, std::string_view body, const FiberLine& line,
                       std::string_view estimationLoss) {
  row.template Mid<1>(body, line.fiberCount);
  row.template Mid<3>(body, line.offset);
  row.template Mid<3>(body, line.cutLeft);
  row.template Mid<3>(body, line.cutRight);
  row.template Mid<4>(body, line.gap);
  row.Field(estimationLoss);
  if (line.eighth != 0) {
    row.template Mid<1>(body, line.eighth);
    row.template Mid<4>(body, line.irregular);
  }
}

// The value at offset after the first keyword at or after from; empty when missing.
std::string_view AfterKeyword(std::string_view body, std::size_t from, std::string_view keyword,
                              std::size_t offset, std::size_t length) {
  const std::size_t found = FindNoCase(body, from, keyword);
  return found == 0 ? std::string_view{} : Mid(body, found + offset, length);
}

// The condition runs from f+21 to the end of the "Fiber-Sleeve" line found at f.
std::string_view Condition(std::string_view body, std::size_t f, int record) {
  if (f == 0) return {};
  const std::size_t e = FindCrLf(body, f + 18);
  if (e == 0) return {};
  if (e < f + 21) {
    throw detail::ConversionError{
        "record " + std::to_string(record) + ": the Condition field would have a negative length (" +
        std::to_string(static_cast<long long>(e) - static_cast<long long>(f) - 21) + ")"};
  }
  return Mid(body, f + 21, e - f - 21);
}

// The record's four rows and the empty row after them, each ending in CR LF.
template <class Fields>
void BuildRecord(std::string_view body, int record, Fields& row) {
  // "Fiber-Sleeve" gives both the condition and fiber 2's loss estimate.
  const std::size_t sleeve = FindNoCase(body, 200, "Fiber-Sleeve");
  row.Clear();
  row.template Mid<4>(body, 12);
  AppendFiberValues(row, body, kFiberLines[0], AfterKeyword(body, 182, "Loss", 9, 4));
  row.Field(Condition(body, sleeve, record));
  const std::size_t d = FindNoCase(body, 270, "Date");
  row.Field(d == 0 ? std::string_view{} : Mid(body, d + 6, 10));
  row.Field(d == 0 ? std::string_view{} : Mid(body, d + 30, 5));
  row.Append(kRowEnd);

  row.Comma();
  AppendFiberValues(row, body, kFiberLines[1], sleeve == 0 ? std::string_view{} : Mid(body, sleeve + 18, 4));
  row.Append(kRowEnd);

  const std::size_t c = FindCrLf(body, 220);
  for (std::size_t line = 2; line < 4; ++line) {
    row.Comma();
    const std::size_t offset = line == 2 ? 5 : 14;
    AppendFiberValues(row, body, kFiberLines[line], c == 0 ? std::string_view{} : Mid(body, c + offset, 4));
    row.Append(kRowEnd);
  }
  row.Append(kRowEnd);
}

}  // namespace

ConvertResult ConvertModelB(std::string_view receivedText, RowWriter& out, ProgressSink& progress) {
  return detail::RunConverter(Model::B, receivedText, out, progress,
                              [](detail::Frame& frame, ConvertResult&) {
                                frame.Begin(kHeader, kUnits);
                                detail::RowText row;
                                int record = 0;
                                while (frame.Rest().size() >= kMinimumRest) {
                                  ++record;
                                  frame.SkipSeparatorBlock();
                                  const std::string_view body = frame.TakeRecordBody(kBodyLength);
                                  if (body.empty()) continue;  // a separator block cut short, with no body
                                  if (body.size() == kBodyLength) {
                                    // Every fixed position lies inside a whole body.
                                    detail::FieldCursor fields(row, kRecordRoom);
                                    BuildRecord(body, record, fields);
                                  } else {
                                    BuildRecord(body, record, row);
                                  }
                                  frame.WriteRows(row.View());
                                  frame.ReportProgress();
                                }
                              });
}

}  // namespace seamlog::convert
