#include "last_record.h"

#include "seamlog/convert/arriving_record.h"

namespace seamlog::tools {
namespace {

constexpr std::string_view kSeparatorLine = "-------------------------------\r\n";  // 31 hyphens
constexpr std::string_view kHyphenRun = kSeparatorLine.substr(0, 31);

bool StartsLine(std::string_view text, std::size_t at) { return at == 0 || text[at - 1] == '\n'; }

}  // namespace

LastRecord FindLastRecord(std::string_view text, convert::Model model) {
  LastRecord last;
  last.wholeLength = static_cast<std::size_t>(convert::ModelRowOf(model).recordTextLength);
  std::size_t start = 0;
  for (std::size_t at = text.find(kHyphenRun); at != std::string_view::npos;
       at = text.find(kHyphenRun, at + kHyphenRun.size())) {
    if (!StartsLine(text, at)) continue;
    ++last.number;
    start = at;
  }
  // The capture may end within the separator line of one more record.
  const std::size_t lineStart = text.find_last_of('\n') + 1;  // 0 when there is no LF
  const std::string_view tail = text.substr(lineStart);
  if (!tail.empty() && tail.size() < kHyphenRun.size() && kSeparatorLine.starts_with(tail)) {
    ++last.number;
    start = lineStart;
  }
  if (last.number > 0) {
    last.length = text.size() - start;
    last.whole = convert::RecordIsWhole(model, text.substr(start));
  }
  return last;
}

}  // namespace seamlog::tools
