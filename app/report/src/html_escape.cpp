#include "seamlog/report/html_report.h"

namespace seamlog::report {

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        out += (byte < 0x20 && c != '\t') || byte == 0x7f ? '?' : c;
      }
    }
  }
}

}  // namespace seamlog::report
