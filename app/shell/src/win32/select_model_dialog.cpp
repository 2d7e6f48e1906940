#include "select_model_dialog.h"

#include <string>

#include "control_ids.h"
#include "resource.h"
#include "ui.h"
#include "win32util/run_time_error.h"

namespace seamlog::shell {
namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_DLGFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
// Client area in twips: the frame and the buttons with a margin of 120.
constexpr int kClientWidth = 3120 + 1215 + 120;
constexpr int kClientHeight = 120 + 852 + 120;

std::string WindowText(HWND window) {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
  text.resize(static_cast<std::size_t>(GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace

std::optional<convert::Model> SelectModelDialog::Run() {
  const int dpi = ScreenDpi();
  RECT outer{0, 0, TwipsToPixels(kClientWidth, dpi), TwipsToPixels(kClientHeight, dpi)};
  AdjustWindowRectEx(&outer, kStyle, FALSE, kExStyle);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SEAMLOG));
  if (!CreateTopLevel(ids::kSelectModelDialogClass, "", kStyle, kExStyle, width, height, icon)) {
    win32util::ShowRunTimeError(0, "The model selection dialog cannot be created.");
    return std::nullopt;
  }

  Load();
  SetWindowPos(hwnd(), nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(hwnd(), SW_SHOW);
  SetFocus(splModelCombo_);

  MSG message;
  while (!done_ && GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(hwnd(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return choice_;
}

void SelectModelDialog::Load() {
  const int dpi = ScreenDpi();
  font_ = MessageFont();
  splModelFrame_ = CreateChild(hwnd(), "BUTTON", "Select Model", WS_VISIBLE | BS_GROUPBOX,
                               ids::kSplModelFrame, TwipsRect(120, 120, 2892, 852, dpi));
  // The drop-down's height includes its list.
  splModelCombo_ = CreateChild(hwnd(), "COMBOBOX", "",
                               WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL,
                               ids::kSplModelCombo, TwipsRect(240, 480, 2532, 1800, dpi));
  okButton_ = CreateChild(hwnd(), "BUTTON", "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                          ids::kOKButton, TwipsRect(3120, 120, 1215, 375, dpi));
  cancelButton_ = CreateChild(hwnd(), "BUTTON", "Cancel", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                              ids::kCancelButton, TwipsRect(3120, 600, 1215, 375, dpi));
  for (HWND control : {splModelFrame_, splModelCombo_, okButton_, cancelButton_})
    SetFont(control, font_.get());

  SetWindowTextA(hwnd(), "Seamlog ");
  for (convert::Model model : {convert::Model::A, convert::Model::B, convert::Model::C}) {
    const std::string name(convert::ModelRowOf(model).name);
    SendMessageA(splModelCombo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  SendMessageA(splModelCombo_, CB_SETCURSEL, 0, 0);
}

void SelectModelDialog::OKClick() {
  // The text must be one of the names exactly; anything else ends the program.
  Finish(convert::ModelFromName(WindowText(splModelCombo_)));
}

void SelectModelDialog::Finish(std::optional<convert::Model> choice) {
  choice_ = choice;
  done_ = true;
  DestroyWindow(hwnd());
}

LRESULT SelectModelDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED || lParam == 0) {
        if (LOWORD(wParam) == ids::kOKButton) OKClick();
        if (LOWORD(wParam) == ids::kCancelButton) Finish(std::nullopt);
        return 0;
      }
      break;
    case WM_CLOSE:
      Finish(std::nullopt);
      return 0;
    case WM_DESTROY:
      done_ = true;
      return 0;
  }
  return Default(message, wParam, lParam);
}

}  // namespace seamlog::shell
