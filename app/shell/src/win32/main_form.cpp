#include "main_form.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "control_ids.h"
#include "resource.h"
#include "seamlog_version.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/save/common_save_dialog.h"
#include "seamlog/save/table_file.h"
#include "seamlog/shell/status.h"
#include "ui.h"
#include "win32util/run_time_error.h"

namespace seamlog::shell {
namespace {

constexpr UINT_PTR kDisplayTimerId = 1;
constexpr UINT kDisplayPeriod = 1000;
// The progress bar is painted at most this often while a save runs.
constexpr DWORD kProgressPaintMs = 40;
// Shows the next waiting notice (recovery, journal problems) from the loop.
constexpr UINT kShowNoticeMessage = WM_APP + 0x52;

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
constexpr int kOuterWidthTwips = 8040;
constexpr int kOuterHeightTwips = 7212;

class TableFiles final : public save::OutputFiles {
 public:
  std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path,
                                                    std::string& error) override {
    return save::TableFile::OpenForAppend(path, error);
  }
};

void SetTextIfChanged(HWND control, const std::string& text) {
  char current[256] = {};
  GetWindowTextA(control, current, sizeof current);
  if (text != current) SetWindowTextA(control, text.c_str());
}

std::string Caption(std::string_view modelName) { return "Seamlog <" + std::string(modelName) + ">"; }

// The poll cycle's view of the main window.
class LinkHost final : public link::PollHost {
 public:
  explicit LinkHost(MainForm& form) : form_(form) {}
  bool Connected() const override { return form_.Connected(); }
  void SetConnected(bool flag) override { form_.SetConnected(flag); }

 private:
  MainForm& form_;
};

}  // namespace

MainForm::MainForm(convert::Model model) : capture_(model) { capture_.AddObserver(*this); }

MainForm::~MainForm() { capture_.RemoveObserver(*this); }

void MainForm::Load() {
  const int dpi = ScreenDpi();
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SEAMLOG));
  if (!CreateTopLevel(ids::kMainFormClass, "Seamlog", kStyle, kExStyle,
                      TwipsToPixels(kOuterWidthTwips, dpi), TwipsToPixels(kOuterHeightTwips, dpi), icon)) {
    win32util::ShowRunTimeError(0, "The main window cannot be created.");
    return;
  }
  // A run-time error box belongs to this window, in front of it even when
  // another program is active.
  win32util::SetRunTimeErrorOwner(hwnd());
  CreateControls();
  SetTimer(hwnd(), kDisplayTimerId, kDisplayPeriod, nullptr);

  // 1, 2: the program's directory, made the current directory.
  settings_ = std::make_unique<Settings>(ini_, ProgramDirectory());
  SetCurrentDirectoryA(settings_->AppDirectory().c_str());
  // 3: the remembered save directory.
  settings_->LoadSettings();
  // 4: no device yet.
  connected_ = false;
  // 5: nothing received; the live view empties with the text.
  capture_.Clear();
  // 6: the poll timer tries to open the device once a second.
  usbCommTimer_->SetInterval(link::PollPeriodMs(false));
  usbCommTimer_->Enable();
  // 7
  SetupMainWindow();
  // Before the first tick can append: the journal, with what an earlier run
  // left unsaved.
  StartJournalAndLog();
}

void MainForm::StartJournalAndLog() {
  const std::string& folder = settings_->AppDirectory();
  logFiles_ = diagnostics::MakeLogFiles(folder);
  logClock_ = diagnostics::MakeLogClock();
  log_ = std::make_unique<diagnostics::DiagnosticsLog>(*logFiles_, *logClock_);
  log_->Started(SEAMLOG_VERSION_STRING, capture_.ModelName());
  pollCycle_.ReportTo(*this);
  journalFiles_ = journal::MakeJournalFiles(folder);
  journal_ = std::make_unique<JournalKeeper>(capture_, *journalFiles_, *log_);
  if (auto notice = journal_->Recover()) {
    liveView_.Refresh(capture_.ReceivedText());
    DisplayTimerTick();
    Notify(std::move(notice->text), notice->damaged ? MB_ICONEXCLAMATION : MB_ICONINFORMATION);
  }
  ShowJournalProblem();
}

