// The capture journal: a copy on disk of the received text that has not been
// saved yet, so that a crash or a power cut loses at most the last moments.
//
// Every text that joins the received text is appended in the same tick; what
// was appended is forced onto the disk once it is kFlushPeriod old. After a
// save, the journal is made to hold only what the save did not convert. At
// start, Open reads back what an earlier run left unsaved.
//
// Nothing here ever stops receiving: a journal that cannot be written, or is
// full, is reported once (TakeProblem) and left alone until the next save
// rewrites it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/journal/journal_files.h"
#include "seamlog/journal/journal_format.h"

namespace seamlog::journal {

inline constexpr std::string_view kJournalFileName = "Seamlog.journal";
// The one rescue copy of the last journal discarded, replaced each time.
inline constexpr std::string_view kDiscardedFileName = "Seamlog.journal.discarded";
// Appended text is forced onto the disk at the first append or FlushIfDue
// that finds it this old.
inline constexpr std::chrono::milliseconds kFlushPeriod{500};

struct Recovery {
  std::string text;              // the unsaved text read back; empty when there was none
  std::size_t droppedBytes = 0;  // bytes of a torn or damaged journal that were not read back
  std::string setAsidePath;      // where a damaged journal was kept; empty when none was
  bool tooLarge = false;         // it held more than kMaxJournalText: only the first part came back
};

class CaptureJournal {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CaptureJournal(JournalFiles& files);
  ~CaptureJournal();
  CaptureJournal(const CaptureJournal&) = delete;
  CaptureJournal& operator=(const CaptureJournal&) = delete;

  // Takes hold of the journal and reads back the text it holds, frame by
  // frame. A damaged journal, or one holding more than kMaxJournalText, is
  // renamed aside (kept, never deleted) and its whole frames up to the limit
  // are read back all the same. A journal of an earlier version is read back
  // and rewritten in this one. A journal held by another program, or one
  // that cannot be written, is left untouched and nothing is read back: it
  // is for whoever can still clear it after a save.
  Recovery Open();

  // Text that just joined the received text, as it joined it. Once the
  // journal holds kMaxJournalText characters it keeps no more: it stops
  // with a problem until the next save.
  void Append(std::string_view text, Clock::time_point now);
  // For ticks that appended nothing: forces earlier appends onto the disk
  // once they are kFlushPeriod old. Costs a comparison otherwise.
  void FlushIfDue(Clock::time_point now);
  // Forces everything appended onto the disk now (disconnect, exit).
  void Flush();

  // A save converted the first `converted` characters of `unsaved` (all the
  // text not saved before it): the journal now holds only the rest. Also
  // brings a journal back into use after a write failure, since `unsaved`
  // is the whole truth.
  void DropSaved(std::string_view unsaved, std::size_t converted);

  // The operator chose to throw the unsaved text away (Exit anyway): the
  // journal is moved over rescueName (one rescue copy, replaced each time)
  // and a journal holding nothing takes its place, both on the disk when
  // this returns. Nothing happens when the journal holds no text, so the
  // last rescue copy stays. False, with a problem to take, when the text
  // is still in the journal. Call it before Close.
  bool Discard(std::string_view rescueName = kDiscardedFileName);

  // Flushes and lets go of the journal; it keeps its text for the next start.
  void Close();

  // True while appends reach the journal.
  bool Writing() const { return mode_ == Mode::Writing; }
  // Why the journal stopped, the first time it is asked after it stopped.
  std::optional<std::string> TakeProblem();
  std::string Path() const { return files_.PathOf(kJournalFileName); }

 private:
  enum class Mode {
    Closed,   // not opened yet, or closed
    Writing,  // held, and in step with the received text
    Behind,   // ours, but a write failed or it is full: out of step until the next save
    Away,     // could not be taken: belongs to another Seamlog or cannot be written
  };

  void Stop(Mode mode, const std::string& reason);
  void StopFull();
  void Report(Mode mode, const std::string& problem);
  bool ReadBack(std::uint64_t size, ParsedJournal& parsed, std::string& error);
  bool StartFresh(std::string_view text, std::uint32_t generation, std::string& error);
  bool CutBack(std::uint32_t generation, std::string& error);
  std::string FreeSetAsideName();

  JournalFiles& files_;
  std::unique_ptr<HeldFile> file_;
  Mode mode_ = Mode::Closed;
  FramePosition next_;        // where the next frame goes
  std::size_t heldText_ = 0;  // characters of text in the journal
  bool unflushed_ = false;
  Clock::time_point oldestUnflushed_{};
  std::string frames_;  // reused for every append
  std::optional<std::string> problem_;
};

// The message box text that tells the operator about recovered text.
std::string RecoveryMessage(std::size_t characters);

}  // namespace seamlog::journal
