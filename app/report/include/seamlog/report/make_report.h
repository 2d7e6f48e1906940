#pragma once
// From table files to the report file: what both front ends do.
#include <cstdint>
#include <string>
#include <vector>

#include "seamlog/report/html_report.h"

namespace seamlog::report {

// A table file larger than this is not read (32,767 records of the longest
// layout take about 9 MB; this leaves room for many appended tables).
inline constexpr std::uintmax_t kMaxTableFileBytes = 256u * 1024 * 1024;

struct ReportRequest {
  std::vector<std::string> tables;  // the files to read, in this order
  std::string output;               // the HTML file
  std::string jsonOutput;           // the JSON summary; empty for none
  JobDetails job;
  AcceptanceLimits limits;
  std::string reportDate;  // empty: today's date
};

struct ReportOutcome {
  bool written = false;
  std::string failure;  // why nothing was written
  ReportContent content;
};

// Reads every table file (a file that cannot be read is a problem, and the
// others are read all the same), and writes the report, and the summary when
// asked, whole or not at all: an existing file is replaced only by a
// complete one. Nothing is written when no splice record was read, or when an
// output names one of the tables.
ReportOutcome MakeReport(const ReportRequest& request);

// A file's bytes; false with a reason when it cannot be read or is larger
// than limit.
bool ReadWholeFile(const std::string& path, std::uintmax_t limit, std::string& bytes, std::string& error);

// Writes bytes to path through a file beside it, replaced into place once it
// is complete; false with a reason, and path as it was, on any error.
bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error);

// Today's date as the local clock has it, "2026-12-08".
std::string TodayText();

}  // namespace seamlog::report
