#pragma once
// The last record of a finished capture, and whether the capture ended
// before it did. A record begins with its separator line (31 hyphens at the
// start of a line). It is whole as the converters judge it
// (convert::RecordIsWhole): MODEL-A and MODEL-B records hold their fixed 618
// and 378 characters, a MODEL-C record its "Loss" heading and loss lines.
#include <cstddef>
#include <string_view>

#include "seamlog/convert/models.h"

namespace seamlog::tools {

struct LastRecord {
  int number = 0;               // from 1, counted by separator lines; 0 when there is none
  std::size_t length = 0;       // characters from its separator line to the end of the text
  std::size_t wholeLength = 0;  // the model's record text length (618, 378, 665)
  bool whole = true;
  bool CutShort() const { return number > 0 && !whole; }
};

// The last record of text, read as a record of model. A text that ends in the
// first characters of a separator line ends in a record that had only just
// begun.
LastRecord FindLastRecord(std::string_view text, convert::Model model);

}  // namespace seamlog::tools
