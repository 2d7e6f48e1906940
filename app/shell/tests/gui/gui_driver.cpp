// Drives Seamlog's real windows from outside, as an operator would: finds
// them, clicks and types through window messages, reads message boxes and
// checks the files the program writes.
//
//   seamlog_gui_driver <case> <SeamlogTestHook.exe> [screenshot folder]
//
// Each case copies the program into a fresh temporary folder (so that its
// Benchkit.ini lands there), starts it and walks one path. The exit code is
// 0 when every check held, 1 otherwise, 77 when there is no display.
#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control_ids.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "gui_automation/message_box.h"
#include "gui_automation/program.h"
#include "gui_automation/screenshot.h"
#include "gui_automation/seamlog_windows.h"

namespace ids = seamlog::shell::ids;
using namespace automation;

namespace {

using Box = MessageBoxShown;

// The test build copied into a fresh temporary folder of its own (so that its
// Benchkit.ini lands there), started from elsewhere (C:\): the program must
// find its own folder itself. The folder goes when the program has ended.
class CopiedProgram : public Program {
 public:
  CopiedProgram(const std::string& exe, const std::string& caseName)
      : CopiedProgram(exe, std::make_unique<TemporaryFolder>("seamlog_gui_" + caseName)) {}
  ~CopiedProgram() { End(); }
  CopiedProgram(const CopiedProgram&) = delete;
  CopiedProgram& operator=(const CopiedProgram&) = delete;

  const std::string& Folder() const { return folder_->path(); }
  std::string IniPath() const { return Folder() + "\\Benchkit.ini"; }

 private:
  CopiedProgram(const std::string& exe, std::unique_ptr<TemporaryFolder> folder)
      : Program(folder->path() + "\\Seamlog.exe"), folder_(std::move(folder)) {
    if (!CopyFileA(exe.c_str(), Exe().c_str(), FALSE)) Fail("cannot copy " + exe);
  }

  std::unique_ptr<TemporaryFolder> folder_;
};

// Seamlog's message box, with the text it shows.
Box SeamlogBox(const Program& program, DWORD milliseconds = 15000) {
  return WaitForMessageBox(program, "Seamlog", milliseconds);
}

HWND WaitForSaveDialog(const Program& program) { return program.RequireWindow("#32770", "Write File"); }

// Types a path into the Save dialog's file name field and presses Save.
void ChooseFile(HWND dialog, const std::string& path) {
  TypeFileName(dialog, path);
  Click(dialog, IDOK);
}

bool SaveButtonEnabled(const MainWindow& main) {
  return WaitFor([&] { return IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)) != FALSE; }, 5000, 50);
}

std::string Screenshots;

// ---- the cases -------------------------------------------------------------------

