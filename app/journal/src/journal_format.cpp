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

// CRC-32 in steps: Crc32(a + b) == Finish(Extend(Extend(kCrcStart, a), b)).
constexpr std::uint32_t kCrcStart = 0xFFFFFFFFu;
std::uint32_t Extend(std::uint32_t c, std::string_view data) {
  for (const char byte : data) c = kCrcTable[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
  return c;
}
std::uint32_t FinishCrc(std::uint32_t c) { return c ^ 0xFFFFFFFFu; }

void PutUint32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t GetUint32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::uint32_t StartCrc(std::string_view line, std::string_view generation) {
  return FinishCrc(Extend(Extend(kCrcStart, line), generation));
}

}  // namespace

std::uint32_t Crc32(std::string_view data) { return FinishCrc(Extend(kCrcStart, data)); }

std::string JournalStart(std::uint32_t generation) {
  std::string start(kJournalLine);
  PutUint32(start, generation);
  PutUint32(start, StartCrc(kJournalLine, std::string_view(start).substr(kJournalLine.size())));
  return start;
}

void AppendFrames(std::string& out, std::string_view text, FramePosition& next) {
  while (!text.empty()) {
    const std::string_view data = text.substr(0, kMaxFrameData);
    const std::size_t header = out.size();
    PutUint32(out, static_cast<std::uint32_t>(data.size()));
    PutUint32(out, next.generation);
    PutUint32(out, next.sequence);
    PutUint32(out, FinishCrc(Extend(Extend(kCrcStart, std::string_view(out).substr(header, 12)), data)));
    out.append(data);
    text.remove_prefix(data.size());
    ++next.sequence;
  }
}

void AppendFramesV1(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const std::string_view data = text.substr(0, kMaxFrameData);
    PutUint32(out, static_cast<std::uint32_t>(data.size()));
    PutUint32(out, Crc32(data));
    out.append(data);
    text.remove_prefix(data.size());
  }
}

bool JournalReader::Read(std::string_view bytes) {
  if (!bytes.empty()) {
    if (step_ == Step::Stopped) {
      extraBytes_ = true;
    } else {
      pending_.append(bytes);
      Parse();
    }
  }
  return WantsMore();
}

bool JournalReader::WantsMore() const {
  if (step_ != Step::Stopped) return true;
  // A start record that fails its CRC is one that never reached the disk
  // when nothing follows it; whether anything does is still to be seen.
  return stopped_ == Stopped::BadStart && !extraBytes_ && Pending().size() == 8;
}

void JournalReader::Parse() {
  for (;;) {
    bool parsedOne = false;
    switch (step_) {
      case Step::Line:
        parsedOne = ParseLine();
        break;
      case Step::Start:
        parsedOne = ParseStart();
        break;
      case Step::Frames:
        parsedOne = ParseFrame();
        break;
      case Step::Stopped:
        return;
    }
    if (!parsedOne) return;
  }
}

void JournalReader::Stop(Stopped why) {
  step_ = Step::Stopped;
  stopped_ = why;
}

bool JournalReader::ParseLine() {
  const std::string_view pending = Pending();
  if (pending.size() < kJournalLine.size()) {
    // Both lines are as long; a file that already differs need not be read on.
    const std::string_view start = pending.substr(0, kJournalLine.size());
    if (kJournalLine.substr(0, start.size()) != start && kJournalLineV1.substr(0, start.size()) != start)
      Stop(Stopped::NotAJournal);
    return false;
  }
  const std::string_view line = pending.substr(0, kJournalLine.size());
  if (line == kJournalLine) {
    parsed_.version = 2;
    step_ = Step::Start;
  } else if (line == kJournalLineV1) {
    parsed_.version = 1;
    step_ = Step::Frames;
  } else {
    Stop(Stopped::NotAJournal);
    return false;
  }
  Consume(line.size());
  return true;
}

bool JournalReader::ParseStart() {
  const std::string_view pending = Pending();
  if (pending.size() < 8) return false;
  if (StartCrc(kJournalLine, pending.substr(0, 4)) != GetUint32(pending, 4)) {
    Stop(Stopped::BadStart);
    return false;
  }
  parsed_.next.generation = GetUint32(pending, 0);
  step_ = Step::Frames;
  Consume(8);
  return true;
}

bool JournalReader::ParseFrame() {
  const std::string_view pending = Pending();
  const bool v2 = parsed_.version == 2;
  const std::size_t headerSize = v2 ? kFrameHeaderSize : kFrameHeaderSizeV1;
  if (pending.size() < headerSize) return false;
  const std::uint32_t length = GetUint32(pending, 0);
  if (length == 0 || length > kMaxFrameData ||
      (v2 && (GetUint32(pending, 4) != parsed_.next.generation ||
              GetUint32(pending, 8) != parsed_.next.sequence))) {
    Stop(Stopped::BadFrame);
    return false;
  }
  if (length > maxText_ - parsed_.text.size()) {
    Stop(Stopped::Limit);
    return false;
  }
  if (pending.size() - headerSize < length) return false;
  const std::string_view data = pending.substr(headerSize, length);
  const std::uint32_t crc =
      v2 ? FinishCrc(Extend(Extend(kCrcStart, pending.substr(0, 12)), data)) : Crc32(data);
  if (crc != GetUint32(pending, headerSize - 4)) {
    Stop(Stopped::BadFrame);
    return false;
  }
  parsed_.text.append(data);
  if (v2) ++parsed_.next.sequence;
  Consume(headerSize + length);
  return true;
}

void JournalReader::Consume(std::size_t n) {
  used_ += n;
  parsed_.trustedBytes += n;
  // Drop parsed bytes once they are the larger part, so that the buffer
  // stays near one block and one frame.
  if (used_ >= (64u << 10) && used_ * 2 >= pending_.size()) {
    pending_.erase(0, used_);
    used_ = 0;
  }
}

ParsedJournal JournalReader::Finish() {
  ParsedJournal parsed = std::move(parsed_);
  const std::size_t left = pending_.size() - used_;
  switch (step_) {
    case Step::Line:
    case Step::Start:
      // Cut off within the start: no frame was ever written after it.
      parsed.condition = JournalCondition::Empty;
      break;
    case Step::Frames:
      parsed.condition = left == 0 ? JournalCondition::Whole : JournalCondition::Torn;
      break;
    case Step::Stopped:
      switch (stopped_) {
        case Stopped::NotAJournal:
          parsed.condition = JournalCondition::Garbage;
          break;
        // A start record that never reached the disk, with nothing after it.
        case Stopped::BadStart:
          parsed.condition = left == 8 && !extraBytes_ ? JournalCondition::Empty : JournalCondition::Garbage;
          break;
        case Stopped::BadFrame:
          parsed.condition = JournalCondition::Torn;
          break;
        case Stopped::Limit:
          parsed.condition = JournalCondition::TooLarge;
          break;
      }
      break;
  }
  if (parsed.condition == JournalCondition::Empty || parsed.condition == JournalCondition::Garbage) {
    parsed.text.clear();
    parsed.trustedBytes = 0;
    parsed.next = {};
  }
  *this = JournalReader(maxText_);
  return parsed;
}

ParsedJournal ParseJournal(std::string_view file, std::size_t maxText) {
  JournalReader reader(maxText);
  reader.Read(file);
  return reader.Finish();
}

}  // namespace seamlog::journal