// A journal that stopped is reported once; receiving goes on regardless.
void MainForm::ShowJournalProblem() {
  if (!journal_) return;
  if (auto problem = journal_->TakeProblem()) Notify(std::move(*problem), MB_ICONEXCLAMATION);
}

// Message boxes wait for the message loop: never inside a tick or a load.
void MainForm::Notify(std::string text, UINT icon) {
  notices_.emplace_back(std::move(text), icon);
  PostMessageA(hwnd(), kShowNoticeMessage, 0, 0);
}

void MainForm::ShowNextNotice() {
  if (notices_.empty()) return;
  const auto [text, icon] = notices_.front();
  notices_.pop_front();
  MessageBoxA(hwnd(), text.c_str(), "Seamlog", MB_OK | icon);
}

void MainForm::CreateControls() {
  const int dpi = ScreenDpi();
  controlFont_ = MessageFont();
  liveTextFont_ = FixedPitchFont(9, dpi);

  const RECT picture = TwipsRect(120, 120, 495, 495, dpi);
  const int pictureIds[2] = {ids::kUSBConnectPicture0, ids::kUSBConnectPicture1};
  const int pictureIcons[2] = {IDI_NOT_CONNECTED, IDI_CONNECTED};
  for (int i = 0; i < 2; ++i) {
    usbConnectPicture_[i] = CreateChild(hwnd(), "STATIC", "", SS_OWNERDRAW, pictureIds[i], picture);
    pictures_[i].Reset(static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr),
                                                     MAKEINTRESOURCEA(pictureIcons[i]), IMAGE_ICON,
                                                     picture.right - picture.left,
                                                     picture.bottom - picture.top, 0)));
  }
  informationLabel_ = CreateChild(hwnd(), "STATIC", "", WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE,
                                  ids::kInformationLabel, TwipsRect(720, 120, 5052, 372, dpi));
  cmdSaveAsCmd_ = CreateChild(hwnd(), "BUTTON", "", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                              ids::kCmdSaveAsCmd, TwipsRect(5880, 120, 1935, 375, dpi));
  // The live view: a read-only text box that, unlike EDIT, takes appends and
  // head trims at a cost independent of the text it holds.
  if (!link::LiveTextControl::Register()) win32util::ShowRunTimeError(0, "The live text box cannot be created.");
  liveText_ = CreateChild(hwnd(), "SeamlogLiveText", "",
                          WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY,
                          ids::kLiveText, TwipsRect(120, 600, 7695, 5532, dpi), WS_EX_CLIENTEDGE);
  liveView_.Attach(liveText_);
  informationBar_ = CreateChild(hwnd(), PROGRESS_CLASSA, "", 0, ids::kInformationBar,
                                TwipsRect(120, 6240, 5652, 372, dpi));
  endCommand_ = CreateChild(hwnd(), "BUTTON", "", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                            ids::kEndCommand, TwipsRect(5880, 6240, 1935, 375, dpi));
  for (HWND control : {informationLabel_, cmdSaveAsCmd_, endCommand_})
    SetFont(control, controlFont_.get());
  SetFont(liveText_, liveTextFont_.get());

  usbCommTimer_ = std::make_unique<USBCommTimer>(hwnd());
}

void MainForm::SetupMainWindow() {
  DisableInformation(true);
  const int dpi = ScreenDpi();
  SetWindowPos(hwnd(), nullptr, 0, 0, TwipsToPixels(kOuterWidthTwips, dpi),
               TwipsToPixels(kOuterHeightTwips, dpi), SWP_NOMOVE | SWP_NOZORDER);
  ShowWindow(hwnd(), SW_SHOW);
  UpdateWindow(hwnd());
  SetWindowTextA(informationLabel_, "");
  SetConnected(false);
  SetWindowTextA(hwnd(), Caption(capture_.ModelName()).c_str());
  SetWindowTextA(cmdSaveAsCmd_, "Save As (&S)");
  SetWindowTextA(endCommand_, "Exit (&Q)");
}

// ---- status display -------------------------------------------------------

void MainForm::DisableInformation(bool flag) {
  EnableWindow(informationLabel_, !flag);
  // The bar's in-use state is its visibility.
  ShowWindow(informationBar_, flag ? SW_HIDE : SW_SHOW);
}