void UntouchedOkSelectsModelA(const std::string& exe) {
  CopiedProgram program(exe, "dialog_ok");
  program.Start();
  HWND dialog = WaitForModelDialog(program);
  CHECK_EQ(Text(dialog), "Seamlog ");
  HWND combo = GetDlgItem(dialog, ids::kSplModelCombo);
  CHECK_EQ(Text(combo), "MODEL-A");
  CHECK(SendMessageA(combo, CB_GETCOUNT, 0, 0) == 3);
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kSplModelFrame)), "Select Model");
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kOKButton)), "OK");
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kCancelButton)), "Cancel");
  CHECK((GetWindowLongA(dialog, GWL_STYLE) & WS_THICKFRAME) == 0);  // fixed size
  RequestScreenshot(Screenshots, "select_model_dialog");

  Click(dialog, ids::kOKButton);
  MainWindow main{program.RequireWindow(ids::kMainFormClass)};
  CHECK(!program.FindWindowOf(ids::kSelectModelDialogClass));
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-A>");
  CHECK_EQ(Text(main.Item(ids::kCmdSaveAsCmd)), "Save As (&S)");
  CHECK_EQ(Text(main.Item(ids::kEndCommand)), "Exit (&Q)");
  CHECK_EQ(main.Label(), "");
  CHECK(!IsWindowEnabled(main.Item(ids::kInformationLabel)));
  CHECK(!IsWindowVisible(main.Item(ids::kInformationBar)));
  CHECK_EQ(main.Live(), "");
  CHECK(IsWindowVisible(main.Item(ids::kUSBConnectPicture0)));
  CHECK(!IsWindowVisible(main.Item(ids::kUSBConnectPicture1)));
  CHECK((GetWindowLongA(main.window, GWL_STYLE) & WS_THICKFRAME) != 0);  // sizable
  CHECK((GetWindowLongA(main.Item(ids::kLiveText), GWL_STYLE) & (ES_MULTILINE | ES_READONLY | WS_VSCROLL)) ==
        (ES_MULTILINE | ES_READONLY | WS_VSCROLL));

  // Outer size 8040 x 7212 twips at the screen's DPI.
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  RECT outer;
  GetWindowRect(main.window, &outer);
  CHECK(outer.right - outer.left == MulDiv(8040, dpi, 1440));
  CHECK(outer.bottom - outer.top == MulDiv(7212, dpi, 1440));

  // Every control at its place in twips (left, top, width, height of the
  // client area).
  struct Place {
    int id, left, top, width, height;
  };
  for (const Place& p : {Place{ids::kUSBConnectPicture0, 120, 120, 495, 495},
                         Place{ids::kUSBConnectPicture1, 120, 120, 495, 495},
                         Place{ids::kInformationLabel, 720, 120, 5052, 372},
                         Place{ids::kCmdSaveAsCmd, 5880, 120, 1935, 375},
                         Place{ids::kLiveText, 120, 600, 7695, 5532},
                         Place{ids::kInformationBar, 120, 6240, 5652, 372},
                         Place{ids::kEndCommand, 5880, 6240, 1935, 375}}) {
    RECT r;
    GetWindowRect(main.Item(p.id), &r);
    MapWindowPoints(nullptr, main.window, reinterpret_cast<POINT*>(&r), 2);
    const int x = MulDiv(p.left, dpi, 1440), y = MulDiv(p.top, dpi, 1440);
    Expect(r.left == x && r.top == y && r.right - r.left == MulDiv(p.width, dpi, 1440) &&
               r.bottom - r.top == MulDiv(p.height, dpi, 1440),
           "control " + std::to_string(p.id) + " at " + std::to_string(r.left) + "," + std::to_string(r.top) +
               " " + std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
  }

  // Not connected: the input focus is on Exit.
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  CHECK(GetGUIThreadInfo(GetWindowThreadProcessId(main.window, nullptr), &gui));
  CHECK(gui.hwndFocus == main.Item(ids::kEndCommand));

  // Alt+Q is Exit; with nothing received it closes without a question.
  PressAlt(main.window, 'q');
  CHECK(program.WaitForExit() == 0);
}

void TypedNamesSelectTheirModel(const std::string& exe) {
  CopiedProgram program(exe, "dialog_typed");
  program.Start();
  MainWindow main = OpenMainWindow(program, "MODEL-C");
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-C>");
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

void UnknownNamesEndTheProgram(const std::string& exe) {
  for (const char* typed : {"model-b", "MODEL-B ", ""}) {
    CopiedProgram program(exe, "dialog_unknown");
    program.Start();
    HWND dialog = WaitForModelDialog(program);
    SetText(GetDlgItem(dialog, ids::kSplModelCombo), typed);
    Click(dialog, ids::kOKButton);
    CHECK(program.WaitForExit() == 0);
    CHECK(!program.FindWindowOf(ids::kMainFormClass));
    CHECK(GetFileAttributesA(program.IniPath().c_str()) == INVALID_FILE_ATTRIBUTES);
  }
}

void CancelAndCloseEndTheProgram(const std::string& exe) {
  {
    CopiedProgram program(exe, "dialog_cancel");
    program.Start();
    Click(WaitForModelDialog(program), ids::kCancelButton);
    CHECK(program.WaitForExit() == 0);
  }
  {
    CopiedProgram program(exe, "dialog_close");
    program.Start();
    PostMessageA(WaitForModelDialog(program), WM_CLOSE, 0, 0);
    CHECK(program.WaitForExit() == 0);
  }
}

void LabelCountsInjectedRecords(const std::string& exe) {
  CopiedProgram program(exe, "label");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, std::string(927, 'x'));  // 1.5 records of 618: rounds to 2
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 2"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 2");
  CHECK_EQ(main.Live(), std::string(927, 'x'));
  Inject(main.window, std::string(1545 - 927, 'x'));  // 2.5: still 2
  Inject(main.window, "x");                           // 1546: 3
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 3"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 3");
  // More than 32,767 records' worth still shows.
  Inject(main.window, std::string(618u * 40000u, 'y'));
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 40003"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 40003");
  CHECK(main.Live().size() == 20000);
  // A table of more than 32,767 records cannot be saved: the save fails
  // and keeps the text.
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\too_many.csv");
  Box failed = SeamlogBox(program, 60000);
  CHECK_EQ(failed.text, "Data save failed.");
  Answer(failed, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live().size() == 20000);
  Click(main.window, ids::kEndCommand);
  Answer(SeamlogBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void SaveWithNothingReceivedFails(const std::string& exe) {
  CopiedProgram program(exe, "save_empty");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  PressAlt(main.window, 's');  // Alt+S is Save As
  Box box = SeamlogBox(program);
  CHECK_EQ(box.text, "Data save failed.");
  CHECK(ShowsIcon(box, IDI_EXCLAMATION));
  CHECK(!ShowsIcon(box, IDI_ASTERISK));
  CHECK(!IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)));
  CHECK(!program.FindWindowOf("#32770", "Write File"));
  Answer(box, IDOK);
  CHECK(SaveButtonEnabled(main));
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

