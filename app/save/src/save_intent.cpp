#include "seamlog/save/save_intent.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace seamlog::save {
namespace {

constexpr std::string_view kFirstLine = "Seamlog save intent ";  // and the version

constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

bool ParseNumber(std::string_view text, std::uint64_t& value, int base = 10) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The eight bytes at p as a number, the first the lowest, on every machine.
std::uint64_t LittleEndianWord(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

std::string Hex(std::uint64_t value) {
  char digits[17] = {};
  const auto [end, error] = std::to_chars(digits, digits + 16, value, 16);
  return std::string(digits, end);
}

}  // namespace

std::uint64_t TextDigest(std::string_view text, int version) {
  std::uint64_t hash = kFnvOffset;
  std::size_t at = 0;
  if (version >= 2) {
    // Four lanes, so that the multiplications do not wait for each other.
    std::uint64_t lane0 = kFnvOffset, lane1 = kFnvOffset ^ 1, lane2 = kFnvOffset ^ 2, lane3 = kFnvOffset ^ 3;
    for (; at + 32 <= text.size(); at += 32) {
      const char* const step = text.data() + at;
      lane0 = (lane0 ^ LittleEndianWord(step)) * kFnvPrime;
      lane1 = (lane1 ^ LittleEndianWord(step + 8)) * kFnvPrime;
      lane2 = (lane2 ^ LittleEndianWord(step + 16)) * kFnvPrime;
      lane3 = (lane3 ^ LittleEndianWord(step + 24)) * kFnvPrime;
    }
    for (const std::uint64_t lane : {lane0, lane1, lane2, lane3}) hash = (std::rotl(hash, 29) ^ lane) * kFnvPrime;
  }
  for (; at < text.size(); ++at) {
    hash ^= static_cast<unsigned char>(text[at]);
    hash *= kFnvPrime;
  }
  return hash;
}

std::string FormatIntent(const SaveIntent& intent) {
  return std::string(kFirstLine) + std::to_string(intent.version) + "\r\nfile=" + intent.tablePath +
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
  if (lines.size() != 8 || !lines[0].starts_with(kFirstLine)) return std::nullopt;
  const std::string_view version = lines[0].substr(kFirstLine.size());
  if (version != "1" && version != "2") return std::nullopt;
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
  intent.version = version == "1" ? 1 : 2;
  return intent;
}

}  // namespace seamlog::save
