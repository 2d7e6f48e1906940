#include "seamlog/report/json_summary.h"

#include <cstdio>

#include "ansi_text.h"

namespace seamlog::report {

namespace {

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x",
                    byte < 0x20 || byte == 0x7f ? byte : UnicodeOfAnsi(byte));
      out += escaped;
    }
  }
  return out + "\"";
}

std::string Number(const std::optional<Figure>& figure) { return figure ? FormatFigure(*figure, 4) : "null"; }

std::string Number(Decimal value) { return FormatDecimal(value, 4); }

}  // namespace

std::string JsonSummary(const ReportContent& content) {
  const LossSummary& s = content.summary;
  const JobDetails& job = content.job;
  std::string out = "{\n";
  out += "  \"job\": {\"job\": " + Quoted(job.job) + ", \"location\": " + Quoted(job.location) +
         ", \"operator\": " + Quoted(job.operatorName) + ", \"customer\": " + Quoted(job.customer) +
         ", \"notes\": " + Quoted(job.notes) + "},\n";
  out += "  \"reportDate\": " + Quoted(content.reportDate) + ",\n";
  out += "  \"limits\": {\"limitDb\": " + Number(content.limits.limit) +
         ", \"warningDb\": " + Number(content.limits.warning) + ", \"averageLimitDb\": " +
         (content.limits.averageLimit ? Number(*content.limits.averageLimit) : std::string("null")) + "},\n";
  out += "  \"sources\": [";
  for (std::size_t i = 0; i < content.sources.size(); ++i)
    out += (i ? ", " : "") + Quoted(content.sources[i]);
  out += "],\n";
  out += "  \"tables\": " + std::to_string(content.reading.tables) + ",\n";
  out += "  \"records\": " + std::to_string(s.records) + ",\n";
  out += "  \"splices\": " + std::to_string(s.splices) + ",\n";
  out += "  \"resplicedSplices\": " + std::to_string(s.resplicedSplices) + ",\n";
  out += "  \"fibers\": " + std::to_string(s.fibers) + ",\n";
  out += "  \"fibersWithLoss\": " + std::to_string(s.fibersWithLoss) + ",\n";
  out += "  \"pass\": " + std::to_string(s.pass) + ", \"warn\": " + std::to_string(s.warn) +
         ", \"fail\": " + std::to_string(s.fail) + ", \"noValue\": " + std::to_string(s.noValue) + ",\n";
  out += "  \"meanDb\": " + Number(s.mean) + ", \"medianDb\": " + Number(s.median) +
         ", \"maximumDb\": " + Number(s.maximum) +
         ", \"standardDeviationDb\": " + Number(s.standardDeviation) + ",\n";
  out += "  \"percentWithinLimit\": " + Number(s.percentWithinLimit) + ",\n";
  out += "  \"averageHolds\": " +
         std::string(!s.averageHolds   ? "null"
                     : *s.averageHolds ? "true"
                                       : "false") +
         ",\n";
  out += "  \"overLimit\": [";
  bool first = true;
  const auto& records = content.reading.records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i < content.attempts.size() && !content.attempts[i].Final()) continue;
    for (const FiberRow& fiber : records[i].fibers) {
      if (Judge(fiber.estimatedLoss, content.limits) != Verdict::Fail) continue;
      out += first ? "\n" : ",\n";
      first = false;
      out += "    {\"record\": " + Quoted(records[i].numberText) +
             ", \"fiber\": " + std::to_string(fiber.position) +
             ", \"lossDb\": " + Number(*fiber.estimatedLoss) + ", \"memo\": " + Quoted(records[i].memo) +
             ", \"source\": " + Quoted(records[i].source) + ", \"line\": " + std::to_string(fiber.line) + "}";
    }
  }
  out += first ? "],\n" : "\n  ],\n";
  out += "  \"problems\": [";
  first = true;
  for (const ReadProblem& problem : content.reading.problems) {
    out += first ? "\n" : ",\n";
    first = false;
    out += "    {\"source\": " + Quoted(problem.source) + ", \"line\": " + std::to_string(problem.line) +
           ", \"message\": " + Quoted(problem.message) + "}";
  }
  out += first ? "]\n" : "\n  ]\n";
  out += "}\n";
  return out;
}

}  // namespace seamlog::report
