#include "seamlog/journal/capture_journal.h"

#include <algorithm>
#include <utility>

namespace seamlog::journal {
namespace {

// Bytes read from the file at a time while reading back.
constexpr std::size_t kReadBlock = 64u << 10;

std::string JournalBytes(std::string_view text, FramePosition& next) {
  std::string bytes = JournalStart(next.generation);
  bytes.reserve(bytes.size() + text.size() + kFrameHeaderSize * (text.size() / kMaxFrameData + 1));
  AppendFrames(bytes, text, next);
  return bytes;
}

// A generation for a journal started when the one before it is unknown (none,
// damaged, or of version 1): made from the clocks, so that it is not the one
// of frames an earlier journal may have left on the disk.
std::uint32_t FreshGeneration() {
  std::string bytes;
  for (const auto count :
       {static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()),
        static_cast<std::uint64_t>(CaptureJournal::Clock::now().time_since_epoch().count())})
    for (int shift = 0; shift < 64; shift += 8) bytes.push_back(static_cast<char>((count >> shift) & 0xFF));
  return Crc32(bytes);
}

}  // namespace

CaptureJournal::CaptureJournal(JournalFiles& files) : files_(files) {}

CaptureJournal::~CaptureJournal() { Close(); }

void CaptureJournal::Report(Mode mode, const std::string& problem) {
  if (mode_ == Mode::Writing || mode_ == Mode::Closed) problem_ = problem;
  if (mode == Mode::Behind && unflushed_ && file_) {
    // What was written before still goes onto the disk where it can.
    std::string ignored;
    file_->Flush(ignored);
  }
  mode_ = mode;
  unflushed_ = false;
  if (mode == Mode::Away) file_.reset();
}

void CaptureJournal::Stop(Mode mode, const std::string& reason) {
  Report(mode, "The capture journal " + Path() + " cannot be written (" + reason +
                   "). Receiving goes on, but text received from now on is not kept safe against a crash" +
                   (mode == Mode::Behind ? " until the next save." : "."));
}

void CaptureJournal::StopFull() {
  Report(Mode::Behind,
         "The capture journal " + Path() + " is full: it keeps the first " + std::to_string(kMaxJournalText) +
             " characters not saved yet, the most one save can take. Receiving goes on, but text "
             "received from now on is not kept safe against a crash until the next save.");
}

std::optional<std::string> CaptureJournal::TakeProblem() { return std::exchange(problem_, std::nullopt); }

std::string CaptureJournal::FreeSetAsideName() {
  for (int n = 1; n < 1000; ++n) {
    std::string name = std::string(kJournalFileName) + ".bad-" + std::to_string(n);
    if (!files_.Exists(name)) return name;
  }
  return std::string(kJournalFileName) + ".bad-last";
}

// Puts a journal of this generation holding text in place and holds it.
bool CaptureJournal::StartFresh(std::string_view text, std::uint32_t generation, std::string& error) {
  file_.reset();
  FramePosition next{generation, 0};
  if (!files_.Replace(kJournalFileName, JournalBytes(text, next), error)) return false;
  file_ = files_.OpenHeld(kJournalFileName, error);
  if (!file_) return false;
  next_ = next;
  heldText_ = text.size();
  return true;
}

// Cuts the held journal back to a start of this generation: one step on the
// file that needs no free space. The new start is on the disk before any
// frame of its generation follows it, so frames of the old one that are
// still in the file's blocks are never read as new.
bool CaptureJournal::CutBack(std::uint32_t generation, std::string& error) {
  if (!file_->Truncate(kJournalLine.size(), error) ||
      !file_->Append(JournalStart(generation).substr(kJournalLine.size()), error) || !file_->Flush(error))
    return false;
  next_ = {generation, 0};
  heldText_ = 0;
  return true;
}

// Reads the held file front to back a block at a time.
bool CaptureJournal::ReadBack(std::uint64_t size, ParsedJournal& parsed, std::string& error) {
  JournalReader reader;
  reader.Expect(size);
  std::string block;
  for (std::uint64_t at = 0; at < size; at += block.size()) {
    if (!file_->Read(at, kReadBlock, block, error)) return false;
    if (block.empty() || !reader.Read(block)) break;
  }
  parsed = reader.Finish();
  return true;
}

