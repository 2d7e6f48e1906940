// How long Save As takes in the real window, from the Save dialog's OK to
// "Data save completed.", for a large MODEL-A text. Not a test: it measures
// and reports. The text is handed to the test build of the program
// (SeamlogTestHook.exe) the way the GUI tests do, so no splicer is needed.
//
//   seamlog-save-bench --seamlog SeamlogTestHook.exe --work DIR [--records N] [--runs R]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "control_ids.h"
#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "gui_automation/program.h"
#include "gui_automation/screenshot.h"
#include "gui_automation/seamlog_windows.h"

namespace ids = seamlog::shell::ids;
using namespace automation;

namespace {

struct Options {
  std::string seamlog, work;
  int records = 32000;
  int runs = 3;
};

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct SaveTimes {
  double dialogGone = 0;  // the Save dialog has closed
  double completed = 0;   // "Data save completed." shows
};

// One save, timed from pressing Save in the dialog.
SaveTimes TimedSave(Program& program, HWND main, const std::string& table) {
  HWND dialog = FillSaveAsDialog(program, main, table, 60000);
  SaveTimes times;
  const double start = Now();
  Click(dialog, IDOK);
  WaitFor([&] { return !IsWindow(dialog); }, 600000, 1);
  times.dialogGone = Now() - start;
  HWND done = nullptr;
  HWND failed = nullptr;
  if (!WaitFor([&] {
        done = program.FindDialogSaying("Data save completed.");
        if (done == nullptr) failed = program.FindDialogSaying("Data save failed.");
        return done != nullptr || failed != nullptr;
      }, 600000, 1)) {
    Screenshot(table + ".bmp");
    Fail("no \"Data save completed.\" within ten minutes (screen in " + table + ".bmp)");
  }
  if (failed != nullptr) Fail("the save of " + table + " failed");
  times.completed = Now() - start;
  Click(done, IDOK);
  WaitFor([&] { return IsWindowEnabled(GetDlgItem(main, ids::kCmdSaveAsCmd)) != FALSE; });
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--seamlog") o.seamlog = WindowsPath(value);
    else if (key == "--work") o.work = WindowsPath(value);
    else if (key == "--records") o.records = std::stoi(value);
    else if (key == "--runs") o.runs = std::stoi(value);
  }
  if (o.seamlog.empty() || o.work.empty() || o.records < 1 || o.runs < 1) {
    std::fprintf(stderr, "usage: seamlog-save-bench --seamlog SeamlogTestHook.exe --work DIR [--records N] [--runs R]\n");
    return 2;
  }
  try {
    MakeDirectories(o.work);
    const std::string exe = o.work + "\\Seamlog.exe";
    if (!CopyFileA(o.seamlog.c_str(), exe.c_str(), FALSE)) Fail("cannot copy " + o.seamlog);
    const std::string text = ModelARecords(o.records);

    Program program(exe);
    HWND main = StartWithOfferedModel(program);

    std::vector<double> times, dialogTimes;
    for (int run = 0; run < o.runs; ++run) {
      const std::string table = o.work + "\\save-" + std::to_string(run) + ".csv";
      DeleteFileA(table.c_str());
      Inject(main, text);
      // The label shows the count once the display timer has seen the text.
      const std::string counted = "Seamlog Received: " + std::to_string(o.records);
      if (!WaitFor([&] { return Text(GetDlgItem(main, ids::kInformationLabel)) == counted; }, 60000))
        Fail("the label never showed " + counted);
      const SaveTimes t = TimedSave(program, main, table);
      times.push_back(t.completed);
      dialogTimes.push_back(t.dialogGone);
      const std::string written = ReadWholeFile(table);
      const auto rows = static_cast<std::size_t>(std::count(written.begin(), written.end(), '\n'));
      if (rows != static_cast<std::size_t>(o.records) + 4) Fail("the table has " + std::to_string(rows) + " rows");
      DeleteFileA(table.c_str());
    }
    Click(main, ids::kEndCommand);
    program.WaitForExit(20000);

    std::sort(times.begin(), times.end());
    std::sort(dialogTimes.begin(), dialogTimes.end());
    std::printf("Seamlog save benchmark: %d MODEL-A records (%zu characters), %d runs\n", o.records, text.size(),
                o.runs);
    std::printf("  dialog OK to \"Data save completed.\"  best %.3f s, median %.3f s, worst %.3f s\n", times.front(),
                times[times.size() / 2], times.back());
    std::printf("  of which until the dialog has closed  median %.3f s\n", dialogTimes[dialogTimes.size() / 2]);
  } catch (const Fatal& fatal) {
    std::printf("benchmark failed: %s\n", fatal.what.c_str());
    return 1;
  }
  return 0;
}
