#pragma once
// Character positions and searches as the record layouts describe them:
// positions count from 1, 0 means "not found", searches ignore letter case.
// Every byte is one character; only the ASCII letters A-Z and a-z have a case.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace seamlog::convert::detail {

inline constexpr std::string_view kHyphenRun = "-------------------------------";  // 31
inline constexpr std::string_view kSeparatorLine = "-------------------------------\r\n";
inline constexpr std::size_t kSeparatorBlockLength = 66;

// Position (from 1) of the first occurrence of keyword in text that starts at
// or after position from, ignoring letter case; 0 when there is none.
std::size_t FindNoCase(std::string_view text, std::size_t from, std::string_view keyword);

constexpr unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

// True when a and b (of a's length at least) hold the same characters in
// their first a.size(), ignoring letter case.
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Position (from 1) of the first CR LF pair at or after position from; 0 when none.
std::size_t FindCrLf(std::string_view text, std::size_t from);

// The characters of text from position pos (from 1) on, at most len of them:
// empty when pos lies past the end, cut short when it reaches past the end.
inline std::string_view Mid(std::string_view text, std::size_t pos, std::size_t len) {
  if (pos < 1 || pos > text.size()) return {};
  return text.substr(pos - 1, len);
}

// True when text begins with the 31 hyphens of a record separator.
inline bool StartsWithHyphenRun(std::string_view text) { return text.starts_with(kHyphenRun); }

// Offset in tail of the first place where a record may begin: the separator
// line, or as much of its beginning as tail still holds. tail.size() when
// there is none before offset `before`.
std::size_t RecordStartIn(std::string_view tail, std::size_t before = std::string_view::npos);

// One pass over text for the CR LF pairs of a record and the separator line
// after it. Appends to crlfs the offset of the CR of every pair whose CR lies
// below keepBelow, in order, and stops at the first whole separator line (31
// hyphens and CR LF) that begins at or after separatorFrom: returns where it
// begins, or text.size() when there is none (a separator line cut short at
// the end of the text is not looked for).
std::size_t ScanLineEnds(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                         std::vector<std::uint32_t>& crlfs);
// The same, 8 characters a step: what builds without SSE2 run.
std::size_t ScanLineEndsByWords(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                                std::vector<std::uint32_t>& crlfs);

// Removes the leading blanks (spaces only); trailing blanks remain.
inline std::string_view LeftTrimBlanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view{} : s.substr(first);
}

}  // namespace seamlog::convert::detail