void SaveAsThroughTheCommonDialog(const std::string& exe) {
  CopiedProgram program(exe, "save");
  // A settings file that already holds other values.
  WriteWholeFile(program.IniPath(), "[Other]\r\nColour=blue\r\n[System]\r\nSpeed=9600\r\n");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  const std::string records = ModelARecords(3);
  Inject(main.window, records);

  // Cancelling the dialog ends the flow silently.
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  CHECK(!IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)));
  Click(dialog, IDCANCEL);
  CHECK(SaveButtonEnabled(main));
  CHECK(!program.FindWindowOf("#32770", "Seamlog"));
  CHECK(ReadWholeFile(program.IniPath()).find("CsvDir") == std::string::npos);
  CHECK(main.Live().size() == records.size());

  // A save into a file under the temporary folder.
  // Typed without an extension: the dialog adds ".csv".
  const std::string table = program.Folder() + "\\tables\\run1.csv";
  CreateDirectoryA((program.Folder() + "\\tables").c_str(), nullptr);
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\tables\\run1");
  Box done = SeamlogBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  CHECK(ShowsIcon(done, IDI_ASTERISK));
  CHECK(!ShowsIcon(done, IDI_EXCLAMATION));
  CHECK(GetFileAttributesA((program.Folder() + "\\tables\\run1").c_str()) == INVALID_FILE_ATTRIBUTES);
  CHECK(main.Live().size() == records.size());  // emptied only after the box is closed
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(WaitFor([&] { return main.Live().empty(); }, 5000));
  CHECK(WaitFor([&] { return main.Label().empty(); }, 3000));

  const std::string first = ReadWholeFile(table);
  CHECK(first.rfind("\r\n\r\nNo.,", 0) == 0);
  CHECK(Count(first, "\r\n") == 4 + 3);  // two empty rows, header, units, three records

  // The settings file next to the program remembers the folder and keeps the rest.
  const std::string ini = ReadWholeFile(program.IniPath());
  CHECK(ini.find("CsvDir=" + program.Folder() + "\\tables") != std::string::npos);
  CHECK(ini.find("Speed=9600") != std::string::npos);
  CHECK(ini.find("Colour=blue") != std::string::npos);

  // After the completed save nothing is left to save.
  Click(main.window, ids::kCmdSaveAsCmd);
  Box empty = SeamlogBox(program);
  CHECK_EQ(empty.text, "Data save failed.");
  Answer(empty, IDOK);
  CHECK(SaveButtonEnabled(main));

  // A second save into the same file appends a second table.
  Inject(main.window, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND second = WaitForSaveDialog(program);
  ChooseFile(second, table);
  Box again = SeamlogBox(program);
  CHECK_EQ(again.text, "Data save completed.");
  Answer(again, IDOK);
  CHECK(SaveButtonEnabled(main));
  const std::string both = ReadWholeFile(table);
  CHECK(both.rfind(first, 0) == 0);
  CHECK(Count(both, "\r\n\r\nNo.,") == 2);
  CHECK(Count(both, "\r\n") == 7 + 6);

  // A table file that another program holds locked cannot be opened: the
  // save fails and the text stays.
  Inject(main.window, ModelARecords(1));
  HANDLE lock = CreateFileA(table.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CHECK(lock != INVALID_HANDLE_VALUE);
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box failed = SeamlogBox(program);
  CHECK_EQ(failed.text, "Data save failed.");
  Answer(failed, IDOK);
  CloseHandle(lock);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live().size() == 618);
  CHECK(ReadWholeFile(table) == both);

  Click(main.window, ids::kEndCommand);
  Box ask = SeamlogBox(program);  // the text was not saved
  Answer(ask, IDYES);
  CHECK(program.WaitForExit() == 0);
}