Recovery CaptureJournal::Open() {
  Recovery recovery;
  if (mode_ != Mode::Closed) return recovery;
  std::string error;
  file_ = files_.OpenHeld(kJournalFileName, error);
  if (!file_) {
    Stop(Mode::Away, error);
    return recovery;
  }
  std::uint64_t size = 0;
  ParsedJournal parsed;
  if (!file_->Size(size, error) || !ReadBack(size, parsed, error)) {
    Stop(Mode::Away, error);
    return recovery;
  }

  switch (parsed.condition) {
    case JournalCondition::Empty:
      // Truncate first: the start of a line cut off while being created stays otherwise.
      next_ = {FreshGeneration(), 0};
      heldText_ = 0;
      if (!file_->Truncate(0, error) || !file_->Append(JournalStart(next_.generation), error) ||
          !file_->Flush(error)) {
        Stop(Mode::Away, error);
        return recovery;
      }
      break;
    case JournalCondition::Whole:
      recovery.text = std::move(parsed.text);
      if (parsed.version == 2) {
        next_ = parsed.next;
        heldText_ = recovery.text.size();
      } else if (!StartFresh(recovery.text, FreshGeneration(), error)) {
        // Still the old journal, ours and whole: the next save rewrites it.
        Stop(Mode::Behind, error);
        return recovery;
      }
      break;
    case JournalCondition::Torn:
    case JournalCondition::TooLarge:
    case JournalCondition::Garbage: {
      // Keep the file as it is, then start afresh from what it held whole.
      file_.reset();
      const std::string aside = FreeSetAsideName();
      if (!files_.Rename(kJournalFileName, aside, error)) {
        Stop(Mode::Away, "a damaged journal could not be set aside: " + error);
        return recovery;
      }
      recovery.setAsidePath = files_.PathOf(aside);
      recovery.droppedBytes = static_cast<std::size_t>(size - parsed.trustedBytes);
      recovery.tooLarge = parsed.condition == JournalCondition::TooLarge;
      recovery.text = std::move(parsed.text);
      const std::uint32_t generation = parsed.version == 2 ? parsed.next.generation + 1 : FreshGeneration();
      if (!StartFresh(recovery.text, generation, error)) {
        // The text is in the file set aside; the next save writes a journal again.
        Stop(Mode::Behind, error);
        return recovery;
      }
      break;
    }
  }
  mode_ = Mode::Writing;
  return recovery;
}

void CaptureJournal::Append(std::string_view text, Clock::time_point now) {
  if (mode_ != Mode::Writing || text.empty()) return;
  const std::string_view kept = text.substr(0, kMaxJournalText - heldText_);
  if (!kept.empty()) {
    frames_.clear();
    FramePosition next = next_;
    AppendFrames(frames_, kept, next);
    std::string error;
    if (!file_->Append(frames_, error)) {
      Stop(Mode::Behind, error);
      return;
    }
    next_ = next;
    heldText_ += kept.size();
    if (!unflushed_) {
      unflushed_ = true;
      oldestUnflushed_ = now;
    }
  }
  if (kept.size() < text.size()) {
    StopFull();
    return;
  }
  FlushIfDue(now);
}

void CaptureJournal::FlushIfDue(Clock::time_point now) {
  if (unflushed_ && now - oldestUnflushed_ >= kFlushPeriod) Flush();
}

void CaptureJournal::Flush() {
  if (mode_ != Mode::Writing || !unflushed_) return;
  std::string error;
  unflushed_ = false;
  if (!file_->Flush(error)) Stop(Mode::Behind, error);
}

void CaptureJournal::DropSaved(std::string_view unsaved, std::size_t converted) {
  if (mode_ != Mode::Writing && mode_ != Mode::Behind) return;
  const std::string_view rest = unsaved.substr(std::min(converted, unsaved.size()));
  const std::string_view kept = rest.substr(0, kMaxJournalText);
  // A new generation either way: frames of the old one must never count again.
  const std::uint32_t generation = next_.generation + 1;
  std::string error;
  const bool done = kept.empty() && file_ ? CutBack(generation, error) : StartFresh(kept, generation, error);
  if (!done) {
    Stop(Mode::Behind, error);
    return;
  }
  mode_ = Mode::Writing;
  unflushed_ = false;
  if (kept.size() < rest.size()) StopFull();
}

bool CaptureJournal::Discard(std::string_view rescueName) {
  if (mode_ == Mode::Away) return true;  // nothing of this run is in it
  if (mode_ == Mode::Writing && heldText_ == 0) return true;
  std::string error = "it is not open";
  if (mode_ != Mode::Closed) {
    // The rescue copy gets everything that was appended.
    Flush();
    file_.reset();
    if (!files_.Exists(kJournalFileName) || files_.MoveOver(kJournalFileName, rescueName, error)) {
      // The text is gone from the journal; what follows only sets up the next one.
      heldText_ = 0;
      if (StartFresh({}, next_.generation + 1, error)) {
        mode_ = Mode::Writing;
        unflushed_ = false;
      } else {
        Stop(Mode::Behind, error);
      }
      return true;
    }
    mode_ = Mode::Behind;
    unflushed_ = false;
  }
  problem_ = "The capture journal " + Path() + " could not be emptied (" + error +
             "). The text it holds comes back at the next start.";
  return false;
}

void CaptureJournal::Close() {
  Flush();
  file_.reset();
  mode_ = Mode::Closed;
}

std::string RecoveryMessage(std::size_t characters) {
  return "Seamlog has recovered " + std::to_string(characters) +
         (characters == 1 ? " character that was" : " characters that were") +
         " received but not saved before it last closed.\r\n"
         "Save As keeps them, together with the text received from now on.";
}

}  // namespace seamlog::journal
