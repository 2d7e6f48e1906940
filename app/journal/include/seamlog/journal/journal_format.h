// The journal file's layout: a fixed first line, then frames. Each frame is
// a little-endian 32-bit length, the CRC-32 of the data, and the data: text
// exactly as it joined the received text. A frame that is cut short or whose
// CRC does not match ends what can be trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seamlog::journal {

// The journal's first bytes; a file that begins otherwise is not a journal.
inline constexpr std::string_view kJournalMagic = "Seamlog capture journal 1\r\n";
inline constexpr std::size_t kFrameHeaderSize = 8;
// Longer text is written as several frames, so that a reader never believes
// a damaged length field that asks for more.
inline constexpr std::size_t kMaxFrameData = 1u << 20;

// CRC-32 (the one of zip and PNG: reflected, polynomial 0xEDB88320).
std::uint32_t Crc32(std::string_view data);

// Appends text to out as frames; nothing for empty text.
void AppendFrames(std::string& out, std::string_view text);

enum class JournalCondition {
  Empty,    // no bytes, or only the start of the first line (cut off while being created)
  Whole,    // the first line and whole frames only
  Torn,     // the first line and whole frames, then bytes that are no whole frame
  Garbage,  // does not begin with the first line
};

struct ParsedJournal {
  JournalCondition condition = JournalCondition::Empty;
  std::string text;           // the data of every whole frame before the first bad one
  std::size_t trustedBytes = 0;  // the file's bytes up to the end of the last whole frame
};

ParsedJournal ParseJournal(std::string_view file);

}  // namespace seamlog::journal
