#include "sim_settings.h"

#include <cctype>
#include <charconv>

namespace portline::sim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool ParseNumber(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& out) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

ParsedSettings ParseSimSettings(std::string_view iniText) {
  ParsedSettings parsed;
  SimSettings& s = parsed.settings;
  bool inSplicer = false;
  while (!iniText.empty()) {
    const std::size_t eol = iniText.find('\n');
    std::string_view line = Trim(iniText.substr(0, eol));
    iniText = eol == std::string_view::npos ? std::string_view{} : iniText.substr(eol + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      inSplicer = SameWord(line, "[Splicer]");
      continue;
    }
    if (!inSplicer) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      parsed.error = "line without '=': " + std::string(line);
      return parsed;
    }
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    std::int64_t number = 0;
    if (SameWord(key, "ReportFile")) {
      s.reportFile = std::string(value);
    } else if (SameWord(key, "CallLog")) {
      s.callLog = std::string(value);
    } else if (SameWord(key, "BytesPerRead")) {
      if (!ParseNumber(value, 1, 64, number)) {
        parsed.error = "BytesPerRead must be a whole number from 1 to 64, not '" + std::string(value) + "'";
        return parsed;
      }
      s.bytesPerRead = static_cast<int>(number);
    } else if (SameWord(key, "RefuseCreates")) {
      if (!ParseNumber(value, 0, 1000000, number)) {
        parsed.error = "RefuseCreates must be a whole number from 0 to 1000000, not '" + std::string(value) + "'";
        return parsed;
      }
      s.refuseCreates = static_cast<int>(number);
    } else if (SameWord(key, "DisconnectAfterBytes")) {
      if (!ParseNumber(value, 0, INT64_MAX, number)) {
        parsed.error = "DisconnectAfterBytes must be a whole number of 0 or more, not '" + std::string(value) + "'";
        return parsed;
      }
      s.disconnectAfterBytes = number;
    } else if (SameWord(key, "StallAtByte")) {
      if (!ParseNumber(value, 0, INT64_MAX, number)) {
        parsed.error = "StallAtByte must be a whole number of 0 or more, not '" + std::string(value) + "'";
        return parsed;
      }
      s.stallAtByte = number;
    } else {
      parsed.error = "unknown setting '" + std::string(key) + "'";
      return parsed;
    }
  }
  if (s.reportFile.empty()) parsed.error = "ReportFile is not set in section [Splicer]";
  return parsed;
}

}  // namespace portline::sim
