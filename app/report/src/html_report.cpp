#include "seamlog/report/html_report.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "ansi_text.h"
#include "report_charts.h"

namespace seamlog::report {

namespace {

constexpr const char* kStyle = R"css(
*{box-sizing:border-box}
body{font:10pt/1.35 "DejaVu Sans",Arial,Helvetica,sans-serif;color:#111;max-width:186mm;margin:12px auto;padding:0 6px}
h1{font-size:17pt;margin:0 0 6px}
h2{font-size:12pt;margin:14px 0 6px;border-bottom:1px solid #888;break-after:avoid}
table{border-collapse:collapse;width:100%}
th,td{padding:1px 4px;text-align:left;vertical-align:top;overflow-wrap:anywhere}
.job th{width:24%;font-weight:600;color:#333}
.figures th{font-weight:normal;color:#333;width:22%}
.figures td{font-weight:600;width:28%}
.rows{table-layout:fixed;font-size:7.5pt;line-height:1.25}
.rows th{border-bottom:1px solid #333;background:#eee;font-weight:600}
.rows td{border-bottom:1px solid #ddd}
.rows .n{text-align:right}
thead{display:table-header-group}
tr{break-inside:avoid}
tr.fail td{background:#fbdcd8}
tr.warn td{background:#fdf0cf}
tr.old td{color:#666;font-style:italic}
td.v{font-weight:600}
tr.fail td.v{color:#a5281b}
.small{font-size:8pt;width:auto}
.small th,.small td{border-bottom:1px solid #ddd;text-align:right}
.chart{margin:8px 0 10px;break-inside:avoid}
.chart figcaption{font-weight:600;font-size:9.5pt}
svg{width:100%;height:auto;display:block}
svg text{font-size:10px;fill:#333}
svg .lbl{font-size:10px}
.axis{stroke:#333;fill:none}
.bar{fill:#5b87c5}
.warnline{stroke:#c98000;stroke-width:1.5;stroke-dasharray:4 3;fill:none}
.limitline{stroke:#b3261e;stroke-width:1.5;stroke-dasharray:7 3;fill:none}
.dots{stroke-width:3;stroke-linecap:round;fill:none}
.dots.pass{stroke:#2e7d32}.dots.warn{stroke:#c98000}.dots.fail{stroke:#b3261e}
.maxmark{stroke:#b3261e;stroke-width:2}
.figures-list{font-size:8pt;color:#333;margin:2px 0;padding:0}
ul.figures-list li{display:inline-block;margin-right:12px}
.note{font-size:8.5pt;color:#444}
.problems{font-size:8pt}
.verdict-fail{color:#a5281b;font-weight:600}
@page{margin:16mm 12mm 14mm}
@media print{body{max-width:none;margin:0;padding:0}.newpage{break-before:page}}
)css";

// Text for a CSS string: every character that is not plain ASCII is escaped,
// so that nothing from the tables can end the string or the style sheet.
std::string CssString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= 'a' && byte <= 'z') || byte == ' ' || byte == '.' || byte == '-' ||
                       byte == ',' || byte == ':' || byte == '/';
    if (plain) {
      out += c;
      continue;
    }
    const unsigned code = byte < 0x20 || byte == 0x7f ? 0x20u : UnicodeOfAnsi(byte);
    char hex[12];
    std::snprintf(hex, sizeof hex, "\\%x ", code);
    out += hex;
  }
  return out + "\"";
}

std::string Count(int n) { return std::to_string(n); }

std::string Share(int part, int whole) {
  if (whole == 0) return "";
  return " (" + FormatFigure({std::int64_t{part} * 100 * Decimal::kScale, whole}, 1) + " %)";
}

std::string Db(const std::optional<Figure>& figure, int decimals) {
  return figure ? FormatFigure(*figure, decimals) + " dB" : "no value";
}

// A measured value with its decimals as the table gives them (at least one);
// nothing when there is no value.
std::string Measured(const std::optional<Decimal>& value) {
  if (!value) return "";
  std::string text = FormatDecimal(*value, 4);
  while (text.back() == '0' && text[text.size() - 2] != '.') text.pop_back();
  return text;
}

std::string Limit(Decimal value) { return FormatDecimal(value, 2) + " dB"; }

void Row(std::string& out, std::string_view label, std::string_view value) {
  out += "<tr><th>";
  out += label;
  out += "</th><td>";
  AppendEscaped(out, value);
  out += "</td></tr>";
}

std::string SourceTag(const ReportContent& content, const SpliceRecord& record, int line) {
  for (std::size_t i = 0; i < content.sources.size(); ++i) {
    if (content.sources[i] == record.source) return "F" + std::to_string(i + 1) + ":" + std::to_string(line);
  }
  return record.source + ":" + std::to_string(line);
}

std::string AcceptanceText(const AcceptanceLimits& limits) {
  std::string text = "pass below " + Limit(limits.warning) + ", warn from " + Limit(limits.warning) +
                     " up to " + Limit(limits.limit) + ", fail above " + Limit(limits.limit) + " per fiber";
  if (limits.averageLimit) text += "; mean of the job at most " + Limit(*limits.averageLimit);
  return text;
}

std::string Title(const ReportContent& content) {
  return content.job.job.empty() ? "Splice report" : "Splice report: " + content.job.job;
}

void AppendHeader(std::string& out, const ReportContent& content) {
  out += "<header><h1>";
  AppendEscaped(out, Title(content));
  out += "</h1><table class=\"job\">";
  const JobDetails& job = content.job;
  if (!job.job.empty()) Row(out, "Job", job.job);
  if (!job.location.empty()) Row(out, "Location", job.location);
  if (!job.customer.empty()) Row(out, "Customer", job.customer);
  if (!job.operatorName.empty()) Row(out, "Operator", job.operatorName);
  Row(out, "Report made", content.reportDate);
  Row(out, "Acceptance", AcceptanceText(content.limits));
  out += "<tr><th>Tables read</th><td>";
  for (std::size_t i = 0; i < content.sources.size(); ++i) {
    if (i > 0) out += "<br>";
    out += "F" + std::to_string(i + 1) + ": ";
    AppendEscaped(out, content.sources[i]);
  }
  out += "</td></tr>";
  if (!job.notes.empty()) Row(out, "Notes", job.notes);
  out += "</table></header>\n";
}

void AppendSummary(std::string& out, const ReportContent& content) {
  const LossSummary& s = content.summary;
  out += "<section id=\"summary\"><h2>Summary</h2><table class=\"figures\">";
  auto pair = [&out](std::string_view a, const std::string& av, std::string_view b, const std::string& bv) {
    out += "<tr><th>";
    out += a;
    out += "</th><td>" + av + "</td><th>";
    out += b;
    out += "</th><td>" + bv + "</td></tr>";
  };
  std::string splices = Count(s.splices);
  if (s.resplicedSplices > 0) splices += " (" + Count(s.resplicedSplices) + " re-spliced)";
  pair("Splices", splices, "Records read", Count(s.records));
  pair("Fibers", Count(s.fibers), "With a loss value", Count(s.fibersWithLoss));
  pair("Mean loss", Db(s.mean, 3), "Median loss", Db(s.median, 3));
  pair("Largest loss", Db(s.maximum, 2), "Standard deviation", Db(s.standardDeviation, 3));
  pair("Pass", Count(s.pass) + Share(s.pass, s.fibersWithLoss), "Warn",
       Count(s.warn) + Share(s.warn, s.fibersWithLoss));
  pair("Fail", Count(s.fail) + Share(s.fail, s.fibersWithLoss), "No loss value", Count(s.noValue));
  std::string average = "not set";
  if (s.averageHolds) {
    average = Limit(*content.limits.averageLimit) + (*s.averageHolds ? ": holds" : ": exceeded");
  }
  pair("Within the limit", s.percentWithinLimit ? FormatFigure(*s.percentWithinLimit, 1) + " %" : "no value",
       "Average limit", average);
  out +=
      "</table><p class=\"note\">Every loss in this report is the splicer's estimate of the splice "
      "loss, not a measurement; an OTDR measurement of the link is the final word. Figures are "
      "taken over the last attempt of each splice.</p></section>\n";
}

void AppendFiberCells(std::string& out, const ReportContent& content, const SpliceRecord& record,
                      const FiberRow& fiber, Verdict verdict) {
  out += "<td class=\"n\">" + Count(fiber.position) + "</td><td class=\"n\">";
  AppendEscaped(out, fiber.lossText);
  out += "</td><td class=\"v\">";
  out += VerdictName(verdict);
  out += "</td><td class=\"n\">" + Measured(fiber.cutLeft) + " / " + Measured(fiber.cutRight) +
         "</td><td class=\"n\">" + Measured(fiber.offset) + "</td><td>";
  AppendEscaped(out, record.date);
  out += ' ';
  AppendEscaped(out, record.time);
  out += "</td><td>";
  std::string about = record.memo;
  for (const std::string* part : {&record.condition, &record.fiberType}) {
    if (part->empty()) continue;
    if (!about.empty()) about += "; ";
    about += *part;
  }
  AppendEscaped(out, about);
  out += "</td><td>";
  AppendEscaped(out, SourceTag(content, record, fiber.line));
  out += "</td>";
}

// The columns of the over-limit list and of the table of all splices.
constexpr const char* kTableHead =
    "<table class=\"rows\"><colgroup><col style=\"width:6%\"><col style=\"width:8%\"><col "
    "style=\"width:6%\"><col style=\"width:8%\"><col style=\"width:7%\"><col style=\"width:10%\"><col "
    "style=\"width:7%\"><col style=\"width:15%\"><col style=\"width:20%\"><col style=\"width:13%\">"
    "</colgroup><thead><tr><th class=\"n\">No.</th><th class=\"n\">Attempt</th><th class=\"n\">Fiber</th>"
    "<th class=\"n\">Loss dB (est.)</th><th>Result</th><th class=\"n\">Cut L / R deg</th>"
    "<th class=\"n\">Offset um</th><th>Date, time</th><th>Memo, condition, fiber</th><th>Source</th>";

void AppendOverLimit(std::string& out, const ReportContent& content) {
  const auto& records = content.reading.records;
  out += "<section id=\"over-limit\"><h2>Splices over the limit, to redo</h2>";
  std::string rows;
  int count = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Attempt attempt = i < content.attempts.size() ? content.attempts[i] : Attempt{};
    if (!attempt.Final()) continue;
    for (const FiberRow& fiber : records[i].fibers) {
      if (Judge(fiber.estimatedLoss, content.limits) != Verdict::Fail) continue;
      ++count;
      rows += "<tr class=\"fail\"><td class=\"n\">";
      AppendEscaped(rows, records[i].numberText);
      rows += "</td><td class=\"n\">" + Count(attempt.number) + "</td>";
      AppendFiberCells(rows, content, records[i], fiber, Verdict::Fail);
      rows += "</tr>\n";
    }
  }
  if (count == 0) {
    out += "<p>None: no fiber's estimated loss is above " + Limit(content.limits.limit) + ".</p></section>\n";
    return;
  }
  out += "<p>" + Count(count) + " fiber" + (count == 1 ? "" : "s") + " above " + Limit(content.limits.limit) +
         " (the last attempt of each splice).</p>";
  out += kTableHead;
  out += "</tr></thead><tbody>\n" + rows + "</tbody></table></section>\n";
}

void AppendProblems(std::string& out, const ReportContent& content) {
  if (content.reading.problems.empty()) return;
  out += "<section id=\"problems\"><h2>Rows not read, or read with care</h2><ul class=\"problems\">";
  for (const ReadProblem& problem : content.reading.problems) {
    out += "<li>";
    AppendEscaped(out, problem.source);
    if (problem.line > 0) out += " line " + Count(problem.line);
    out += ": ";
    AppendEscaped(out, problem.message);
    out += "</li>\n";
  }
  out += "</ul></section>\n";
}

void AppendAllSplices(std::string& out, const ReportContent& content) {
  const auto& records = content.reading.records;
  out += "<section id=\"all\" class=\"newpage\"><h2>All splices</h2>";
  out += kTableHead;
  out += "</tr></thead><tbody>\n";
  for (std::size_t i = 0; i < records.size(); ++i) {
    const SpliceRecord& record = records[i];
    const Attempt attempt = i < content.attempts.size() ? content.attempts[i] : Attempt{};
    bool first = true;
    for (const FiberRow& fiber : record.fibers) {
      const Verdict verdict = Judge(fiber.estimatedLoss, content.limits);
      out += "<tr class=\"";
      out += attempt.Final() ? VerdictName(verdict) : "old";
      out += "\"><td class=\"n\">";
      if (first) AppendEscaped(out, record.numberText);
      out += "</td><td class=\"n\">";
      if (first && attempt.of > 1) {
        out += Count(attempt.number) + " of " + Count(attempt.of);
      } else if (first) {
        out += '1';
      }
      out += "</td>";
      AppendFiberCells(out, content, record, fiber, verdict);
      out += "</tr>\n";
      first = false;
    }
  }
  out += "</tbody></table>";
  if (records.empty()) out += "<p>No splice record was read.</p>";
  out += "</section>\n";
}

}  // namespace

std::string HtmlReport(const ReportContent& content) {
  std::string out;
  out.reserve(4096 + content.reading.records.size() * 400);
  out +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"windows-1252\">"
      "<meta name=\"viewport\" content=\"width=device-width\"><title>";
  AppendEscaped(out, Title(content));
  out += "</title><style>";
  out += kStyle;
  std::string running = "Splice report";
  for (const std::string* part : {&content.job.job, &content.job.location}) {
    if (!part->empty()) running += " - " + *part;
  }
  out += "@page{@top-left{content:" + CssString(running) +
         ";font:8pt sans-serif;color:#444}@top-right{content:\"page \" counter(page) \" of \" "
         "counter(pages);font:8pt sans-serif;color:#444}}\n</style></head><body>\n";
  AppendHeader(out, content);
  AppendSummary(out, content);
  AppendOverLimit(out, content);
  out += "<section id=\"charts\"><h2>Charts</h2>";
  AppendLossHistogram(out, content);
  AppendLossBySplice(out, content);
  AppendLossByFiberPosition(out, content);
  out += "</section>\n";
  AppendProblems(out, content);
  AppendAllSplices(out, content);
  out += "</body></html>\n";
  return out;
}

}  // namespace seamlog::report
