#include "expected_text.h"

#include <cstdint>

#include "seamlog/capture/received_text.h"

namespace e2e {

std::string SplicerStream(const std::string& report) {
  std::string raw;
  for (std::size_t i = 0; i < report.size(); ++i) {
    raw += report[i];
    if (report[i] == '\r' && i + 1 < report.size() && report[i + 1] == '\n') ++i;
  }
  return raw;
}

std::string AsReceived(const std::string& raw) {
  std::string text;
  seamlog::capture::AppendReceivedBytes(text, reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
  return text;
}

std::string LiveViewOf(const std::string& text) {
  std::string view = text.substr(seamlog::capture::LiveViewStart(text));
  for (char& c : view)
    if (c == '\0') c = '.';
  return view;
}

}  // namespace e2e
