#include "seamlog/journal/journal_format.h"

#include <array>

namespace seamlog::journal {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

void PutUint32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t GetUint32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  return value;
}

}  // namespace

std::uint32_t Crc32(std::string_view data) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char byte : data) c = kCrcTable[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void AppendFrames(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const std::string_view data = text.substr(0, kMaxFrameData);
    PutUint32(out, static_cast<std::uint32_t>(data.size()));
    PutUint32(out, Crc32(data));
    out.append(data);
    text.remove_prefix(data.size());
  }
}

ParsedJournal ParseJournal(std::string_view file) {
  ParsedJournal parsed;
  if (file.size() < kJournalMagic.size() && kJournalMagic.substr(0, file.size()) == file) return parsed;
  if (file.substr(0, kJournalMagic.size()) != kJournalMagic) {
    parsed.condition = JournalCondition::Garbage;
    return parsed;
  }
  std::size_t at = kJournalMagic.size();
  parsed.trustedBytes = at;
  parsed.condition = JournalCondition::Whole;
  while (at < file.size()) {
    const std::string_view rest = file.substr(at);
    if (rest.size() < kFrameHeaderSize) break;
    const std::uint32_t length = GetUint32(rest);
    if (length == 0 || length > kMaxFrameData || length > rest.size() - kFrameHeaderSize) break;
    const std::string_view data = rest.substr(kFrameHeaderSize, length);
    if (Crc32(data) != GetUint32(rest.substr(4))) break;
    parsed.text.append(data);
    at += kFrameHeaderSize + length;
    parsed.trustedBytes = at;
  }
  if (at < file.size()) parsed.condition = JournalCondition::Torn;
  return parsed;
}

}  // namespace seamlog::journal
