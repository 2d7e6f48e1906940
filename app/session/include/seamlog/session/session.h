#pragma once
// One run of Seamlog without its window: the received text and its model,
// the link to the splicer with its connection state, the capture journal and
// the diagnostics log, and Save As. The window lays out controls, routes its
// messages here and shows what the session reports through SessionView.
//
// Everything runs on one thread: Tick from the poll timer, Save from the
// button, Exit from closing. Nothing here touches a window.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "seamlog/capture/capture.h"
#include "seamlog/diagnostics/diagnostics_log.h"
#include "seamlog/journal/journal_files.h"
#include "seamlog/link/device_library.h"
#include "seamlog/link/poll_cycle.h"
#include "seamlog/save/save_as_flow.h"
#include "seamlog/save/save_intent.h"
#include "seamlog/session/journal_keeper.h"

namespace seamlog::session {

// A monotonic clock; tests step it by hand.
class SteadyClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~SteadyClock() = default;
  virtual TimePoint Now() = 0;
};

// The platform's steady clock.
SteadyClock& SystemSteadyClock();

// How long the splicer must have sent nothing, while still connected, before
// a last record that is not whole is taken as cut short for good and saved as
// far as it goes. Until then it stays for the next save.
inline constexpr std::chrono::seconds kQuietPeriod{10};

// Beside the journal: what a running save is doing (see save_intent.h).
inline constexpr std::string_view kSaveIntentFileName = "Seamlog.saving";

// What the session needs of the window, beyond the save's own needs.
class SessionView : public save::SaveWindow {
 public:
  // The link opened or closed: the indicator and the poll timer's period
  // (link::PollPeriodMs) follow.
  virtual void ShowConnected(bool connected) = 0;
};

// A message for the operator, shown once the message loop runs.
struct Notice {
  std::string text;
  bool warning = false;  // exclamation icon; information otherwise
};

// The files and clocks of one run; the platform's own in Seamlog, fakes or a
// temporary folder in tests.
struct SessionParts {
  link::DeviceLibrary& library;
  journal::JournalFiles& journalFiles;
  diagnostics::LogFiles& logFiles;
  diagnostics::LogClock& logClock;
  save::OutputFiles& outputFiles;
  SteadyClock& clock;
};

// The dialog, the remembered folder and the message box of one Save As.
struct SaveDesk {
  save::SaveLocation& location;
  save::SaveFileDialog& dialog;
  save::MessageDisplay& messages;
};

class Session final : private link::PollHost,
                      private link::LinkEvents,
                      private capture::CaptureObserver,
                      private save::ArrivalState,
                      private save::IntentStore {
 public:
  Session(convert::Model model, const SessionParts& parts, SessionView& view);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The run begins: the log's first line, then the journal is taken and the
  // text an earlier run left unsaved comes back. What to tell the operator.
  std::vector<Notice> Start(std::string_view version);

  // One tick of the poll timer: open, read, append, journal.
  void Tick();
  bool Connected() const override { return connected_; }

  // The whole click on Save As.
  save::SaveReport Save(const SaveDesk& desk);

  // True when received text would be lost by leaving now.
  bool HasUnsavedText() const { return !capture_.Empty(); }
  // The program ends: the device is closed, the log says so. With
  // discardUnsaved (the operator chose to leave without saving), the
  // journal forgets the unsaved text; otherwise it keeps it for the next start.
  void Exit(bool discardUnsaved);
  // The system session ends: the device is closed and the journal is on the
  // disk, and no tick opens the device again.
  void EndOfSystemSession();

  // Why the journal stopped, once.
  std::optional<Notice> TakeProblem();

  // The received text and its model.
  const capture::Capture& Capture() const { return capture_; }
  capture::Capture& Capture() { return capture_; }

 private:
  // link::PollHost
  void SetConnected(bool connected) override;
  // link::LinkEvents: the diagnostics log hears of opens, failures and closes.
  void OpenAttempted(std::int32_t result, std::int32_t status) override { log_.OpenAttempt(result, status); }
  void ReadFailed(std::int32_t result) override { log_.ReadFailed(result); }
  void WriteFailed(std::int32_t result) override { log_.WriteFailed(result); }
  void Closed(std::int32_t result) override { log_.Closed(result); }
  void Received(std::size_t bytes) override { log_.CountReceived(bytes); }
  void Sent(std::size_t bytes) override { log_.CountSent(bytes); }
  // capture::CaptureObserver: when the splicer last sent something.
  void TextAppended(std::string_view) override { lastArrival_ = clock_.Now(); }
  void TextDiscarded(std::size_t) override {}
  // save::ArrivalState
  bool MayStillArrive() const override;
  // save::IntentStore: Seamlog.saving beside the journal; empty when no save runs.
  bool Record(const save::SaveIntent& intent, std::string& error) override;
  bool Clear(std::string& error) override;

  // A save the last run did not finish: its half table is taken back, or the
  // text of its whole table is not brought back a second time.
  std::optional<Notice> SettleInterruptedSave();

  void LogSave(const save::SaveReport& report, const std::string& file);
  void StopLink();

  SessionView& view_;
  SteadyClock& clock_;
  journal::JournalFiles& journalFiles_;
  save::OutputFiles& outputFiles_;
  capture::Capture capture_;
  diagnostics::DiagnosticsLog log_;
  link::PollCycle pollCycle_;
  JournalKeeper journal_;
  bool connected_ = false;
  bool linkStopped_ = false;
  SteadyClock::TimePoint lastArrival_{};
};

}  // namespace seamlog::session