void MainForm::StartProgress(std::int16_t steps) {
  const ProgressRange range = StartProgressRange(steps);
  ShowWindow(informationBar_, SW_SHOW);
  SendMessageA(informationBar_, PBM_SETPOS, static_cast<WPARAM>(range.value), 0);
  SendMessageA(informationBar_, PBM_SETRANGE32, static_cast<WPARAM>(range.minimum), range.maximum);
  progressMaximum_ = range.maximum;
  RepaintProgressNow(range.value);
  paintedPixel_ = 0;
  paintedAt_ = GetTickCount();
}

// Painting the bar costs about a millisecond, converting a record a few
// microseconds: painting every pixel of a 32,000-record save took longer
// than the conversion and the file together. So the bar is painted when its
// edge moves by a pixel and the last painting is kProgressPaintMs old, and
// always at the end of the run.
void MainForm::SetProgress(std::int16_t value) {
  const bool last = value >= progressMaximum_;
  const DWORD now = GetTickCount();
  if (!last && now - paintedAt_ < kProgressPaintMs) return;
  RECT bar;
  GetClientRect(informationBar_, &bar);
  const int pixel = MulDiv(value, bar.right - bar.left, progressMaximum_);
  if (pixel == paintedPixel_ && !last) return;
  RepaintProgressNow(value);
  paintedPixel_ = pixel;
  paintedAt_ = now;
}

