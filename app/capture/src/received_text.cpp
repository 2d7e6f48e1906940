#include "seamlog/capture/received_text.h"

namespace seamlog::capture {

std::size_t AppendReceivedBytes(std::string& text, const std::uint8_t* bytes, std::size_t n) {
  const std::size_t before = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = static_cast<char>(bytes[i]);
    text.push_back(c);
    if (c == '\r') text.push_back('\n');
  }
  return text.size() - before;
}

std::size_t LiveViewStart(std::string_view text) {
  if (text.size() <= kLiveViewLength) return 0;
  const std::size_t tailStart = text.size() - kLiveViewLength;
  const std::size_t pair = text.substr(tailStart).find("\r\n");
  if (pair == std::string_view::npos) return tailStart;
  return tailStart + pair + 2;
}

}  // namespace seamlog::capture
