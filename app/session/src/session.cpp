#include "seamlog/session/session.h"

#include "seamlog/save/interrupted_save.h"

namespace seamlog::session {
namespace {

class SystemClock final : public SteadyClock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
};

diagnostics::SaveOutcome LoggedOutcome(const save::SaveReport& report, const std::string& file) {
  switch (report.outcome) {
    case save::SaveOutcome::Saved:
      return diagnostics::SaveOutcome::Completed;
    case save::SaveOutcome::Stopped:
      return diagnostics::SaveOutcome::Stopped;
    default:
      break;
  }
  return file.empty() ? diagnostics::SaveOutcome::NothingToSave : diagnostics::SaveOutcome::Failed;
}

}  // namespace

SteadyClock& SystemSteadyClock() {
  static SystemClock clock;
  return clock;
}

Session::Session(convert::Model model, const SessionParts& parts, SessionView& view)
    : view_(view),
      clock_(parts.clock),
      journalFiles_(parts.journalFiles),
      outputFiles_(parts.outputFiles),
      capture_(model),
      log_(parts.logFiles, parts.logClock),
      pollCycle_(parts.library, capture_),
      journal_(capture_, parts.journalFiles, log_) {
  capture_.AddObserver(*this);
  pollCycle_.ReportTo(*this);
}

Session::~Session() { capture_.RemoveObserver(*this); }

std::vector<Notice> Session::Start(std::string_view version) {
  log_.Started(version, capture_.ModelName());
  std::vector<Notice> notices;
  std::optional<RecoveryNotice> recovered = journal_.Recover();
  std::optional<Notice> interrupted = SettleInterruptedSave();
  // Text that the interrupted save had saved whole did not really come back.
  if (recovered && !(interrupted && capture_.Empty() && !recovered->damaged))
    notices.push_back({std::move(recovered->text), recovered->damaged});
  if (interrupted) notices.push_back(std::move(*interrupted));
  if (auto problem = TakeProblem()) notices.push_back(std::move(*problem));
  return notices;
}

// Only the Seamlog that keeps the journal keeps intents: a second one started
// from the same folder neither reads nor writes them.
std::optional<Notice> Session::SettleInterruptedSave() {
  if (!journal_.Keeping() || !journalFiles_.Exists(kSaveIntentFileName)) return std::nullopt;
  std::string data, error;
  if (auto held = journalFiles_.OpenHeld(kSaveIntentFileName, error)) {
    std::uint64_t size = 0;
    if (held->Size(size, error) && size < 4096) held->Read(0, static_cast<std::size_t>(size), data, error);
  }
  const std::optional<save::SaveIntent> intent = save::ParseIntent(data);
  if (!intent) return std::nullopt;  // none recorded, or cleared
  std::uint64_t saved = 0;
  std::string reason;
  const save::InterruptedSave outcome =
      save::SettleInterruptedSave(*intent, capture_.ReceivedText(), saved, reason);
  if (outcome == save::InterruptedSave::TableWhole) {
    capture_.MarkConverted(static_cast<std::size_t>(saved));
    capture_.ConvertedSaved();
    capture_.DiscardConverted();
  }
  const std::string message = save::InterruptedSaveMessage(*intent, outcome, reason);
  if (!message.empty()) log_.JournalProblem(message);
  Clear(error);
  if (message.empty()) return std::nullopt;
  const bool fine =
      outcome == save::InterruptedSave::TableWhole || outcome == save::InterruptedSave::TableTakenBack;
  return Notice{message, !fine};
}

bool Session::Record(const save::SaveIntent& intent, std::string& error) {
  return journal_.Keeping() && journalFiles_.Replace(kSaveIntentFileName, save::FormatIntent(intent), error);
}

bool Session::Clear(std::string& error) { return journalFiles_.Replace(kSaveIntentFileName, {}, error); }

void Session::Tick() {
  if (linkStopped_) return;
  pollCycle_.Tick(*this);
  journal_.Tick();
}

void Session::SetConnected(bool connected) {
  // The splicer went away: what it sent goes onto the disk now.
  if (connected_ && !connected) journal_.Flush();
  connected_ = connected;
  view_.ShowConnected(connected);
}

bool Session::MayStillArrive() const { return connected_ && clock_.Now() - lastArrival_ < kQuietPeriod; }

save::SaveReport Session::Save(const SaveDesk& desk) {
  save::SaveAsFlow flow(capture_, view_, desk.location, desk.dialog, desk.messages, outputFiles_, this, this);
  const save::SaveReport report = flow.Run();
  LogSave(report, flow.ChosenFilePath());
  return report;
}

void Session::LogSave(const save::SaveReport& report, const std::string& file) {
  if (report.outcome == save::SaveOutcome::Cancelled) return;
  diagnostics::SaveEntry entry;
  entry.file = file;
  entry.model = std::string(capture_.ModelName());
  entry.reason = report.reason;
  if (report.conversion) {
    entry.records = report.conversion->recordCount;
    if (!report.conversion->skippedRecords.empty() && entry.reason.empty()) {
      entry.reason = "left out " + std::to_string(report.conversion->skippedRecords.size()) +
                     " record(s) cut short, the first of them record " +
                     std::to_string(report.conversion->skippedRecords.front());
    }
  }
  entry.outcome = LoggedOutcome(report, file);
  log_.Saved(entry);
}

void Session::StopLink() {
  if (linkStopped_) return;
  linkStopped_ = true;
  pollCycle_.Unload(*this);
  connected_ = false;  // closed once, however often the end is reached
  journal_.Flush();
}

void Session::Exit(bool discardUnsaved) {
  StopLink();
  if (discardUnsaved) journal_.DiscardUnsaved();
  journal_.Close();
  log_.Exiting();
}

void Session::EndOfSystemSession() { StopLink(); }

std::optional<Notice> Session::TakeProblem() {
  if (auto problem = journal_.TakeProblem()) return Notice{std::move(*problem), true};
  return std::nullopt;
}

}  // namespace seamlog::session
