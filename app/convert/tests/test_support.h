#pragma once
// Helpers shared by the conversion tests: texts built at exact positions,
// a progress recorder, and small row inspections.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "seamlog/convert/progress.h"

namespace seamlog::convert::testing {

struct RecordingProgress final : ProgressSink {
  std::vector<std::int16_t> starts;
  std::vector<std::int16_t> values;
  void StartProgress(std::int16_t n) override { starts.push_back(n); }
  void SetProgress(std::int16_t n) override { values.push_back(n); }
};

inline const std::string kHyphens(31, '-');

// A separator block: the 31-hyphen line and a 31-character title line.
inline std::string SeparatorBlock() {
  return kHyphens + "\r\n" + std::string("  SPLICE RECORD                ") + "\r\n";
}

inline std::string Blanks(std::size_t n) { return std::string(n, ' '); }

// Writes value into text at position (from 1); the text must be long enough.
inline void Put(std::string& text, std::size_t position, std::string_view value) {
  if (position < 1 || position - 1 + value.size() > text.size()) {
    throw std::out_of_range("test text too short for a value at " + std::to_string(position));
  }
  text.replace(position - 1, value.size(), value);
}

inline std::size_t Commas(std::string_view row) {
  return static_cast<std::size_t>(std::count(row.begin(), row.end(), ','));
}

inline std::vector<std::string> Repeat(const std::vector<std::string>& rows, int times) {
  std::vector<std::string> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), rows.begin(), rows.end());
  return all;
}

}  // namespace seamlog::convert::testing
