#include "seamlog/shell/status.h"

#include "seamlog/convert/models.h"

namespace seamlog::shell {

std::string ReceivedCaption(std::size_t textLength, int recordTextLength) {
  if (textLength == 0) return {};
  return "Seamlog Received: " +
         std::to_string(convert::recordCount(textLength, recordTextLength));
}

std::string_view LiveView(std::string_view receivedText) {
  if (receivedText.size() <= kLiveViewLimit) return receivedText;
  const std::string_view tail = receivedText.substr(receivedText.size() - kLiveViewLimit);
  const auto crlf = tail.find("\r\n");
  if (crlf == std::string_view::npos) return tail;
  return tail.substr(crlf + 1);  // begins with the pair's line feed
}

ProgressRange StartProgressRange(std::int16_t steps) {
  return ProgressRange{0, steps > 0 ? steps : 1, 0};
}

}  // namespace seamlog::shell
