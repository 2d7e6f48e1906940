#pragma once
// Keeps the capture journal in step with the received text: every append goes
// to the journal in the same tick, a completed save makes it forget what the
// save converted, and at start the text an earlier run left unsaved comes back
// into the capture. Journal problems are logged here; showing them is the
// window's business.
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/capture/capture.h"
#include "seamlog/diagnostics/diagnostics_log.h"
#include "seamlog/journal/capture_journal.h"

namespace seamlog::session {

// What the operator is told at start about an earlier run's journal.
struct RecoveryNotice {
  std::string text;
  bool damaged = false;  // part of the journal could not be read back
};

class JournalKeeper final : private capture::CaptureObserver {
 public:
  JournalKeeper(capture::Capture& capture, journal::JournalFiles& files, diagnostics::DiagnosticsLog& log);
  ~JournalKeeper() override;
  JournalKeeper(const JournalKeeper&) = delete;
  JournalKeeper& operator=(const JournalKeeper&) = delete;

  // Takes hold of the journal and appends the unsaved text it holds to the
  // capture (it is in the journal already). What to tell the operator when
  // text came back or a damaged journal was set aside; empty otherwise.
  std::optional<RecoveryNotice> Recover();
  // Each tick: forces earlier appends onto the disk once they are due.
  void Tick() { journal_.FlushIfDue(journal::CaptureJournal::Clock::now()); }
  // The splicer went away or the program ends: onto the disk now.
  void Flush() { journal_.Flush(); }
  // The program ends; the journal keeps its text for the next start.
  void Close() { journal_.Close(); }
  // The operator left without saving: the journal forgets the unsaved text,
  // which is kept once more as journal::kDiscardedFileName (replacing an
  // older one) in case it was wanted after all.
  void DiscardUnsaved();
  // True while the journal is held and in step with the received text.
  bool Keeping() const { return journal_.Writing(); }
  // Why the journal stopped, once, already logged.
  std::optional<std::string> TakeProblem();

 private:
  void TextAppended(std::string_view text) override;
  void TextDiscarded(std::size_t) override {}
  void TextSaved(std::size_t length) override;

  capture::Capture& capture_;
  diagnostics::DiagnosticsLog& log_;
  journal::CaptureJournal journal_;
  bool recovering_ = false;
};

}  // namespace seamlog::session
