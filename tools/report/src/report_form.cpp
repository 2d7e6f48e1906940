#include "report_form.h"

#include <algorithm>

#include "seamlog/report/job_file.h"

namespace seamlog::tools {

namespace {

constexpr std::size_t kMaxJobFileBytes = 64 * 1024;

std::size_t FolderEnd(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

int AddTables(std::vector<std::string>& tables, const std::vector<std::string>& files) {
  int added = 0;
  for (const std::string& file : files) {
    if (file.empty() || std::find(tables.begin(), tables.end(), file) != tables.end()) continue;
    tables.push_back(file);
    ++added;
  }
  return added;
}

std::vector<std::string> FilesOfOpenDialog(const char* buffer, std::size_t size) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < size && buffer[at] != '\0') {
    std::size_t end = at;
    while (end < size && buffer[end] != '\0') ++end;
    parts.emplace_back(buffer + at, end - at);
    at = end + 1;
  }
  if (parts.size() <= 1) return parts;
  std::string folder = parts.front();
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  std::vector<std::string> files;
  for (std::size_t i = 1; i < parts.size(); ++i) files.push_back(folder + parts[i]);
  return files;
}

std::string ReportPathBeside(const std::string& table) {
  const std::size_t name = FolderEnd(table);
  std::size_t dot = table.rfind('.');
  if (dot == std::string::npos || dot <= name) dot = table.size();
  return table.substr(0, dot) + "-report.html";
}

bool RequestOf(const ReportForm& form, report::ReportRequest& request, std::string& problem) {
  if (form.tables.empty()) {
    problem = "Choose the tables first: Add tables, or drop CSV files on this window.";
    return false;
  }
  request = {};
  request.tables = form.tables;
  request.output = ReportPathBeside(form.tables.front());

  report::JobFile defaults;
  const std::string jobFile = form.tables.front().substr(0, FolderEnd(form.tables.front())) + "job.ini";
  std::string bytes, error;
  std::vector<report::ReadProblem> ignored;  // a damaged job file gives what it can
  if (report::ReadWholeFile(jobFile, kMaxJobFileBytes, bytes, error)) {
    defaults = report::ParseJobFile(jobFile, bytes, ignored);
  }
  request.job = defaults.job;
  if (!form.job.empty()) request.job.job = form.job;
  if (!form.operatorName.empty()) request.job.operatorName = form.operatorName;
  if (!form.location.empty()) request.job.location = form.location;
  request.limits.limit = defaults.limit.value_or(request.limits.limit);
  request.limits.warning = defaults.warning.value_or(request.limits.warning);
  request.limits.averageLimit = defaults.averageLimit;
  if (!form.limit.empty()) {
    std::string typed = form.limit;
    std::replace(typed.begin(), typed.end(), ',', '.');  // "0,25" where the comma is the decimal sign
    const std::optional<report::Decimal> limit = report::ParseDecimal(typed);
    if (!limit || limit->Units() <= 0) {
      problem = "The limit is a loss in dB above 0, such as 0.30.";
      return false;
    }
    request.limits.limit = *limit;
  }
  // A limit tighter than the warning: warn from half the limit.
  if (request.limits.warning > request.limits.limit) {
    request.limits.warning = report::Decimal::FromUnits(request.limits.limit.Units() / 2);
  }
  return true;
}

std::string OutcomeText(const report::ReportRequest& request, const report::ReportOutcome& outcome) {
  if (!outcome.written) return "No report: " + outcome.failure + ".";
  const report::LossSummary& s = outcome.content.summary;
  std::string text = "Report written: " + request.output + " (" + std::to_string(s.splices) + " splices, " +
                     std::to_string(s.fail) + " over the limit)";
  const std::size_t problems = outcome.content.reading.problems.size();
  if (problems > 0) {
    text += "; " + std::to_string(problems) + " problem" + (problems == 1 ? "" : "s") +
            " in the tables, listed in the report";
  }
  return text + ".";
}

}  // namespace seamlog::tools
