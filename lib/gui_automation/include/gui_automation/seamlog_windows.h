// Seamlog's own windows, operated as its operator does: the model dialog, the
// main window, Save As, Exit; and text handed to its test build.
#pragma once

#include <windows.h>

#include <string>

#include "gui_automation/program.h"

namespace automation {

struct MainWindow {
  HWND window;
  HWND Item(int id) const { return GetDlgItem(window, id); }
  std::string Caption() const;
  std::string Label() const;
  std::string Live() const;
  // Which connection picture shows: 0 not connected, 1 connected, -1 neither
  // or both (as between its two ShowWindow calls).
  int Indicator() const;
};

// The model dialog, once it has filled its list and offers a model: it can
// show before that. Fail when no dialog came.
HWND WaitForModelDialog(const Program& program, DWORD milliseconds = 15000);
// Waits for the model dialog, types `modelText` into its box when given,
// presses OK and waits for the main window.
MainWindow OpenMainWindow(const Program& program, const std::string& modelText = "");
// Picks `model` from the model dialog's list.
void SelectModel(HWND modelDialog, const std::string& model);
// Starts Seamlog in C:\ and accepts the model dialog as it stands (the first
// program started in a fresh Wine prefix can take a while); its main window.
HWND StartWithOfferedModel(Program& program);

// Types `path` into the file name field of a Save dialog.
void TypeFileName(HWND saveDialog, const std::string& path);
// Presses Save As in Seamlog's main window and types `path` into the file name
// field of the "Write File" dialog that opens; that dialog, not yet confirmed.
HWND FillSaveAsDialog(const Program& program, HWND main, const std::string& path, DWORD milliseconds = 15000);
// Save As into `path`, confirmed; true when "Data save completed." came
// within 30 s (and was answered).
bool SaveAs(const Program& program, HWND main, const std::string& path);

// Presses Exit in Seamlog's main window, answers "Exit anyway?" with Yes, and
// waits up to `milliseconds` for the program to end; true when it ended.
bool ExitSeamlog(const Program& program, HWND main, DWORD milliseconds);

// Hands text to the test build (SeamlogTestHook.exe) as if the splicer had
// sent it, a MiB at a time as a link would; Fail when it is not taken.
void Inject(HWND main, const std::string& text);
// A MODEL-A record: the separator block (66 characters) and a body of 552
// characters with the record number at its 35th character.
std::string ModelARecord(int number);
// Records 1 to `count`.
std::string ModelARecords(int count);

// Runs `convert` (seamlog-convert) with `options` on `input` into `output`;
// its exit code.
int RunConvert(const std::string& convert, const std::string& options, const std::string& input,
               const std::string& output, DWORD milliseconds);

}  // namespace automation
