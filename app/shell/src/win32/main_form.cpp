#include "main_form.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "control_ids.h"
#include "resource.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/save/common_save_dialog.h"
#include "seamlog/save/table_file.h"
#include "seamlog/shell/status.h"
#include "ui.h"

namespace seamlog::shell {
namespace {

constexpr UINT_PTR kDisplayTimerId = 1;
constexpr UINT_PTR kUSBCommTimerId = 2;
constexpr UINT kDisplayPeriod = 1000;
constexpr UINT kPollPeriodNotConnected = 1000;
constexpr UINT kPollPeriodConnected = 1;

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
constexpr int kOuterWidthTwips = 8040;
constexpr int kOuterHeightTwips = 7212;

// The converter's progress goes straight to the window's progress bar.
class ProgressToBar final : public convert::ProgressSink {
 public:
  explicit ProgressToBar(MainForm& form) : form_(form) {}
  void StartProgress(std::int16_t n) override { form_.StartProgress(n); }
  void SetProgress(std::int16_t n) override { form_.SetProgress(n); }

 private:
  MainForm& form_;
};

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

std::string Caption(const std::string& modelName) { return "Seamlog <" + modelName + ">"; }

// The poll cycle's view of the main window.
class LinkHost final : public link::PollHost {
 public:
  LinkHost(MainForm& form, link::LiveTextView& view) : form_(form), view_(view) {}
  bool Connected() const override { return form_.Connected(); }
  void SetConnected(bool flag) override { form_.SetConnected(flag); }
  std::string& ReceivedText() override { return form_.ReceivedText; }
  void ShowLiveText() override { view_.Changed(form_.ReceivedText); }

 private:
  MainForm& form_;
  link::LiveTextView& view_;
};

}  // namespace

MainForm::MainForm(convert::Model model) { SetModel(model); }

MainForm::~MainForm() = default;

void MainForm::SetModel(convert::Model model) {
  const convert::ModelRow& row = convert::modelRow(model);
  modelName_ = std::string(row.name);
  modelIndex_ = row.index;
  recordTextLength_ = row.recordTextLength;
}

void MainForm::Load() {
  const int dpi = ScreenDpi();
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SEAMLOG));
  if (!CreateTopLevel(ids::kMainFormClass, "Seamlog", kStyle, kExStyle,
                      TwipsToPixels(kOuterWidthTwips, dpi), TwipsToPixels(kOuterHeightTwips, dpi), icon))
    ReportRunTimeError("The main window cannot be created.");
  CreateControls();
  SetTimer(hwnd(), kDisplayTimerId, kDisplayPeriod, nullptr);

  // 1, 2: the program's directory, made the current directory.
  settings_ = std::make_unique<Settings>(ini_, ProgramDirectory());
  SetCurrentDirectoryA(settings_->AppDirectory().c_str());
  // 3: the remembered save directory.
  settings_->LoadSettings();
  // 4: no device yet.
  connected_ = false;
  // 5: nothing received.
  ReceivedText.clear();
  SetWindowTextA(liveText_, "");
  // 6: the poll timer tries to open the device once a second.
  usbCommTimer_->SetInterval(kPollPeriodNotConnected);
  usbCommTimer_->Enable();
  // 7
  SetupMainWindow();
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
  if (!link::LiveTextControl::Register()) ReportRunTimeError("The live text box cannot be created.");
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

  usbCommTimer_ = std::make_unique<USBCommTimer>(hwnd(), kUSBCommTimerId);
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
  SetWindowTextA(hwnd(), Caption(modelName_).c_str());
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
}

// Painting is slow next to converting a record, so the bar is painted only
// when the new value moves its edge by at least one pixel.
void MainForm::SetProgress(std::int16_t value) {
  RECT bar;
  GetClientRect(informationBar_, &bar);
  const int pixel = MulDiv(value, bar.right - bar.left, progressMaximum_);
  if (pixel == paintedPixel_ && value != progressMaximum_) return;
  RepaintProgressNow(value);
  paintedPixel_ = pixel;
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
  connected_ = flag;
  ShowWindow(usbConnectPicture_[1], flag ? SW_SHOW : SW_HIDE);
  ShowWindow(usbConnectPicture_[0], flag ? SW_HIDE : SW_SHOW);
  usbCommTimer_->Disable();
  usbCommTimer_->SetInterval(flag ? kPollPeriodConnected : kPollPeriodNotConnected);
  usbCommTimer_->Enable();
  if (!flag) SetFocus(endCommand_);
}

