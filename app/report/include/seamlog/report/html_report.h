#pragma once
// The splice report: one self-contained HTML document (inline CSS and SVG,
// no script, no address of anything outside it) that prints on A4 and Letter.
#include <string>
#include <vector>

#include "seamlog/report/loss_statistics.h"
#include "seamlog/report/splice_record.h"

namespace seamlog::report {

struct JobDetails {
  std::string job, location, operatorName, customer, notes;
};

struct ReportContent {
  JobDetails job;
  AcceptanceLimits limits;
  std::vector<std::string> sources;  // the files read, as named to the program
  std::string reportDate;            // when the report was made, as it is to be shown
  TableReading reading;
  std::vector<Attempt> attempts;  // one for each record
  LossSummary summary;
};

// Reads nothing and fails never: every text from the tables is escaped.
std::string HtmlReport(const ReportContent& content);

// Text for HTML element content and attribute values. The tables are 8-bit
// text (the document says windows-1252); control characters become "?".
void AppendEscaped(std::string& out, std::string_view text);

}  // namespace seamlog::report
