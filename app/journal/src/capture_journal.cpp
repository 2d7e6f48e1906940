#include "seamlog/journal/capture_journal.h"

#include <algorithm>
#include <utility>

#include "seamlog/journal/journal_format.h"

namespace seamlog::journal {
namespace {

std::string JournalBytes(std::string_view text) {
  std::string bytes(kJournalMagic);
  AppendFrames(bytes, text);
  return bytes;
}

}  // namespace

CaptureJournal::CaptureJournal(JournalFiles& files) : files_(files) {}

CaptureJournal::~CaptureJournal() { Close(); }

void CaptureJournal::Stop(Mode mode, const std::string& reason) {
  if (mode_ == Mode::Writing || mode_ == Mode::Closed)
    problem_ = "The capture journal " + Path() + " cannot be written (" + reason +
               "). Receiving goes on, but text received from now on is not kept safe against a crash" +
               (mode == Mode::Behind ? " until the next save." : ".");
  mode_ = mode;
  unflushed_ = false;
  if (mode == Mode::Away) file_.reset();
}

std::optional<std::string> CaptureJournal::TakeProblem() { return std::exchange(problem_, std::nullopt); }

std::string CaptureJournal::FreeSetAsideName() {
  for (int n = 1; n < 1000; ++n) {
    std::string name = std::string(kJournalFileName) + ".bad-" + std::to_string(n);
    if (!files_.Exists(name)) return name;
  }
  return std::string(kJournalFileName) + ".bad-last";
}

// Puts a journal holding text in place and holds it.
bool CaptureJournal::StartFresh(std::string_view text, std::string& error) {
  file_.reset();
  if (!files_.Replace(kJournalFileName, JournalBytes(text), error)) return false;
  file_ = files_.OpenHeld(kJournalFileName, error);
  return file_ != nullptr;
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
  if (!file_->Size(size, error)) {
    Stop(Mode::Away, error);
    return recovery;
  }
  ParsedJournal parsed;
  std::string bytes;
  if (size > kMaxJournalBytes) {
    parsed.condition = JournalCondition::Garbage;
  } else if (!file_->ReadAll(bytes, error)) {
    Stop(Mode::Away, error);
    return recovery;
  } else {
    parsed = ParseJournal(bytes);
  }

  switch (parsed.condition) {
    case JournalCondition::Empty:
      if (!file_->Truncate(0, error) || !file_->Append(kJournalMagic, error) || !file_->Flush(error)) {
        Stop(Mode::Away, error);
        return recovery;
      }
      break;
    case JournalCondition::Whole:
      recovery.text = std::move(parsed.text);
      break;
    case JournalCondition::Torn:
    case JournalCondition::Garbage: {
      // Keep the damaged file as it is, then start afresh from what it held whole.
      file_.reset();
      const std::string aside = FreeSetAsideName();
      if (!files_.Rename(kJournalFileName, aside, error)) {
        Stop(Mode::Away, "a damaged journal could not be set aside: " + error);
        return recovery;
      }
      recovery.setAsidePath = files_.PathOf(aside);
      recovery.droppedBytes = static_cast<std::size_t>(size - parsed.trustedBytes);
      recovery.text = std::move(parsed.text);
      if (!StartFresh(recovery.text, error)) {
        // The text is still in the file set aside, which no start reads back.
        Stop(Mode::Away, error);
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
  frames_.clear();
  AppendFrames(frames_, text);
  std::string error;
  if (!file_->Append(frames_, error)) {
    Stop(Mode::Behind, error);
    return;
  }
  if (!unflushed_) {
    unflushed_ = true;
    oldestUnflushed_ = now;
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
  std::string error;
  if (rest.empty() && file_) {
    // Cutting the file back to its first line needs no free space and is one step.
    if (file_->Truncate(kJournalMagic.size(), error) && file_->Flush(error)) {
      mode_ = Mode::Writing;
      unflushed_ = false;
      return;
    }
  } else if (StartFresh(rest, error)) {
    mode_ = Mode::Writing;
    unflushed_ = false;
    return;
  }
  Stop(Mode::Behind, error);
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
