// The journal file's layout. Version 2:
//
//   the line "Seamlog capture journal 2" CR LF
//   a start record: the generation (little-endian 32 bits) and the CRC-32 of
//     the line and the generation
//   frames, each: length, generation, sequence (0, 1, 2, ... within the
//     generation), all little-endian 32 bits, then the CRC-32 of those twelve
//     bytes and of the data, then the data: text exactly as it joined the
//     received text.
//
// The generation changes whenever the journal is cut back or rewritten, so a
// frame left on the disk by an earlier generation is never read as this
// one's. Reading stops at the first frame that is cut short, fails its CRC,
// belongs to another generation or is out of sequence.
//
// Version 1 (the line "Seamlog capture journal 1" CR LF, then frames of
// length, CRC-32 of the data, data) is still read back, so that a journal
// written by an earlier Seamlog is not lost.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace seamlog::journal {

// The journal's first bytes; a file that begins otherwise is not a journal.
inline constexpr std::string_view kJournalLine = "Seamlog capture journal 2\r\n";
inline constexpr std::string_view kJournalLineV1 = "Seamlog capture journal 1\r\n";
// The line and the start record: all a journal holding no text has.
inline constexpr std::size_t kJournalStartSize = kJournalLine.size() + 8;
inline constexpr std::size_t kFrameHeaderSize = 16;
inline constexpr std::size_t kFrameHeaderSizeV1 = 8;
// Longer text is written as several frames, so that a reader never believes
// a damaged length field that asks for more.
inline constexpr std::size_t kMaxFrameData = 1u << 20;
// The most text a journal holds: the largest text a save can take (the
// converter reads at most 24 MiB; 32,767 records of the longest model are
// 21,790,387 characters). Reading stops there, so recovery never needs more.
inline constexpr std::size_t kMaxJournalText = 24u << 20;

// CRC-32 (the one of zip and PNG: reflected, polynomial 0xEDB88320).
std::uint32_t Crc32(std::string_view data);

// Where the next frame of a journal goes.
struct FramePosition {
  std::uint32_t generation = 0;
  std::uint32_t sequence = 0;
};

// The line and the start record of a journal of this generation.
std::string JournalStart(std::uint32_t generation);

// Appends text to out as frames from next on, and moves next past them;
// nothing for empty text.
void AppendFrames(std::string& out, std::string_view text, FramePosition& next);

// Version-1 frames, for tests and tools that build an old journal.
void AppendFramesV1(std::string& out, std::string_view text);
// The names the version-1 line and writer had before version 2; the
// Windows end-to-end test still builds its torn journal with them.
inline constexpr std::string_view kJournalMagic = kJournalLineV1;
inline void AppendFrames(std::string& out, std::string_view text) { AppendFramesV1(out, text); }

enum class JournalCondition {
  Empty,     // no bytes, or only part of the start (cut off while being created)
  Whole,     // the start and whole frames only
  Torn,      // the start and whole frames, then bytes that are no whole frame of the journal
  TooLarge,  // whole frames holding more text than the limit
  Garbage,   // does not begin with a journal's start
};

struct ParsedJournal {
  JournalCondition condition = JournalCondition::Empty;
  int version = 0;               // 1 or 2 once the first line was read
  std::string text;              // the data of every whole frame before the first bad one, up to the limit
  std::size_t trustedBytes = 0;  // the file's bytes up to the end of the last whole frame read back
  FramePosition next;            // version 2: where a frame appended to this journal goes
};

// Reads a journal front to back from successive blocks of its bytes. It holds
// the text read back and at most one frame beside it, never the whole file.
class JournalReader {
 public:
  explicit JournalReader(std::size_t maxText = kMaxJournalText) : maxText_(maxText) {}

  // Room for the text of a file of this size, so that it is not copied as it grows.
  void Expect(std::uint64_t fileSize) {
    parsed_.text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, maxText_)));
  }

  // The next bytes of the file. False once later bytes cannot change the
  // result: trust has ended or the limit is reached.
  bool Read(std::string_view bytes);
  // The file has no more bytes.
  ParsedJournal Finish();

 private:
  enum class Step { Line, Start, Frames, Stopped };
  enum class Stopped { NotAJournal, BadStart, BadFrame, Limit };
  void Parse();
  void Stop(Stopped why);
  bool WantsMore() const;
  bool ParseLine();
  bool ParseStart();
  bool ParseFrame();
  std::string_view Pending() const { return std::string_view(pending_).substr(used_); }
  void Consume(std::size_t n);

  std::size_t maxText_;
  Step step_ = Step::Line;
  ParsedJournal parsed_;
  std::string pending_;  // bytes taken but not yet parsed, from used_ on
  std::size_t used_ = 0;
  Stopped stopped_ = Stopped::NotAJournal;
  bool extraBytes_ = false;  // bytes came after reading stopped
};

// A journal held whole in memory, read with JournalReader.
ParsedJournal ParseJournal(std::string_view file, std::size_t maxText = kMaxJournalText);

}  // namespace seamlog::journal
