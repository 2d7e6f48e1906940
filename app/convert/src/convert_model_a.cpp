// MODEL-A: each record is a 66-character separator block and a 552-character
// body with fifteen values at fixed positions; one row per record, no comma
// after its last field.
#include <array>

#include "frame.h"

namespace seamlog::convert {
namespace {

constexpr std::string_view kHeader =
    "No.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,"
    "Estimation Loss,Align Method,Fiber,Date,Time,Memo";
constexpr std::string_view kUnits = ",deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,";

constexpr std::size_t kBodyLength = 552;
constexpr std::size_t kMinimumRest = kBodyLength - 1;

struct Field {
  std::size_t start;
  std::size_t length;
  bool leftTrimmed;
};

// In column order: No., Cut(L), Cut(R), Offset, Deform, Ect(L), Ect(R),
// Core Offset, Arc Count, Estimation Loss, Align Method, Fiber, Date, Time, Memo.
constexpr std::array<Field, 15> kFields{{
    {35, 4, false},   {69, 3, false},   {105, 3, false},  {141, 3, false},  {176, 3, false},
    {212, 3, false},  {247, 3, false},  {282, 3, false},  {316, 4, false},  {351, 5, false},
    {382, 15, true},  {420, 15, true},  {458, 15, true},  {496, 15, true},  {534, 15, true},
}};

void BuildRow(std::string_view body, std::string& row) {
  row.clear();
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    const Field& f = kFields[i];
    std::string_view text = detail::Mid(body, f.start, f.length);
    if (f.leftTrimmed) text = detail::LeftTrimBlanks(text);
    if (i > 0) row.push_back(',');
    row.append(text);
  }
}

}  // namespace

ConvertResult ConvertModelA(std::string_view receivedText, RowWriter& out, ProgressSink& progress) {
  return detail::RunConverter(
      Model::A, receivedText, out, progress, [](detail::Frame& frame, ConvertResult&) {
        frame.Begin(kHeader, kUnits);
        std::string row;
        row.reserve(128);
        while (frame.Rest().size() >= kMinimumRest) {
          frame.SkipSeparatorBlock();
          const std::string_view body = frame.TakeRecordBody(kBodyLength);
          if (body.empty()) continue;  // a separator block cut short, with no body
          BuildRow(body, row);
          frame.WriteRow(row);
          frame.ReportProgress();
        }
      });
}

}  // namespace seamlog::convert
