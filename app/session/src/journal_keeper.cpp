#include "seamlog/session/journal_keeper.h"

namespace seamlog::session {

JournalKeeper::JournalKeeper(capture::Capture& capture, journal::JournalFiles& files,
                             diagnostics::DiagnosticsLog& log)
    : capture_(capture), files_(files), log_(log), journal_(files) {
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

void JournalKeeper::DiscardUnsaved() {
  const std::string& text = capture_.ReceivedText();
  if (text.empty()) return;
  std::string error;
  // Without its rescue copy the text stays journaled: it comes back at the
  // next start rather than being lost.
  if (!files_.Replace(kDiscardedFileName, text, error)) {
    log_.JournalProblem("the discarded text could not be kept in " + files_.PathOf(kDiscardedFileName) +
                        ", so the journal keeps it: " + error);
    return;
  }
  journal_.DropSaved(text, text.size());
}

std::optional<std::string> JournalKeeper::TakeProblem() {
  std::optional<std::string> problem = journal_.TakeProblem();
  if (problem) log_.JournalProblem(*problem);
  return problem;
}

}  // namespace seamlog::session
