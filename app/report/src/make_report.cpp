#include "seamlog/report/make_report.h"

#include <ctime>

#include "report_file.h"
#include "seamlog/report/json_summary.h"
#include "seamlog/report/table_reader.h"

namespace seamlog::report {

namespace {

std::string RefuseOutput(const ReportRequest& request, const std::string& output) {
  if (IsFolder(output)) return "'" + output + "' is a folder; give the name of a file in it";
  for (const std::string& table : request.tables) {
    if (SameFile(table, output)) return "'" + output + "' is one of the tables read: it would be overwritten";
  }
  return {};
}

}  // namespace

std::string TodayText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

ReportOutcome MakeReport(const ReportRequest& request) {
  ReportOutcome outcome;
  ReportContent& content = outcome.content;
  content.job = request.job;
  content.limits = request.limits;
  content.sources = request.tables;
  content.reportDate = request.reportDate.empty() ? TodayText() : request.reportDate;
  for (const std::string& output : {request.output, request.jsonOutput}) {
    if (output.empty()) continue;
    if (std::string refusal = RefuseOutput(request, output); !refusal.empty()) {
      outcome.failure = std::move(refusal);
      return outcome;
    }
  }
  for (const std::string& table : request.tables) {
    std::string bytes;
    std::string error;
    if (!ReadWholeFile(table, kMaxTableFileBytes, bytes, error)) {
      content.reading.problems.push_back({table, 0, error});
      continue;
    }
    ReadTables(table, bytes, content.reading);
  }
  if (content.reading.records.empty()) {
    outcome.failure = "no splice record was read from the tables given";
    return outcome;
  }
  content.attempts = CountAttempts(content.reading.records);
  content.summary = Summarise(content.reading.records, content.attempts, content.limits);
  if (!WriteWholeFile(request.output, HtmlReport(content), outcome.failure)) return outcome;
  if (!request.jsonOutput.empty() &&
      !WriteWholeFile(request.jsonOutput, JsonSummary(content), outcome.failure)) {
    return outcome;
  }
  outcome.written = true;
  return outcome;
}

}  // namespace seamlog::report
