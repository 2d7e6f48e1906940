// The main window's controls: where they sit, how they look, and the status
// display (connection indicator, label and progress bar in or out of use).
#include <windows.h>

#include <commctrl.h>

#include "control_ids.h"
#include "live_text_control.h"
#include "main_form.h"
#include "resource.h"
#include "ui.h"
#include "win32util/run_time_error.h"

namespace seamlog::shell {

void MainForm::CreateControls() {
  const int dpi = ScreenDpi();
  controlFont_ = MessageFont();
  liveTextFont_ = FixedPitchFont(9, dpi);

  const RECT picture = TwipsRect(120, 120, 495, 495, dpi);
  const int pictureIds[2] = {ids::kUSBConnectPicture0, ids::kUSBConnectPicture1};
  const int pictureIcons[2] = {IDI_NOT_CONNECTED, IDI_CONNECTED};
  for (int i = 0; i < 2; ++i) {
    usbConnectPicture_[i] = CreateChild(hwnd(), "STATIC", "", SS_OWNERDRAW, pictureIds[i], picture);
    pictures_[i].Reset(static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(pictureIcons[i]), IMAGE_ICON,
                   picture.right - picture.left, picture.bottom - picture.top, 0)));
  }
  informationLabel_ = CreateChild(hwnd(), "STATIC", "", WS_VISIBLE | SS_LEFT | SS_CENTERIMAGE,
                                  ids::kInformationLabel, TwipsRect(720, 120, 5052, 372, dpi));
  cmdSaveAsCmd_ = CreateChild(hwnd(), "BUTTON", "", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                              ids::kCmdSaveAsCmd, TwipsRect(5880, 120, 1935, 375, dpi));
  // The live view: a read-only text box that, unlike EDIT, takes appends and
  // head trims at a cost independent of the text it holds.
  if (!link::LiveTextControl::Register())
    win32util::ShowRunTimeError(0, "The live text box cannot be created.");
  liveText_ = CreateChild(hwnd(), "SeamlogLiveText", "",
                          WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY, ids::kLiveText,
                          TwipsRect(120, 600, 7695, 5532, dpi), WS_EX_CLIENTEDGE);
  liveView_.Attach(liveText_);
  progress_.Attach(CreateChild(hwnd(), PROGRESS_CLASSA, "", 0, ids::kInformationBar,
                               TwipsRect(120, 6240, 5652, 372, dpi)));
  endCommand_ = CreateChild(hwnd(), "BUTTON", "", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, ids::kEndCommand,
                            TwipsRect(5880, 6240, 1935, 375, dpi));
  for (HWND control : {informationLabel_, cmdSaveAsCmd_, endCommand_}) SetFont(control, controlFont_.get());
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
  SetWindowTextA(hwnd(), Caption(session_->Capture().ModelName()).c_str());
  SetWindowTextA(cmdSaveAsCmd_, "Save As (&S)");
  SetWindowTextA(endCommand_, "Exit (&Q)");
}

void MainForm::DisableInformation(bool flag) {
  EnableWindow(informationLabel_, !flag);
  progress_.Show(!flag);
}

void MainForm::SetConnected(bool flag) {
  ShowWindow(usbConnectPicture_[1], flag ? SW_SHOW : SW_HIDE);
  ShowWindow(usbConnectPicture_[0], flag ? SW_HIDE : SW_SHOW);
  usbCommTimer_->Disable();
  usbCommTimer_->SetInterval(link::PollPeriodMs(flag));
  usbCommTimer_->Enable();
  if (!flag) SetFocus(endCommand_);
}

void MainForm::DrawPicture(const DRAWITEMSTRUCT& item) {
  const int index = item.CtlID == static_cast<UINT>(ids::kUSBConnectPicture1) ? 1 : 0;
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  DrawIconEx(item.hDC, item.rcItem.left, item.rcItem.top, pictures_[index].get(),
             item.rcItem.right - item.rcItem.left, item.rcItem.bottom - item.rcItem.top, 0, nullptr,
             DI_NORMAL);
}

}  // namespace seamlog::shell
