// libFuzzer target: arbitrary bytes as a table file, through the reader, the
// figures and both writers. Besides the sanitizers it checks that every
// fiber row is counted once, that lines named exist, that a record never has
// more fibers than its layout, and that nothing from the input reaches the
// document unescaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "seamlog/report/html_report.h"
#include "seamlog/report/json_summary.h"
#include "seamlog/report/table_reader.h"

namespace report = seamlog::report;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  report::ReportContent content;
  content.sources = {"fuzz.csv"};
  report::ReadTables("fuzz.csv", text, content.reading);

  int lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  for (const report::ReadProblem& problem : content.reading.problems) {
    if (problem.line < 0 || problem.line > lines) std::abort();
  }
  int fibers = 0;
  for (const report::SpliceRecord& record : content.reading.records) {
    const std::size_t most = record.model == report::Model::A ? 1 : record.model == report::Model::B ? 4 : 12;
    if (record.fibers.empty() || record.fibers.size() > most) std::abort();
    if (record.line < 1 || record.line > lines) std::abort();
    fibers += static_cast<int>(record.fibers.size());
  }

  content.attempts = report::CountAttempts(content.reading.records);
  content.summary = report::Summarise(content.reading.records, content.attempts, content.limits);
  const report::LossSummary& s = content.summary;
  if (s.pass + s.warn + s.fail + s.noValue != s.fibers || s.fibers > fibers) std::abort();

  const std::string html = report::HtmlReport(content);
  // The document's own markup never holds these; only escaped input could.
  if (html.find("<script") != std::string::npos || html.find("<img") != std::string::npos) std::abort();
  const std::string json = report::JsonSummary(content);
  for (char c : json) {
    if (static_cast<unsigned char>(c) >= 0x80 || (static_cast<unsigned char>(c) < 0x20 && c != '\n'))
      std::abort();
  }
  return 0;
}
