#include "gui_automation/seamlog_windows.h"

#include <dlgs.h>

#include "control_ids.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"

namespace automation {

namespace ids = seamlog::shell::ids;

std::string MainWindow::Caption() const { return Text(window); }
std::string MainWindow::Label() const { return Text(Item(ids::kInformationLabel)); }
std::string MainWindow::Live() const { return Text(Item(ids::kLiveText)); }

int MainWindow::Indicator() const {
  const bool off = Visible(Item(ids::kUSBConnectPicture0));
  const bool on = Visible(Item(ids::kUSBConnectPicture1));
  return off == on ? -1 : (on ? 1 : 0);
}

HWND WaitForModelDialog(const Program& program, DWORD milliseconds) {
  HWND dialog = program.RequireWindow(ids::kSelectModelDialogClass, "", milliseconds);
  WaitFor(
      [&] {
        HWND combo = GetDlgItem(dialog, ids::kSplModelCombo);
        if (combo == nullptr || GetDlgItem(dialog, ids::kCancelButton) == nullptr) return false;
        const std::string offered = Text(combo);
        return !offered.empty() && offered != "<no answer>";
      },
      10000);
  return dialog;
}

MainWindow OpenMainWindow(const Program& program, const std::string& modelText) {
  HWND dialog = WaitForModelDialog(program);
  if (!modelText.empty()) SetText(GetDlgItem(dialog, ids::kSplModelCombo), modelText);
  Click(dialog, ids::kOKButton);
  return MainWindow{program.RequireWindow(ids::kMainFormClass)};
}

void SelectModel(HWND modelDialog, const std::string& model) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(GetDlgItem(modelDialog, ids::kSplModelCombo), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(model.c_str()), SMTO_ABORTIFHUNG, 5000, &ignored);
}

HWND StartWithOfferedModel(Program& program) {
  program.Start("C:\\");
  HWND dialog = WaitForModelDialog(program, 90000);
  Click(dialog, ids::kOKButton);
  return program.RequireWindow(ids::kMainFormClass);
}

void TypeFileName(HWND saveDialog, const std::string& path) {
  HWND name = GetDlgItem(saveDialog, cmb13);
  if (name == nullptr) name = GetDlgItem(saveDialog, edt1);
  if (name == nullptr) Fail("the Save dialog has no file name field");
  SetText(name, path);
}

HWND FillSaveAsDialog(const Program& program, HWND main, const std::string& path, DWORD milliseconds) {
  Click(main, ids::kCmdSaveAsCmd);
  HWND dialog = program.RequireWindow("#32770", "Write File", milliseconds);
  TypeFileName(dialog, path);
  return dialog;
}

bool SaveAs(const Program& program, HWND main, const std::string& path) {
  Click(FillSaveAsDialog(program, main, path), IDOK);
  HWND done = nullptr;
  WaitFor([&] { return (done = program.FindDialogSaying("Data save completed.")) != nullptr; }, 30000);
  if (done != nullptr) Click(done, IDOK);
  return done != nullptr;
}

bool ExitSeamlog(const Program& program, HWND main, DWORD milliseconds) {
  Click(main, ids::kEndCommand);
  return WaitFor(
      [&] {
        if (HWND ask = program.FindDialogSaying("Exit anyway?")) ClickIfThere(ask, IDYES);
        return !program.Running();
      },
      milliseconds);
}

void Inject(HWND main, const std::string& text) {
  constexpr std::size_t kChunk = 1024 * 1024;
  for (std::size_t at = 0; at < text.size(); at += kChunk) {
    const std::string piece = text.substr(at, kChunk);
    COPYDATASTRUCT data{ids::kTestReceivedTextTag, static_cast<DWORD>(piece.size()),
                        const_cast<char*>(piece.data())};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(main, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 30000,
                             &result) ||
        result != TRUE)
      Fail("the program did not take the injected text (is it SeamlogTestHook.exe?)");
  }
}

std::string ModelARecord(int number) {
  std::string separator = std::string(31, '-') + "\r\n" + std::string(31, ' ') + "\r\n";
  std::string body(552, ' ');
  const std::string no = std::to_string(number);
  body.replace(34, no.size(), no);
  body.replace(68, 3, "0.4");
  body.replace(550, 2, "\r\n");
  return separator + body;
}

std::string ModelARecords(int count) {
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * 618);
  for (int i = 1; i <= count; ++i) text += ModelARecord(i);
  return text;
}

int RunConvert(const std::string& convert, const std::string& options, const std::string& input,
               const std::string& output, DWORD milliseconds) {
  return RunProcess("\"" + convert + "\" " + options + " \"" + input + "\" \"" + output + "\"", milliseconds);
}

}  // namespace automation
