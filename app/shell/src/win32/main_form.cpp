#include "main_form.h"

#include <commctrl.h>

#include <stdexcept>

#include "control_ids.h"
#include "resource.h"
#include "seamlog/journal/journal_files.h"
#include "seamlog/save/common_save_dialog.h"
#include "seamlog/shell/status.h"
#include "seamlog_version.h"
#include "ui.h"
#include "win32util/run_time_error.h"

namespace seamlog::shell {
namespace {

constexpr UINT_PTR kDisplayTimerId = 1;
constexpr UINT kDisplayPeriod = 1000;
// Shows the next waiting notice (recovery, journal problems) from the loop.
constexpr UINT kShowNoticeMessage = WM_APP + 0x52;

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

void SetTextIfChanged(HWND control, const std::string& text) {
  char current[256] = {};
  GetWindowTextA(control, current, sizeof current);
  if (text != current) SetWindowTextA(control, text.c_str());
}

}  // namespace

MainForm::MainForm(convert::Model model) : model_(model) {}

MainForm::~MainForm() {
  if (session_) session_->Capture().RemoveObserver(*this);
}

void MainForm::Load() {
  const int dpi = ScreenDpi();
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SEAMLOG));
  if (!CreateTopLevel(ids::kMainFormClass, "Seamlog", kStyle, kExStyle, TwipsToPixels(kOuterWidthTwips, dpi),
                      TwipsToPixels(kOuterHeightTwips, dpi), icon)) {
    win32util::ShowRunTimeError(0, "The main window cannot be created.");
    return;
  }
  // A run-time error box belongs to this window, in front of it even when
  // another program is active.
  win32util::SetRunTimeErrorOwner(hwnd());
  CreateControls();
  SetTimer(hwnd(), kDisplayTimerId, kDisplayPeriod, nullptr);

  // 1, 2: the program's directory, made the current directory; 3: the
  // remembered save directory.
  settings_ = std::make_unique<Settings>(ini_, ProgramDirectory());
  SetCurrentDirectoryA(settings_->AppDirectory().c_str());
  settings_->LoadSettings();
  // 4, 5: no device, nothing received: a fresh session keeps its journal and
  // log in AppDirectory.
  const std::string& folder = settings_->AppDirectory();
  logFiles_ = diagnostics::MakeLogFiles(folder);
  logClock_ = diagnostics::MakeLogClock();
  journalFiles_ = journal::MakeJournalFiles(folder);
  session::SessionView& view = *this;
  session_ = std::make_unique<session::Session>(
      model_,
      session::SessionParts{portlineLibrary_, *journalFiles_, *logFiles_, *logClock_, tableFiles_,
                            session::SystemSteadyClock()},
      view);
  session_->Capture().AddObserver(*this);
  // 6: the poll timer tries to open the device once a second.
  usbCommTimer_->SetInterval(link::PollPeriodMs(false));
  usbCommTimer_->Enable();
  // 7
  SetupMainWindow();
  // Before the first tick can append: what an earlier run left unsaved.
  for (session::Notice& notice : session_->Start(SEAMLOG_VERSION_STRING)) Notify(std::move(notice));
  DisplayTimerTick();
}

// Message boxes wait for the message loop: never inside a tick or a load.
void MainForm::Notify(session::Notice notice) {
  notices_.push_back(std::move(notice));
  PostMessageA(hwnd(), kShowNoticeMessage, 0, 0);
}

