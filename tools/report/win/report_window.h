#pragma once
// The SeamlogReport window: a dialog that only routes messages; ReportForm
// and MakeReport do the work.
#include <windows.h>

#include <functional>
#include <string>

#include "report_form.h"

namespace seamlog::tools {

struct ReportWindowSetup {
  ReportForm form;  // the tables given on the command line (dropped on the program) and any fields
  // Shows the written report; false with a reason when it cannot.
  std::function<bool(HWND owner, const std::string& path, std::string& error)> open;
  bool makeAndClose = false;  // make the report at once and end with 0 (written) or 1
};

// Runs the window until it is closed; returns the program's exit code.
int RunReportWindow(HINSTANCE instance, ReportWindowSetup& setup);

}  // namespace seamlog::tools
