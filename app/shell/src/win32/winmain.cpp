// Seamlog: fetches splice records from a fusion splicer, shows them and
// saves them as comma-separated tables.
#include <windows.h>
#include <commctrl.h>

#include "main_form.h"
#include "select_model_dialog.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  std::optional<seamlog::convert::Model> model;
  {
    seamlog::shell::SelectModelDialog dialog;
    model = dialog.Run();
  }
  if (!model) return 0;

  seamlog::shell::MainForm mainForm(*model);
  mainForm.Load();

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    // Gives the buttons their Alt access keys and Tab its way round.
    if (mainForm.hwnd() && IsDialogMessageA(mainForm.hwnd(), &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
