#pragma once
// The main window: connection indicator, record count, live view of the
// received text, Save As, progress bar and Exit.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "win32util/handles.h"
#include "seamlog/link/poll_cycle.h"
#include "live_text_control.h"
#include "live_text_view.h"
#include "portline_library.h"
#include "private_profile.h"
#include "seamlog/capture/capture.h"
#include "seamlog/convert/models.h"
#include "seamlog/diagnostics/diagnostics_log.h"
#include "seamlog/journal/journal_files.h"
#include "seamlog/save/save_as_flow.h"
#include "seamlog/shell/journal_keeper.h"
#include "seamlog/shell/settings.h"
#include "usb_comm_timer.h"
#include "window.h"

namespace seamlog::shell {

// The window shows the capture (the received text and its model) and the
// link's state; it holds no text of its own.
class MainForm final : public Window,
                       private save::SaveWindow,
                       private capture::CaptureObserver,
                       private link::LinkEvents {
 public:
  explicit MainForm(convert::Model model);
  ~MainForm() override;

  // Creates the window and runs its load: settings, state, timers, set-up.
  void Load();

  // The received text and the model state, as chosen in the dialog or
  // switched by a save.
  const capture::Capture& Received() const { return capture_; }
  bool Connected() const { return connected_; }

  // Status display.
  void DisableInformation(bool flag);
  void StartProgress(std::int16_t steps) override;
  void SetProgress(std::int16_t value) override;
  void SetConnected(bool flag);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void CreateControls();
  void SetupMainWindow();
  void DisplayTimerTick();
  void OnUSBCommTick();
  void OnUnloadLink();
  void CmdSaveAsClick();
  void RequestClose();
  void StopLinkAndTimers();
  void Unload();
  void StartJournalAndLog();
  void LogSave(const save::SaveReport& report, const std::string& file);
  void ShowJournalProblem();
  void Notify(std::string text, UINT icon);
  void ShowNextNotice();
  void DrawPicture(const DRAWITEMSTRUCT& item);
  void RepaintProgressNow(int value);

  // save::SaveWindow
  void EnableSaveButton(bool enabled) override;
  void ShowConvertResult(const convert::ConvertResult& result, bool modelSwitched) override;
  void RestoreCurrentDirectory() override;

  // capture::CaptureObserver: the live view follows the received text.
  void TextAppended(std::string_view text) override;
  void TextDiscarded(std::size_t length) override;

  // link::LinkEvents: the diagnostics log hears of opens, failures and closes.
  void OpenAttempted(std::int32_t result) override { log_->OpenAttempt(result); }
  void ReadFailed(std::int32_t result) override { log_->ReadFailed(result); }
  void WriteFailed(std::int32_t result) override { log_->WriteFailed(result); }
  void Closed(std::int32_t result) override { log_->Closed(result); }
  void Received(std::size_t bytes) override { log_->CountReceived(bytes); }
  void Sent(std::size_t bytes) override { log_->CountSent(bytes); }

  capture::Capture capture_;
  bool connected_ = false;

  PrivateProfileStore ini_;
  std::unique_ptr<Settings> settings_;

  HWND usbConnectPicture_[2] = {};
  HWND informationLabel_ = nullptr;
  HWND cmdSaveAsCmd_ = nullptr;
  HWND liveText_ = nullptr;
  HWND informationBar_ = nullptr;
  HWND endCommand_ = nullptr;
  std::unique_ptr<USBCommTimer> usbCommTimer_;
  // The USB link: PortlineUSB.dll, the poll cycle and the live view.
  link::PortlineLibrary portlineLibrary_;
  link::PollCycle pollCycle_{portlineLibrary_, capture_};
  link::LiveTextView liveView_;
  // Seamlog.log and the capture journal in AppDirectory, made by the load.
  std::unique_ptr<diagnostics::LogFiles> logFiles_;
  std::unique_ptr<diagnostics::LogClock> logClock_;
  std::unique_ptr<diagnostics::DiagnosticsLog> log_;
  std::unique_ptr<journal::JournalFiles> journalFiles_;
  std::unique_ptr<JournalKeeper> journal_;
  // Messages for the operator that wait for the message loop.
  std::deque<std::pair<std::string, UINT>> notices_;
  int progressMaximum_ = 1;
  int paintedPixel_ = 0;
  DWORD paintedAt_ = 0;  // GetTickCount of the last painting

  win32util::Font controlFont_;
  win32util::Font liveTextFont_;
  win32util::Icon pictures_[2];

  bool saving_ = false;
  bool closeAfterSave_ = false;
  bool askingToClose_ = false;
};

}  // namespace seamlog::shell
