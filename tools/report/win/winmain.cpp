// SeamlogReport.exe: the splice report for Windows users. Tables come from
// the Open dialog, from files dropped on the window, or from the command line
// (files dropped on the program's icon); the report is written beside the
// first table and opened in the default browser.
//
// The test build (SEAMLOG_TEST_HOOK) also takes, before the tables:
//   --open-log FILE   write the path that would be opened to FILE instead of
//                     starting the browser
//   --make-and-close  make the report at once, then end (0 written, 1 not)
//   --job, --operator, --location, --limit TEXT   fill the fields
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "report_window.h"

namespace {

using seamlog::tools::ReportWindowSetup;

bool OpenInBrowser(HWND owner, const std::string& path, std::string& error) {
  const auto result =
      reinterpret_cast<INT_PTR>(ShellExecuteA(owner, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result > 32) return true;
  error = result == SE_ERR_NOASSOC ? "no program is set to open .html files"
                                   : "Windows could not start the browser";
  return false;
}

#ifdef SEAMLOG_TEST_HOOK
std::string openLog;

bool RecordOpen(HWND, const std::string& path, std::string& error) {
  FILE* log = std::fopen(openLog.c_str(), "ab");
  if (log == nullptr) {
    error = "the open log cannot be written";
    return false;
  }
  std::fprintf(log, "open %s\n", path.c_str());
  std::fclose(log);
  return true;
}

// Takes the test options; false for anything else, which is a table.
bool TakeTestOption(ReportWindowSetup& setup, int& i) {
  const std::string_view arg = __argv[i];
  if (arg == "--make-and-close") {
    setup.makeAndClose = true;
    return true;
  }
  if (i + 1 >= __argc) return false;
  std::string* field = arg == "--open-log"   ? &openLog
                       : arg == "--job"      ? &setup.form.job
                       : arg == "--operator" ? &setup.form.operatorName
                       : arg == "--location" ? &setup.form.location
                       : arg == "--limit"    ? &setup.form.limit
                                             : nullptr;
  if (field == nullptr) return false;
  *field = __argv[++i];
  if (field == &openLog) setup.open = RecordOpen;
  return true;
}
#endif

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  ReportWindowSetup setup;
  setup.open = OpenInBrowser;
  std::vector<std::string> tables;
  for (int i = 1; i < __argc; ++i) {
#ifdef SEAMLOG_TEST_HOOK
    if (TakeTestOption(setup, i)) continue;
#endif
    tables.emplace_back(__argv[i]);
  }
  seamlog::tools::AddTables(setup.form.tables, tables);
  return seamlog::tools::RunReportWindow(instance, setup);
}
