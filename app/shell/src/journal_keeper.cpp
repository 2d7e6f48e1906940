#include "seamlog/shell/journal_keeper.h"

namespace seamlog::shell {

JournalKeeper::JournalKeeper(capture::Capture& capture, journal::JournalFiles& files,
                             diagnostics::DiagnosticsLog& log)
    : capture_(capture), log_(log), journal_(files) {
  capture_.AddObserver(*this);
}

JournalKeeper::~JournalKeeper() { capture_.RemoveObserver(*this); }

std::optional<std::string> JournalKeeper::Recover() {
  journal::Recovery recovery = journal_.Open();
  if (!recovery.text.empty() || !recovery.setAsidePath.empty())
    log_.JournalRecovered(recovery.text.size(), recovery.droppedBytes, recovery.setAsidePath);
  if (recovery.text.empty()) return std::nullopt;
  recovering_ = true;
  capture_.AppendText(recovery.text);
  recovering_ = false;
  return journal::RecoveryMessage(recovery.text.size());
}

void JournalKeeper::TextAppended(std::string_view text) {
  if (!recovering_) journal_.Append(text, journal::CaptureJournal::Clock::now());
}

// The whole unsaved text is at hand, so the journal can be rewritten from it
// even after an earlier write failed.
void JournalKeeper::TextSaved(std::size_t length) { journal_.DropSaved(capture_.ReceivedText(), length); }

std::optional<std::string> JournalKeeper::TakeProblem() {
  std::optional<std::string> problem = journal_.TakeProblem();
  if (problem) log_.JournalProblem(*problem);
  return problem;
}

}  // namespace seamlog::shell
