#include "seamlog/save/save_intent.h"

#include <charconv>
#include <vector>

namespace seamlog::save {
namespace {

constexpr std::string_view kFirstLine = "Seamlog save intent 1";

bool ParseNumber(std::string_view text, std::uint64_t& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string Hex(std::uint64_t value) {
  char digits[17] = {};
  const auto [end, error] = std::to_chars(digits, digits + 16, value, 16);
  return std::string(digits, end);
}

}  // namespace

std::uint64_t TextDigest(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string FormatIntent(const SaveIntent& intent) {
  return std::string(kFirstLine) + "\r\nfile=" + intent.tablePath +
         "\r\nlength-before=" + std::to_string(intent.lengthBefore) +
         "\r\ncreated=" + (intent.created ? "1" : "0") +
         "\r\ntext-length=" + std::to_string(intent.textLength) +
         "\r\ntext-digest=" + Hex(intent.textDigest) +
         "\r\nstate=" + (intent.written ? "written" : "writing") +
         "\r\nsaved-length=" + std::to_string(intent.savedLength) + "\r\n";
}

std::optional<SaveIntent> ParseIntent(std::string_view file) {
  std::vector<std::string_view> lines;
  while (!file.empty()) {
    const std::size_t end = file.find("\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    lines.push_back(file.substr(0, end));
    file.remove_prefix(end + 2);
  }
  const char* keys[] = {
      "file=", "length-before=", "created=", "text-length=", "text-digest=", "state=", "saved-length="};
  if (lines.size() != 8 || lines[0] != kFirstLine) return std::nullopt;
  std::string_view values[7];
  for (int i = 0; i < 7; ++i) {
    if (!lines[i + 1].starts_with(keys[i])) return std::nullopt;
    values[i] = lines[i + 1].substr(std::string_view(keys[i]).size());
  }
  SaveIntent intent;
  intent.tablePath = std::string(values[0]);
  if (intent.tablePath.empty() || !ParseNumber(values[1], intent.lengthBefore) ||
      !ParseNumber(values[3], intent.textLength) || !ParseNumber(values[4], intent.textDigest, 16) ||
      !ParseNumber(values[6], intent.savedLength))
    return std::nullopt;
  if (values[2] != "0" && values[2] != "1") return std::nullopt;
  if (values[5] != "writing" && values[5] != "written") return std::nullopt;
  intent.created = values[2] == "1";
  intent.written = values[5] == "written";
  return intent;
}

}  // namespace seamlog::save
