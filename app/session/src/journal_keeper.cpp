#include "seamlog/session/journal_keeper.h"

namespace seamlog::session {

JournalKeeper::JournalKeeper(capture::Capture& capture, journal::JournalFiles& files,
                             diagnostics::DiagnosticsLog& log)
    : capture_(capture), log_(log), journal_(files) {
  capture_.AddObserver(*this);
}

JournalKeeper::~JournalKeeper() { capture_.RemoveObserver(*this); }

std::optional<RecoveryNotice> JournalKeeper::Recover() {
  journal::Recovery recovery = journal_.Open();
  const bool damaged = !recovery.setAsidePath.empty();
  if (recovery.text.empty() && !damaged) return std::nullopt;
  log_.JournalRecovered(recovery.text.size(), recovery.droppedBytes, recovery.setAsidePath);
  RecoveryNotice notice{{}, damaged};
  if (!recovery.text.empty()) {
    recovering_ = true;
    capture_.AppendText(recovery.text);
    recovering_ = false;
    notice.text = journal::RecoveryMessage(recovery.text.size());
  }
  if (damaged) {
    if (!notice.text.empty()) notice.text += "\r\n\r\n";
    if (recovery.tooLarge)
      notice.text += "The capture journal held more than one save can take: only its first " +
                     std::to_string(recovery.text.size()) + " characters came back. It was kept as " +
                     recovery.setAsidePath + ".";
    else
      notice.text += "The capture journal was damaged: " + std::to_string(recovery.droppedBytes) +
                     " bytes of it could not be read back. It was kept as " + recovery.setAsidePath + ".";
  }
  return notice;
}

void JournalKeeper::TextAppended(std::string_view text) {
  if (!recovering_) journal_.Append(text, journal::CaptureJournal::Clock::now());
}

// The whole unsaved text is at hand, so the journal can be rewritten from it
// even after an earlier write failed.
void JournalKeeper::TextSaved(std::size_t length) { journal_.DropSaved(capture_.ReceivedText(), length); }

// The journal itself becomes the rescue copy (Seamlog.journal.discarded);
// when it cannot be moved, the text stays journaled and comes back at the
// next start rather than being lost, and the problem is logged.
void JournalKeeper::DiscardUnsaved() {
  if (!journal_.Discard()) TakeProblem();
}

std::optional<std::string> JournalKeeper::TakeProblem() {
  std::optional<std::string> problem = journal_.TakeProblem();
  if (problem) log_.JournalProblem(*problem);
  return problem;
}

}  // namespace seamlog::session