void SaveIntoADriveRoot(const std::string& exe) {
  CopiedProgram program(exe, "save_root");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(1));
  const std::string table = "C:\\seamlog_gui_root_" + std::to_string(GetCurrentProcessId()) + ".csv";
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box done = SeamlogBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(ReadWholeFile(program.IniPath()).find("CsvDir=C:\r\n") != std::string::npos);
  CHECK(ReadWholeFile(table).rfind("\r\n\r\nNo.,", 0) == 0);
  DeleteFileA(table.c_str());
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);

  // After a restart the dialog opens at the root of C:, the remembered
  // folder, not at the program's own folder (the current one on drive C).
  program.Start();
  MainWindow again = OpenMainWindow(program);
  Inject(again.window, ModelARecords(1));
  Click(again.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  const std::string lookIn = Text(GetDlgItem(dialog, cmb2));
  std::printf("      the dialog looks in \"%s\"\n", lookIn.c_str());
  CHECK(lookIn.find("C:") != std::string::npos);
  CHECK(lookIn.find("seamlog_gui") == std::string::npos);
  Click(dialog, IDCANCEL);
  CHECK(SaveButtonEnabled(again));
  Click(again.window, ids::kEndCommand);
  Answer(SeamlogBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ModelCTextWithoutHeadingsFails(const std::string& exe) {
  CopiedProgram program(exe, "save_stopped");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  // "Irregular" with no "Loss" after it is MODEL-C; without its heading line
  // the conversion stops at the first record.
  // 1600 characters: 2.59 records of MODEL-A's 618, 2.41 of MODEL-C's 665.
  const std::string text = "Irregular splice report " + std::string(1600 - 24, 'z');
  Inject(main.window, text);
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 3"; }, 3000));  // counted as MODEL-A
  const std::string table = program.Folder() + "\\stopped.csv";
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box box = SeamlogBox(program);
  CHECK_EQ(box.text,
           "Data save stopped at record 1: it has no \"Irregular\" or \"Loss\" heading line.\r\n"
           "No record was saved. Record 1 and the records after it were kept, not saved.");
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-C>");  // the recognised model is taken over
  CHECK_EQ(main.Label(), "Seamlog Received: 2");
  Answer(box, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live() == text);
  CHECK(ReadWholeFile(table).rfind("\r\n\r\n", 0) == 0);
  Click(main.window, ids::kEndCommand);
  Answer(SeamlogBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ExitWithUnsavedTextAsksFirst(const std::string& exe) {
  CopiedProgram program(exe, "exit_unsaved");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(1));

  Click(main.window, ids::kEndCommand);
  Box ask = SeamlogBox(program);
  CHECK_EQ(ask.text, "Received data has not been saved. Exit anyway?");
  CHECK(GetDlgItem(ask.window, IDYES) && GetDlgItem(ask.window, IDNO));
  Answer(ask, IDNO);
  WaitUntilGone(program, "#32770", "Seamlog");
  Sleep(300);
  CHECK(program.Running());
  CHECK(IsWindow(main.window));

  // A system shutdown is never held up by the question.
  DWORD_PTR allowed = 0;
  CHECK(SendMessageTimeoutA(main.window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &allowed));
  CHECK(allowed == TRUE);
  CHECK(!program.FindWindowOf("#32770", "Seamlog"));

  // The close box asks as well; Yes ends the program.
  PostMessageA(main.window, WM_CLOSE, 0, 0);
  Box again = SeamlogBox(program);
  CHECK_EQ(again.text, "Received data has not been saved. Exit anyway?");
  Answer(again, IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ExitDuringSaveWaitsForTheSave(const std::string& exe) {
  CopiedProgram program(exe, "exit_during_save");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  Click(main.window, ids::kEndCommand);  // Exit while the save runs
  Sleep(500);
  CHECK(IsWindow(main.window));
  CHECK(IsWindow(dialog));
  ChooseFile(dialog, program.Folder() + "\\during.csv");
  Box done = SeamlogBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  // The save is over and nothing is left unsaved: now the Exit is carried out.
  CHECK(program.WaitForExit() == 0);
  CHECK(Count(ReadWholeFile(program.Folder() + "\\during.csv"), "\r\n") == 4 + 2);
}

void TextArrivingDuringTheCompletionMessageIsKept(const std::string& exe) {
  CopiedProgram program(exe, "late_text");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\late.csv");
  Box done = SeamlogBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  // The link keeps receiving while the message is open.
  Inject(main.window, "late record\r\n");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(WaitFor([&] { return main.Live() == "late record\r\n"; }, 5000));
  CHECK_EQ(main.Live(), "late record\r\n");
  CHECK(Count(ReadWholeFile(program.Folder() + "\\late.csv"), "\r\n") == 4 + 2);
  Click(main.window, ids::kEndCommand);
  Box ask = SeamlogBox(program);  // the late text is not saved yet
  CHECK_EQ(ask.text, "Received data has not been saved. Exit anyway?");
  Answer(ask, IDYES);
  CHECK(program.WaitForExit() == 0);
}

// The record numbers of each table in a file, table by table.
std::vector<std::vector<int>> TableNumbers(const std::string& file) {
  std::vector<std::vector<int>> tables;
  bool units = false;
  for (std::size_t at = 0; at < file.size();) {
    std::size_t end = file.find("\r\n", at);
    if (end == std::string::npos) end = file.size();
    const std::string row = file.substr(at, end - at);
    at = end + 2;
    if (row.rfind("No.,", 0) == 0) {
      tables.emplace_back();
      units = true;
    } else if (units) {
      units = false;
    } else if (!row.empty() && !tables.empty()) {
      tables.back().push_back(std::atoi(row.c_str()));
    }
  }
  return tables;
}

std::vector<int> Numbered(int count) {
  std::vector<int> numbers;
  for (int i = 1; i <= count; ++i) numbers.push_back(i);
  return numbers;
}

void SaveInto(Program& program, const MainWindow& main, const std::string& table) {
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
}

// No splicer is attached here, so no record can still be arriving: a last
// record cut short is saved as far as it goes, and nothing of it is left to
// spoil the next save. (A record still arriving while the splicer sends is
// held back for the next save: seamlog_session_test, at every cut point.)
void ARecordCutShortWithoutASplicerIsSavedOnce(const std::string& exe) {
  CopiedProgram program(exe, "cut_short");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(2) + ModelARecord(3).substr(0, 600));
  const std::string table = program.Folder() + "\\cut_short.csv";
  SaveInto(program, main, table);
  Box done = SeamlogBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(WaitFor([&] { return main.Live().empty(); }, 5000));
  Inject(main.window, ModelARecords(1));
  SaveInto(program, main, table);
  Box again = SeamlogBox(program);
  CHECK_EQ(again.text, "Data save completed.");
  Answer(again, IDOK);
  CHECK(TableNumbers(ReadWholeFile(table)) == (std::vector<std::vector<int>>{{1, 2, 3}, {1}}));
  Click(main.window, ids::kEndCommand);  // nothing unsaved: no question
  CHECK(program.WaitForExit() == 0);
}

void TwoWindowsSavingIntoOneFileKeepTheirTablesWhole(const std::string& exe) {
  CopiedProgram first(exe, "two_windows_first");
  CopiedProgram second(exe, "two_windows_second");
  first.Start();
  MainWindow a = OpenMainWindow(first);
  second.Start();
  MainWindow b = OpenMainWindow(second);
  Inject(a.window, ModelARecords(9999));  // the No. column holds four digits
  Inject(b.window, ModelARecords(5));
  const std::string table = first.Folder() + "\\shared.csv";
  SaveInto(first, a, table);
  SaveInto(second, b, table);  // while the first save holds the file
  Box doneA = SeamlogBox(first, 240000);
  Box doneB = SeamlogBox(second, 240000);
  CHECK_EQ(doneA.text, "Data save completed.");
  const auto tables = TableNumbers(ReadWholeFile(table));
  if (doneB.text == "Data save completed.") {
    // One waited for the other: two whole tables, in either order.
    using Tables = std::vector<std::vector<int>>;
    CHECK(tables == (Tables{Numbered(9999), Numbered(5)}) ||
          tables == (Tables{Numbered(5), Numbered(9999)}));
  } else {
    // The first held the file longer than the second would wait: the second
    // failed, wrote nothing and kept its text.
    CHECK_EQ(doneB.text, "Data save failed.");
    CHECK(tables == (std::vector<std::vector<int>>{Numbered(9999)}));
    CHECK(b.Live().size() == 5 * 618);
  }
  Answer(doneA, IDOK);
  Answer(doneB, IDOK);
  CHECK(SaveButtonEnabled(a) && SaveButtonEnabled(b));
  Click(a.window, ids::kEndCommand);
  CHECK(first.WaitForExit() == 0);
  PostMessageA(b.window, WM_CLOSE, 0, 0);
  if (doneB.text != "Data save completed.") Answer(SeamlogBox(second), IDYES);
  CHECK(second.WaitForExit() == 0);
}

void RunTimeErrorEndsTheProgram(const std::string& exe) {
  CopiedProgram program(exe, "run_time_error");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(1));
  PostMessageA(main.window, RegisterWindowMessageA(ids::kTestRunTimeErrorMessage), 0, 0);
  Box box = SeamlogBox(program);
  CHECK(box.text.rfind("Run-time error", 0) == 0);
  // The box belongs to the main window, so it stays in front of it even when
  // another program is active.
  CHECK(GetWindow(box.window, GW_OWNER) == main.window);
  CHECK(box.text.find("Test failure raised by the GUI test driver") != std::string::npos);
  Answer(box, IDOK);
  CHECK(program.WaitForExit() == 1);
}

void ProgressShowsDuringALongSave(const std::string& exe) {
  CopiedProgram program(exe, "progress");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main.window, ModelARecords(32000));
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 32000"; }, 3000));
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\long.csv");
  HWND bar = main.Item(ids::kInformationBar);
  CHECK(WaitFor([&] { return IsWindowVisible(bar) != FALSE; }, 10000));
  Sleep(300);
  RequestScreenshot(Screenshots, "main_window_saving");
  Box done = SeamlogBox(program, 240000);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(SendMessageA(bar, PBM_GETPOS, 0, 0) == 0);
  CHECK(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 1);
  CHECK(Count(ReadWholeFile(program.Folder() + "\\long.csv"), "\r\n") == 4 + 32000);
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: seamlog_gui_driver <case> <SeamlogTestHook.exe> [screenshot folder]\n");
    return 2;
  }
  if (!GetEnvironmentVariableA("DISPLAY", nullptr, 0)) {
    std::printf("no DISPLAY: run under xvfb-run -a\n");
    return 77;
  }
  if (argc > 3) Screenshots = argv[3];
  const std::map<std::string, void (*)(const std::string&)> cases = {
      {"dialog_ok_selects_model_a", UntouchedOkSelectsModelA},
      {"dialog_typed_name_selects_its_model", TypedNamesSelectTheirModel},
      {"dialog_unknown_name_ends_the_program", UnknownNamesEndTheProgram},
      {"dialog_cancel_and_close_end_the_program", CancelAndCloseEndTheProgram},
      {"label_counts_received_records", LabelCountsInjectedRecords},
      {"save_with_nothing_received_fails", SaveWithNothingReceivedFails},
      {"save_as_through_the_common_dialog", SaveAsThroughTheCommonDialog},
      {"save_into_a_drive_root", SaveIntoADriveRoot},
      {"save_of_model_c_text_without_headings_fails", ModelCTextWithoutHeadingsFails},
      {"exit_with_unsaved_text_asks_first", ExitWithUnsavedTextAsksFirst},
      {"exit_during_save_waits_for_the_save", ExitDuringSaveWaitsForTheSave},
      {"progress_shows_during_a_long_save", ProgressShowsDuringALongSave},
      {"run_time_error_ends_the_program", RunTimeErrorEndsTheProgram},
      {"text_arriving_during_the_completion_message_is_kept", TextArrivingDuringTheCompletionMessageIsKept},
      {"a_record_cut_short_without_a_splicer_is_saved_once", ARecordCutShortWithoutASplicerIsSavedOnce},
      {"two_windows_saving_into_one_file_keep_their_tables_whole",
       TwoWindowsSavingIntoOneFileKeepTheirTablesWhole},
  };
  const auto found = cases.find(argv[1]);
  if (found == cases.end()) {
    std::printf("unknown case %s\n", argv[1]);
    return 2;
  }
  RunChecked([&] { found->second(argv[2]); });
  // A case leaves nothing behind in the Wine prefix.
  for (const std::string& folder : TemporaryFoldersLeftBehind()) Expect(false, folder + " was left behind");
  return Summary(argv[1]);
}
