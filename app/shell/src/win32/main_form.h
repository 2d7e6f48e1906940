#pragma once
// The main window: connection indicator, record count, live view of the
// received text, Save As, progress bar and Exit. It lays out its controls,
// routes its messages to the session and shows what the session reports;
// the work is the session's.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "live_text_view.h"
#include "portline_library.h"
#include "private_profile.h"
#include "progress_bar.h"
#include "seamlog/capture/capture.h"
#include "seamlog/convert/models.h"
#include "seamlog/save/table_file.h"
#include "seamlog/session/session.h"
#include "seamlog/shell/settings.h"
#include "usb_comm_timer.h"
#include "win32util/handles.h"
#include "window.h"

namespace seamlog::shell {

// The main window's outer size, and its caption for a model.
inline constexpr int kOuterWidthTwips = 8040;
inline constexpr int kOuterHeightTwips = 7212;
inline std::string Caption(std::string_view modelName) { return "Seamlog <" + std::string(modelName) + ">"; }

class MainForm final : public Window, private session::SessionView, private capture::CaptureObserver {
 public:
  explicit MainForm(convert::Model model);
  ~MainForm() override;

  // Creates the window and runs its load: settings, the session, timers, set-up.
  void Load();

  // Status display.
  void DisableInformation(bool flag);
  void SetConnected(bool flag);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void CreateControls();
  void SetupMainWindow();
  void DisplayTimerTick();
  void OnUSBCommTick();
  void CmdSaveAsClick();
  void RequestClose();
  void StopTimers();
  void Notify(session::Notice notice);
  void ShowNextNotice();
  void ShowProblem();
  void DrawPicture(const DRAWITEMSTRUCT& item);

  // session::SessionView
  void ShowConnected(bool connected) override { SetConnected(connected); }
  void EnableSaveButton(bool enabled) override { EnableWindow(cmdSaveAsCmd_, enabled); }
  void ShowConvertResult(const convert::ConvertResult& result, bool modelSwitched) override;
  void RestoreCurrentDirectory() override;
  void StartProgress(std::int16_t steps) override { progress_.Start(steps); }
  void SetProgress(std::int16_t value) override { progress_.Set(value); }

  // capture::CaptureObserver: the live view follows the received text.
  void TextAppended(std::string_view text) override;
  void TextDiscarded(std::size_t length) override;

  convert::Model model_;
  PrivateProfileStore ini_;
  std::unique_ptr<Settings> settings_;

  HWND usbConnectPicture_[2] = {};
  HWND informationLabel_ = nullptr;
  HWND cmdSaveAsCmd_ = nullptr;
  HWND liveText_ = nullptr;
  HWND endCommand_ = nullptr;
  ProgressBar progress_;
  std::unique_ptr<USBCommTimer> usbCommTimer_;
  link::LiveTextView liveView_;

  // What the session works with, in AppDirectory, made by the load.
  link::PortlineLibrary portlineLibrary_;
  save::TableFiles tableFiles_;
  std::unique_ptr<diagnostics::LogFiles> logFiles_;
  std::unique_ptr<diagnostics::LogClock> logClock_;
  std::unique_ptr<journal::JournalFiles> journalFiles_;
  std::unique_ptr<session::Session> session_;

  // Messages for the operator that wait for the message loop.
  std::deque<session::Notice> notices_;

  win32util::Font controlFont_;
  win32util::Font liveTextFont_;
  win32util::Icon pictures_[2];

  bool saving_ = false;
  bool closeAfterSave_ = false;
  bool askingToClose_ = false;
};

}  // namespace seamlog::shell
