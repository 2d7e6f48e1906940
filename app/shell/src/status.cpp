#include "seamlog/shell/status.h"

#include "seamlog/convert/models.h"

namespace seamlog::shell {

std::string ReceivedCaption(std::size_t textLength, int recordTextLength) {
  if (textLength == 0) return {};
  return "Seamlog Received: " +
         std::to_string(convert::RecordCount(textLength, recordTextLength));
}

ProgressRange StartProgressRange(std::int16_t steps) {
  return ProgressRange{0, steps > 0 ? steps : 1, 0};
}

}  // namespace seamlog::shell
