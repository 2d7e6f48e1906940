// The capture journal: a copy on disk of the received text that has not been
// saved yet, so that a crash or a power cut loses at most the last moments.
//
// Every text that joins the received text is appended in the same tick; what
// was appended is forced onto the disk once it is kFlushPeriod old. After a
// save, the journal is made to hold only what the save did not convert. At
// start, Open reads back what an earlier run left unsaved.
//
// Nothing here ever stops receiving: a journal that cannot be written is
// reported once (TakeProblem) and left alone until the next save rewrites it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/journal/journal_files.h"

namespace seamlog::journal {

inline constexpr std::string_view kJournalFileName = "Seamlog.journal";
// Appended text is forced onto the disk at the first append or FlushIfDue
// that finds it this old.
inline constexpr std::chrono::milliseconds kFlushPeriod{500};
// A bigger file is not read back; it is set aside like a damaged one.
inline constexpr std::uint64_t kMaxJournalBytes = 512ull << 20;

struct Recovery {
  std::string text;             // the unsaved text read back; empty when there was none
  std::size_t droppedBytes = 0;  // bytes of a torn or damaged journal that were not read back
  std::string setAsidePath;     // where a damaged journal was kept; empty when none was
};

class CaptureJournal {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CaptureJournal(JournalFiles& files);
  ~CaptureJournal();
  CaptureJournal(const CaptureJournal&) = delete;
  CaptureJournal& operator=(const CaptureJournal&) = delete;

  // Takes hold of the journal and reads back the text it holds. A damaged
  // journal is renamed aside (kept, never deleted) and its whole frames are
  // read back all the same. A journal held by another program, or one that
  // cannot be written, is left untouched and nothing is read back: it is for
  // whoever can still clear it after a save.
  Recovery Open();

  // Text that just joined the received text, as it joined it.
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
    Behind,   // ours, but a write failed: out of step until the next save
    Away,     // could not be taken: belongs to another Seamlog or cannot be written
  };

  void Stop(Mode mode, const std::string& reason);
  bool StartFresh(std::string_view text, std::string& error);
  std::string FreeSetAsideName();

  JournalFiles& files_;
  std::unique_ptr<HeldFile> file_;
  Mode mode_ = Mode::Closed;
  bool unflushed_ = false;
  Clock::time_point oldestUnflushed_{};
  std::string frames_;  // reused for every append
  std::optional<std::string> problem_;
};

// The message box text that tells the operator about recovered text.
std::string RecoveryMessage(std::size_t characters);

}  // namespace seamlog::journal
