#include "seamlog/convert/arriving_record.h"

#include <algorithm>

#include "text_search.h"

namespace seamlog::convert {
namespace {

using detail::kSeparatorLine;

constexpr int kLossLines = 12;

// Start of the first characters of a separator line that end the text, at
// the start of a line; npos when the text does not end that way.
std::size_t SeparatorLineArriving(std::string_view text) {
  const std::size_t longest = std::min(text.size(), kSeparatorLine.size() - 1);
  for (std::size_t k = longest; k >= 1; --k) {
    const std::size_t start = text.size() - k;
    if (text.substr(start) == kSeparatorLine.substr(0, k) && (start == 0 || text[start - 1] == '\n'))
      return start;
  }
  return std::string_view::npos;
}

bool HoldsLossLines(std::string_view record) {
  const std::size_t heading = detail::FindNoCase(record, 1, "Loss\r\n");
  if (heading == 0) return false;
  std::size_t from = heading + 6;
  for (int line = 0; line < kLossLines; ++line) {
    const std::size_t end = detail::FindCrLf(record, from);
    if (end == 0) return false;
    from = end + 2;
  }
  return true;
}

}  // namespace

bool RecordIsWhole(Model model, std::string_view record) {
  if (model == Model::C) return HoldsLossLines(record);
  return record.size() >= static_cast<std::size_t>(ModelRowOf(model).recordTextLength);
}

std::size_t ArrivingRecordStart(Model model, std::string_view text) {
  const std::size_t arrivingLine = SeparatorLineArriving(text);
  const std::size_t end = arrivingLine == std::string_view::npos ? text.size() : arrivingLine;
  const std::size_t start = text.substr(0, end).rfind(kSeparatorLine);
  if (start != std::string_view::npos && !RecordIsWhole(model, text.substr(start, end - start))) return start;
  return end;
}

}  // namespace seamlog::convert
