#pragma once
// What the SeamlogReport window holds and does, without the window: the
// tables chosen, the fields typed, and the request made of them.
#include <cstddef>
#include <string>
#include <vector>

#include "seamlog/report/make_report.h"

namespace seamlog::tools {

struct ReportForm {
  std::vector<std::string> tables;
  std::string job, operatorName, location;
  std::string limit;  // as typed, in dB; empty for the default
};

// Adds the files not in tables yet, in their order; returns how many.
int AddTables(std::vector<std::string>& tables, const std::vector<std::string>& files);

// The files an Open dialog of several files returned in its buffer: the
// folder and then each name ("C:\jobs\0a.csv\0b.csv\0\0"), or one full path.
std::vector<std::string> FilesOfOpenDialog(const char* buffer, std::size_t size);

// Beside the first table: "C:\jobs\day1.csv" gives "C:\jobs\day1-report.html".
std::string ReportPathBeside(const std::string& table);

// The request for the form, with the job file "job.ini" beside the first
// table as the defaults of what the form leaves empty. False with a message
// for the user when the form cannot be reported yet.
bool RequestOf(const ReportForm& form, report::ReportRequest& request, std::string& problem);

// One line for the window after a run.
std::string OutcomeText(const report::ReportRequest& request, const report::ReportOutcome& outcome);

}  // namespace seamlog::tools
