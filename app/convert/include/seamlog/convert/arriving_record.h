#pragma once
// Telling a record still arriving from a whole one. The splicer sends its
// report a few bytes at a time, so a save made while it sends may find the
// last record only partly received. Each layout says when a record holds all
// that its converter reads:
//   MODEL-A, MODEL-B: their fixed record length (618 and 378 characters from
//     the separator line on);
//   MODEL-C, whose records grow with the fiber count: the "Loss" heading line
//     and the twelve loss lines after it.
#include <cstddef>
#include <string_view>

#include "seamlog/convert/models.h"

namespace seamlog::convert {

// Where the last record of text begins when it is not whole yet: the start of
// its separator line, or of the first hyphens of a separator line at the very
// end of the text. text.size() when the text ends with a whole record or
// holds no record at all.
std::size_t ArrivingRecordStart(Model model, std::string_view text);

// True when record (from its separator line on) holds all that its model's
// converter reads.
bool RecordIsWhole(Model model, std::string_view record);

}  // namespace seamlog::convert