void MainForm::DisplayTimerTick() {
  SetTextIfChanged(informationLabel_, ReceivedCaption(ReceivedText.size(), recordTextLength_));
}

void MainForm::DrawPicture(const DRAWITEMSTRUCT& item) {
  const int index = item.CtlID == static_cast<UINT>(ids::kUSBConnectPicture1) ? 1 : 0;
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  DrawIconEx(item.hDC, item.rcItem.left, item.rcItem.top, pictures_[index].get(),
             item.rcItem.right - item.rcItem.left, item.rcItem.bottom - item.rcItem.top, 0,
             nullptr, DI_NORMAL);
}

// ---- received text ----------------------------------------------------------

void MainForm::AppendLiveText(std::string_view text) {
  if (text.empty()) return;
  ReceivedText.append(text);
  ShowLiveView();
}

void MainForm::ShowLiveView() {
  // Appends to the text box and trims its head; never replaces all of it.
  liveView_.Refresh(ReceivedText);
}

// ---- USB link ----------------------------------------------------------------

// One tick of the poll timer. The connection and poll cycle plugs in here.
void MainForm::OnUSBCommTick() {
  LinkHost host(*this, liveView_);
  pollCycle_.Tick(host);
  // New text shows within the view's refresh interval while connected, and
  // at once when the connection has just ended.
  if (connected_)
    liveView_.Poll(ReceivedText);
  else
    liveView_.Flush(ReceivedText);
}

// Called as the main window unloads: a connected device is closed here.
void MainForm::OnUnloadLink() {
  LinkHost host(*this, liveView_);
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
  save::SaveAsFlow(*this, dialog, messages, files, *settings_).Run();
  saving_ = false;
  // An Exit that arrived while the flow ran is carried out now.
  if (closeAfterSave_) {
    closeAfterSave_ = false;
    PostMessageA(hwnd(), WM_CLOSE, 0, 0);
  }
}

void MainForm::EnableSaveButton(bool enabled) { EnableWindow(cmdSaveAsCmd_, enabled); }

convert::ConvertResult MainForm::ConvertReceivedText(convert::RowWriter& out) {
  const convert::Model recognised = convert::recogniseModel(ReceivedText);
  if (recognised != modelIndex_) {
    SetModel(recognised);
    SetWindowTextA(hwnd(), Caption(modelName_).c_str());
    SetWindowTextA(informationLabel_,
                   ReceivedCaption(ReceivedText.size(), recordTextLength_).c_str());
  }
  ProgressToBar progress(*this);
  return convert::ConvertReceivedText(ReceivedText, out, progress);
}

// Empties what the save dealt with. A record still arriving when the save
// began, and text that arrived while the completion message was open, were
// not saved and stay for the next save.
void MainForm::ClearReceivedText(std::size_t consumedLength) {
  const std::size_t saved = std::min(consumedLength, ReceivedText.size());
  SetWindowTextA(liveText_, "");
  ReceivedText.erase(0, saved);
  liveView_.Refresh(std::string());
  if (!ReceivedText.empty()) ShowLiveView();
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
  if (!ReceivedText.empty()) {
    askingToClose_ = true;
    const int answer = MessageBoxA(hwnd(), "Received data has not been saved. Exit anyway?",
                                   "Seamlog", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    askingToClose_ = false;
    if (answer != IDYES) return;
  }
  Unload();
}

void MainForm::Unload() {
  OnUnloadLink();
  usbCommTimer_->Disable();
  KillTimer(hwnd(), kDisplayTimerId);
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
      if (wParam == kUSBCommTimerId) OnUSBCommTick();
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
      if (wParam) OnUnloadLink();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
#ifdef SEAMLOG_TEST_HOOK
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data->dwData != ids::kTestReceivedTextTag) break;
      AppendLiveText(std::string_view(static_cast<const char*>(data->lpData), data->cbData));
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