// A save converts without giving the message loop a turn, so the bar is
// painted at once. A themed bar animates forward steps from its own timer,
// which would not run; a step back is drawn immediately, so the bar goes one
// past the value and then back to it.
void MainForm::RepaintProgressNow(int value) {
  const int maximum = progressMaximum_;
  if (value >= maximum) SendMessageA(informationBar_, PBM_SETRANGE32, 0, maximum + 1);
  SendMessageA(informationBar_, PBM_SETPOS, static_cast<WPARAM>(value + 1), 0);
  SendMessageA(informationBar_, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  if (value >= maximum) SendMessageA(informationBar_, PBM_SETRANGE32, 0, maximum);
  UpdateWindow(informationBar_);
}

void MainForm::SetConnected(bool flag) {
  // The splicer went away: what it sent goes onto the disk now.
  if (connected_ && !flag && journal_) journal_->Flush();
  connected_ = flag;
  ShowWindow(usbConnectPicture_[1], flag ? SW_SHOW : SW_HIDE);
  ShowWindow(usbConnectPicture_[0], flag ? SW_HIDE : SW_SHOW);
  usbCommTimer_->Disable();
  usbCommTimer_->SetInterval(link::PollPeriodMs(flag));
  usbCommTimer_->Enable();
  if (!flag) SetFocus(endCommand_);
}

void MainForm::DisplayTimerTick() {
  SetTextIfChanged(informationLabel_,
                   ReceivedCaption(capture_.ReceivedText().size(), capture_.RecordTextLength()));
}

void MainForm::DrawPicture(const DRAWITEMSTRUCT& item) {
  const int index = item.CtlID == static_cast<UINT>(ids::kUSBConnectPicture1) ? 1 : 0;
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  DrawIconEx(item.hDC, item.rcItem.left, item.rcItem.top, pictures_[index].get(),
             item.rcItem.right - item.rcItem.left, item.rcItem.bottom - item.rcItem.top, 0,
             nullptr, DI_NORMAL);
}

// ---- received text ----------------------------------------------------------

// New text shows within the view's refresh interval; see OnUSBCommTick.
void MainForm::TextAppended(std::string_view) { liveView_.Changed(capture_.ReceivedText()); }

// A save or the window's load removed text: the view shows what is left at once.
void MainForm::TextDiscarded(std::size_t) { liveView_.Refresh(capture_.ReceivedText()); }

// ---- USB link ----------------------------------------------------------------

// One tick of the poll timer. The connection and poll cycle plugs in here.
void MainForm::OnUSBCommTick() {
  LinkHost host(*this);
  pollCycle_.Tick(host);
  if (journal_) {
    journal_->Tick();
    ShowJournalProblem();
  }
  // New text shows within the view's refresh interval while connected, and
  // at once when the connection has just ended.
  if (connected_)
    liveView_.Poll(capture_.ReceivedText());
  else
    liveView_.Flush(capture_.ReceivedText());
}

// Called as the main window unloads: a connected device is closed here.
void MainForm::OnUnloadLink() {
  LinkHost host(*this);
  pollCycle_.Unload(host);
  connected_ = false;  // closed once, however often unloading is reached
}

// ---- Save As -------------------------------------------------------------------

void MainForm::CmdSaveAsClick() {
  if (saving_) return;
  saving_ = true;
  save::CommonSaveDialog dialog(hwnd());
  save::ApplicationMessageBox messages(hwnd());
  TableFiles files;
  save::SaveAsFlow flow(capture_, *this, *settings_, dialog, messages, files);
  const save::SaveReport report = flow.Run();
  LogSave(report, flow.ChosenFilePath());
  ShowJournalProblem();
  saving_ = false;
  // An Exit that arrived while the flow ran is carried out now.
  if (closeAfterSave_) {
    closeAfterSave_ = false;
    PostMessageA(hwnd(), WM_CLOSE, 0, 0);
  }
}

void MainForm::LogSave(const save::SaveReport& report, const std::string& file) {
  if (!log_ || report.outcome == save::SaveOutcome::Cancelled) return;
  diagnostics::SaveEntry entry;
  entry.file = file;
  entry.model = std::string(capture_.ModelName());
  entry.reason = report.reason;
  if (report.conversion) entry.records = report.conversion->recordCount;
  if (report.outcome == save::SaveOutcome::Saved)
    entry.outcome = diagnostics::SaveOutcome::Completed;
  else if (report.conversion && report.conversion->outcome == convert::ConvertOutcome::Stopped)
    entry.outcome = diagnostics::SaveOutcome::Stopped;
  else if (file.empty())
    entry.outcome = diagnostics::SaveOutcome::NothingToSave;
  else
    entry.outcome = diagnostics::SaveOutcome::Failed;
  log_->Saved(entry);
}

void MainForm::EnableSaveButton(bool enabled) { EnableWindow(cmdSaveAsCmd_, enabled); }

// The captions follow a model that the save recognised in the text.
void MainForm::ShowConvertResult(const convert::ConvertResult&, bool modelSwitched) {
  if (!modelSwitched) return;
  SetWindowTextA(hwnd(), Caption(capture_.ModelName()).c_str());
  SetWindowTextA(informationLabel_,
                 ReceivedCaption(capture_.ReceivedText().size(), capture_.RecordTextLength()).c_str());
}

void MainForm::RestoreCurrentDirectory() {
  SetCurrentDirectoryA(settings_->AppDirectory().c_str());
}

// ---- closing ---------------------------------------------------------------------

void MainForm::RequestClose() {
  // Never destroy the window under a running save: close once it is done.
  if (saving_) {
    closeAfterSave_ = true;
    return;
  }
  if (askingToClose_) return;
  if (!capture_.Empty()) {
    askingToClose_ = true;
    const int answer = MessageBoxA(hwnd(), "Received data has not been saved. Exit anyway?",
                                   "Seamlog", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    askingToClose_ = false;
    if (answer != IDYES) return;
  }
  Unload();
}

void MainForm::StopLinkAndTimers() {
  OnUnloadLink();
  usbCommTimer_->Disable();
  KillTimer(hwnd(), kDisplayTimerId);
  if (journal_) journal_->Flush();
}

void MainForm::Unload() {
  StopLinkAndTimers();
  if (journal_) journal_->Close();
  if (log_) log_->Exiting();
  DestroyWindow(hwnd());
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
      if (reinterpret_cast<HWND>(lParam) == liveText_) {
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_CLOSE:
      RequestClose();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;  // the system is shutting down: never hold it up
    case WM_ENDSESSION:
      // The session ends and the program with it: the device is closed, and
      // the timers stop so that no tick opens it again.
      if (wParam) StopLinkAndTimers();
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
      capture_.AppendText(std::string_view(static_cast<const char*>(data->lpData), data->cbData));
      liveView_.Refresh(capture_.ReceivedText());  // the driver reads the view at once
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
