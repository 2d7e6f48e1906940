#include "seamlog/report/job_file.h"

#include <string>

namespace seamlog::report {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

JobFile ParseJobFile(std::string_view source, std::string_view text, std::vector<ReadProblem>& problems) {
  JobFile file;
  int lineNumber = 0;
  auto problem = [&](std::string message) {
    problems.push_back({std::string(source), lineNumber, std::move(message)});
  };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (!SameWord(line, "[Job]")) problem("only a [Job] section is read; this one is not");
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      problem("not a Key=value line; skipped");
      continue;
    }
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    std::string* field = nullptr;
    std::optional<Decimal>* limit = nullptr;
    if (SameWord(key, "Job")) {
      field = &file.job.job;
    } else if (SameWord(key, "Location")) {
      field = &file.job.location;
    } else if (SameWord(key, "Operator")) {
      field = &file.job.operatorName;
    } else if (SameWord(key, "Customer")) {
      field = &file.job.customer;
    } else if (SameWord(key, "Notes")) {
      field = &file.job.notes;
    } else if (SameWord(key, "Limit")) {
      limit = &file.limit;
    } else if (SameWord(key, "Warning")) {
      limit = &file.warning;
    } else if (SameWord(key, "AverageLimit")) {
      limit = &file.averageLimit;
    } else {
      problem("unknown key '" + std::string(key) + "'; skipped");
      continue;
    }
    if (field != nullptr) {
      if (!field->empty()) *field += ' ';  // a repeated key continues the text
      *field += value;
      continue;
    }
    const std::optional<Decimal> number = ParseDecimal(value);
    if (!number || number->Units() <= 0) {
      problem(std::string(key) + " needs a loss in dB above 0, such as 0.30; '" + std::string(value) +
              "' is not one");
      continue;
    }
    *limit = number;
  }
  return file;
}

}  // namespace seamlog::report
