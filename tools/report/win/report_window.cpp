#include "report_window.h"

#include <cderr.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

#include "resource.h"

namespace seamlog::tools {

namespace {

constexpr DWORD kOpenBufferChars = 32 * 1024;  // room for many names in one Open dialog

ReportWindowSetup* SetupOf(HWND window) {
  return reinterpret_cast<ReportWindowSetup*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

std::string TextOf(HWND window, int control) {
  char text[1024] = {};
  GetDlgItemTextA(window, control, text, sizeof text);
  return text;
}

void ShowTables(HWND window, const ReportForm& form) {
  const HWND list = GetDlgItem(window, IDC_TABLES);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);
  int widest = 0;
  for (const std::string& table : form.tables) {
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(table.c_str()));
    widest = std::max(widest, static_cast<int>(table.size()) * 7);
  }
  SendMessageA(list, LB_SETHORIZONTALEXTENT, widest, 0);
}

void SetStatus(HWND window, const std::string& text) { SetDlgItemTextA(window, IDC_STATUS, text.c_str()); }

void AddFromOpenDialog(HWND window, ReportWindowSetup& setup) {
  std::vector<char> buffer(kOpenBufferChars, '\0');
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window;
  dialog.lpstrFilter = "Seamlog tables (*.csv)\0*.csv\0All files (*.*)\0*.*\0";
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = kOpenBufferChars;
  dialog.lpstrTitle = "Tables for the splice report";
  dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetOpenFileNameA(&dialog)) {
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL)
      SetStatus(window, "Too many files at once: add fewer.");
    return;
  }
  AddTables(setup.form.tables, FilesOfOpenDialog(buffer.data(), buffer.size()));
  ShowTables(window, setup.form);
}

void AddDropped(HWND window, ReportWindowSetup& setup, HDROP drop) {
  std::vector<std::string> files;
  const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileA(drop, i, nullptr, 0);
    std::string file(length + 1, '\0');
    DragQueryFileA(drop, i, file.data(), length + 1);
    file.resize(length);
    files.push_back(std::move(file));
  }
  DragFinish(drop);
  AddTables(setup.form.tables, files);
  ShowTables(window, setup.form);
}

void RemoveSelected(HWND window, ReportWindowSetup& setup) {
  const HWND list = GetDlgItem(window, IDC_TABLES);
  for (int i = static_cast<int>(setup.form.tables.size()) - 1; i >= 0; --i) {
    if (SendMessageA(list, LB_GETSEL, static_cast<WPARAM>(i), 0) > 0) {
      setup.form.tables.erase(setup.form.tables.begin() + i);
    }
  }
  ShowTables(window, setup.form);
}

// Makes the report; true when it was written.
bool MakeAndShow(HWND window, ReportWindowSetup& setup) {
  ReportForm& form = setup.form;
  form.job = TextOf(window, IDC_JOB);
  form.operatorName = TextOf(window, IDC_OPERATOR);
  form.location = TextOf(window, IDC_LOCATION);
  form.limit = TextOf(window, IDC_LIMIT);
  report::ReportRequest request;
  std::string problem;
  if (!RequestOf(form, request, problem)) {
    SetStatus(window, problem);
    MessageBeep(MB_ICONWARNING);
    return false;
  }
  const HCURSOR previous = SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
  const report::ReportOutcome outcome = report::MakeReport(request);
  SetCursor(previous);
  SetStatus(window, OutcomeText(request, outcome));
  if (!outcome.written) {
    MessageBeep(MB_ICONWARNING);
    return false;
  }
  std::string error;
  if (!setup.open(window, request.output, error)) {
    SetStatus(window, OutcomeText(request, outcome) + " It could not be opened: " + error);
  }
  return true;
}

INT_PTR CALLBACK ReportDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* setup = reinterpret_cast<ReportWindowSetup*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
      const HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SEAMLOG_REPORT));
      SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      DragAcceptFiles(window, TRUE);
      ShowTables(window, setup->form);
      SetDlgItemTextA(window, IDC_JOB, setup->form.job.c_str());
      SetDlgItemTextA(window, IDC_OPERATOR, setup->form.operatorName.c_str());
      SetDlgItemTextA(window, IDC_LOCATION, setup->form.location.c_str());
      SetDlgItemTextA(window, IDC_LIMIT, setup->form.limit.empty() ? "0.30" : setup->form.limit.c_str());
      SetStatus(window, "The report is written beside the first table and opened in your browser.");
      if (setup->makeAndClose) PostMessageA(window, WM_COMMAND, IDOK, 0);
      return TRUE;
    }
    case WM_DROPFILES:
      AddDropped(window, *SetupOf(window), reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_ADD:
          AddFromOpenDialog(window, *SetupOf(window));
          return TRUE;
        case IDC_REMOVE:
          RemoveSelected(window, *SetupOf(window));
          return TRUE;
        case IDOK: {
          const bool written = MakeAndShow(window, *SetupOf(window));
          if (SetupOf(window)->makeAndClose) EndDialog(window, written ? 0 : 1);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(window, 0);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

int RunReportWindow(HINSTANCE instance, ReportWindowSetup& setup) {
  const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_REPORT), nullptr, ReportDialogProc,
                                         reinterpret_cast<LPARAM>(&setup));
  return result < 0 ? 1 : static_cast<int>(result);
}

}  // namespace seamlog::tools
