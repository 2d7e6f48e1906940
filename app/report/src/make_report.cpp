#include "seamlog/report/make_report.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "seamlog/report/json_summary.h"
#include "seamlog/report/table_reader.h"

namespace seamlog::report {

namespace fs = std::filesystem;

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return fs::exists(a, error) && fs::exists(b, error) && fs::equivalent(a, b, error);
}

std::string RefuseOutput(const ReportRequest& request, const std::string& output) {
  std::error_code error;
  if (fs::is_directory(output, error)) return "'" + output + "' is a folder; give the name of a file in it";
  for (const std::string& table : request.tables) {
    if (SameFile(table, output)) return "'" + output + "' is one of the tables read: it would be overwritten";
  }
  return {};
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::uintmax_t limit, std::string& bytes, std::string& error) {
  std::error_code code;
  if (fs::is_directory(path, code)) {
    error = "is a folder, not a table file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot be opened (missing, or not readable)";
    return false;
  }
  bytes.clear();
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > limit) {
      error = "is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB; not read";
      bytes.clear();
      return false;
    }
  }
  if (in.bad()) {
    error = "could not be read to its end";
    bytes.clear();
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
  const std::string part = path + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "'" + path + "' cannot be written (no such folder, or no permission)";
      return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(part, ignored);
      error = "writing '" + path + "' failed (the disk may be full)";
      return false;
    }
  }
  std::error_code code;
  fs::rename(part, path, code);
  if (code) {  // some systems do not replace a file on rename
    std::error_code ignored;
    fs::remove(path, ignored);
    fs::rename(part, path, code);
  }
  if (code) {
    std::error_code ignored;
    fs::remove(part, ignored);
    error = "'" + path + "' could not be replaced: " + code.message();
    return false;
  }
  return true;
}

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
