#pragma once
// What the main window's status controls show, worked out apart from the
// controls themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seamlog::shell {

// "" for no text, otherwise "Seamlog Received: N" with N the received text's
// length in records, halves rounded to the even neighbour. N is computed
// wide, so any text length displays.
std::string ReceivedCaption(std::size_t textLength, int recordTextLength);

// The progress bar's range and value after StartProgress(n): the maximum
// must stay above the minimum, so a run of 0 steps gets maximum 1.
struct ProgressRange {
  int minimum = 0;
  int maximum = 1;
  int value = 0;
  bool operator==(const ProgressRange&) const = default;
};
ProgressRange StartProgressRange(std::int16_t steps);

}  // namespace seamlog::shell