void MainForm::ShowNextNotice() {
  if (notices_.empty()) return;
  const session::Notice notice = notices_.front();
  notices_.pop_front();
  MessageBoxA(hwnd(), notice.text.c_str(), "Seamlog",
              MB_OK | (notice.warning ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
}

// A journal that stopped is reported once; receiving goes on regardless.
void MainForm::ShowProblem() {
  if (auto problem = session_->TakeProblem()) Notify(std::move(*problem));
}

void MainForm::DisplayTimerTick() {
  const capture::Capture& capture = session_->Capture();
  SetTextIfChanged(informationLabel_,
                   ReceivedCaption(capture.ReceivedText().size(), capture.RecordTextLength()));
}

// New text shows within the view's refresh interval; see OnUSBCommTick.
void MainForm::TextAppended(std::string_view) { liveView_.Changed(session_->Capture().ReceivedText()); }

// A save or the recovery changed the text: the view shows it at once.
void MainForm::TextDiscarded(std::size_t) { liveView_.Refresh(session_->Capture().ReceivedText()); }

// One tick of the poll timer. New text shows within the view's refresh
// interval while connected, and at once when the connection has just ended.
void MainForm::OnUSBCommTick() {
  session_->Tick();
  ShowProblem();
  if (session_->Connected())
    liveView_.Poll(session_->Capture().ReceivedText());
  else
    liveView_.Flush(session_->Capture().ReceivedText());
}

void MainForm::CmdSaveAsClick() {
  if (saving_) return;
  saving_ = true;
  save::CommonSaveDialog dialog(hwnd());
  save::ApplicationMessageBox messages(hwnd());
  session_->Save({*settings_, dialog, messages});
  ShowProblem();
  saving_ = false;
  // An Exit that arrived while the flow ran is carried out now.
  if (closeAfterSave_) {
    closeAfterSave_ = false;
    PostMessageA(hwnd(), WM_CLOSE, 0, 0);
  }
}

// The captions follow a model that the save recognised in the text.
void MainForm::ShowConvertResult(const convert::ConvertResult&, bool modelSwitched) {
  if (!modelSwitched) return;
  SetWindowTextA(hwnd(), Caption(session_->Capture().ModelName()).c_str());
  DisplayTimerTick();
}

void MainForm::RestoreCurrentDirectory() { SetCurrentDirectoryA(settings_->AppDirectory().c_str()); }

void MainForm::RequestClose() {
  // Never destroy the window under a running save: close once it is done.
  if (saving_) {
    closeAfterSave_ = true;
    return;
  }
  if (askingToClose_) return;
  bool discard = false;
  if (session_->HasUnsavedText()) {
    askingToClose_ = true;
    const int answer = MessageBoxA(hwnd(), "Received data has not been saved. Exit anyway?", "Seamlog",
                                   MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    askingToClose_ = false;
    if (answer != IDYES) return;
    discard = true;
  }
  StopTimers();
  session_->Exit(discard);
  DestroyWindow(hwnd());
}

void MainForm::StopTimers() {
  usbCommTimer_->Disable();
  KillTimer(hwnd(), kDisplayTimerId);
}

LRESULT MainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) break;
      if (LOWORD(wParam) == ids::kCmdSaveAsCmd) CmdSaveAsClick();
      if (LOWORD(wParam) == ids::kEndCommand) RequestClose();
      return 0;
    case WM_TIMER:
      if (wParam == kDisplayTimerId) DisplayTimerTick();
      return 0;
    case USBCommTimer::kTickMessage:
      usbCommTimer_->Dispatch(wParam, [this] { OnUSBCommTick(); });
      return 0;
    case WM_DRAWITEM:
      DrawPicture(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_CTLCOLORSTATIC:
      // The read-only live view keeps the look of an ordinary text box.
      if (reinterpret_cast<HWND>(lParam) != liveText_) break;
      SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
      SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_CLOSE:
      RequestClose();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;  // the system is shutting down: never hold it up
    case WM_ENDSESSION:
      // The device is closed and the journal is on the disk; the timers stop
      // so that no tick opens the device again.
      if (wParam) {
        StopTimers();
        session_->EndOfSystemSession();
      }
      return 0;
    case kShowNoticeMessage:
      ShowNextNotice();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
#ifdef SEAMLOG_TEST_HOOK
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data->dwData != ids::kTestReceivedTextTag) break;
      session_->Capture().AppendText(std::string_view(static_cast<const char*>(data->lpData), data->cbData));
      liveView_.Refresh(session_->Capture().ReceivedText());  // the driver reads the view at once
      return TRUE;
    }
#endif
  }
#ifdef SEAMLOG_TEST_HOOK
  static const UINT testRunTimeError = RegisterWindowMessageA(ids::kTestRunTimeErrorMessage);
  if (message == testRunTimeError) throw std::runtime_error("Test failure raised by the GUI test driver");
#endif
  return Default(message, wParam, lParam);
}

}  // namespace seamlog::shell
