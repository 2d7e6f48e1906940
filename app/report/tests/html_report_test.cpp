#include "seamlog/report/html_report.h"

#include <gtest/gtest.h>

#include <string>

#include "seamlog/report/json_summary.h"
#include "seamlog/report/table_reader.h"

namespace seamlog::report {
namespace {

constexpr const char* kTableA =
    "\r\n\r\nNo.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,Estimation Loss,Align "
    "Method,"
    "Fiber,Date,Time,Memo\r\n,deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,\r\n"
    "   1,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.44,Core,MM,03/03/22,20:38,Joint 17\r\n"
    "   2,1.2,1.3,0.4,0.2,0.1,0.9,0.2,1297, 0.26,Clad,DS,13/09/21,23:36,<script>x</script>\r\n"
    "   3,1.2,1.3,0.4,0.2,0.1,0.9,0.2,1297, 0.31,Clad,DS,13/09/21,23:36,Pit & \"tray\"\r\n"
    "   1,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.04,Core,MM,03/03/22,21:38,Joint 17\r\n"
    "oops\r\n";

ReportContent ContentOf(const std::string& table) {
  ReportContent content;
  content.job.job = "Ring \"4\" } A&B";
  content.job.location = "Closure <17>";
  content.sources = {"day1.csv"};
  content.reportDate = "2026-12-08";
  ReadTables("day1.csv", table, content.reading);
  content.attempts = CountAttempts(content.reading.records);
  content.summary = Summarise(content.reading.records, content.attempts, content.limits);
  return content;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HtmlReport, EveryTextFromTheTablesAndTheJobIsEscaped) {
  const std::string html = HtmlReport(ContentOf(kTableA));
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(html.find("Pit &amp; &quot;tray&quot;"), std::string::npos);
  EXPECT_NE(html.find("Closure &lt;17&gt;"), std::string::npos);
  // The running header is a CSS string: quotes and braces are escaped there.
  EXPECT_NE(html.find("Ring \\22 4\\22  \\7d  A\\26 B"), std::string::npos);
  std::string escaped;
  AppendEscaped(escaped, std::string("a\x01\tb\x7f\xe9", 6));
  EXPECT_EQ(escaped, "a?\tb?\xe9");
}

TEST(HtmlReport, TheDocumentNeedsNothingFromOutsideItself) {
  const std::string html = HtmlReport(ContentOf(kTableA));
  for (const char* outside : {"http", "//", "url(", "src=", "href=", "@import", "<script", "<link", "<img"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(html.find("<style>"), std::string::npos);
  EXPECT_NE(html.find("@media print"), std::string::npos);
  EXPECT_NE(html.find("counter(pages)"), std::string::npos);
}

TEST(HtmlReport, SplicesOverTheLimitComeFirstAndEveryFiberRowHasItsVerdict) {
  const ReportContent content = ContentOf(kTableA);
  const std::string html = HtmlReport(content);
  const std::size_t overLimit = html.find("id=\"over-limit\"");
  const std::size_t all = html.find("id=\"all\"");
  ASSERT_NE(overLimit, std::string::npos);
  ASSERT_NE(all, std::string::npos);
  EXPECT_LT(overLimit, all);
  // Record 3 (0.31) fails, in the over-limit list and in the full table;
  // record 1 failed at 0.44 and was spliced again: an earlier attempt.
  EXPECT_EQ(Occurrences(html, "<tr class=\"fail\">"), 2u);
  EXPECT_EQ(Occurrences(html, "<tr class=\"warn\">"), 1u);
  EXPECT_EQ(Occurrences(html, "<tr class=\"pass\">"), 1u);
  EXPECT_EQ(Occurrences(html, "<tr class=\"old\">"), 1u);
  // Cut angles and offset beside the loss; a blank angle stays blank.
  EXPECT_NE(html.find("<td class=\"n\">1.2 / 1.3</td><td class=\"n\">0.4</td>"), std::string::npos);
  EXPECT_NE(html.find("1 of 2"), std::string::npos);
  EXPECT_NE(html.find("2 of 2"), std::string::npos);
  EXPECT_NE(html.find("(1 re-spliced)"), std::string::npos);
  EXPECT_NE(html.find("splicer's estimate"), std::string::npos);
  // The row outside the table is named.
  EXPECT_NE(html.find("day1.csv line 9: not a row of the MODEL-A table"), std::string::npos);
}

TEST(HtmlReport, TheSummaryShowsTheFiguresAndTheAcceptance) {
  ReportContent content = ContentOf(kTableA);
  content.limits.averageLimit = ParseDecimal("0.20");
  content.summary = Summarise(content.reading.records, content.attempts, content.limits);
  const std::string html = HtmlReport(content);
  // Standing: 0.26, 0.31, 0.04.
  EXPECT_NE(html.find("<th>Mean loss</th><td>0.203 dB</td>"), std::string::npos);
  EXPECT_NE(html.find("<th>Median loss</th><td>0.260 dB</td>"), std::string::npos);
  EXPECT_NE(html.find("<th>Largest loss</th><td>0.31 dB</td>"), std::string::npos);
  EXPECT_NE(html.find("<th>Fail</th><td>1 (33.3 %)</td>"), std::string::npos);
  EXPECT_NE(html.find("<th>Average limit</th><td>0.20 dB: exceeded</td>"), std::string::npos);
  EXPECT_NE(html.find("fail above 0.30 dB per fiber"), std::string::npos);
}

TEST(HtmlReport, ChartsAreDrawnInlineWithTheirFiguresBesideThem) {
  const std::string html = HtmlReport(ContentOf(kTableA));
  EXPECT_EQ(Occurrences(html, "<svg "), 2u);  // no ribbon: no chart by fiber position
  EXPECT_NE(html.find("class=\"limitline\""), std::string::npos);
  EXPECT_NE(html.find("<li>0.30&ndash;0.31 dB: 1</li>"), std::string::npos);

  // A loss right at the limit is counted in the band that ends at the limit.
  const std::string atLimit =
      HtmlReport(ContentOf("\r\n\r\nNo.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc "
                           "Count,Estimation Loss,Align Method,"
                           "Fiber,Date,Time,Memo\r\n,deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,\r\n"
                           "   1,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.30,Core,MM,03/03/22,20:38,\r\n"
                           "   2,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.00,Core,MM,03/03/22,20:38,\r\n"));
  EXPECT_NE(atLimit.find("<li>0.29&ndash;0.30 dB: 1</li>"), std::string::npos);
  EXPECT_NE(atLimit.find("<li>0.00&ndash;0.01 dB: 1</li>"), std::string::npos);

  std::string ribbon =
      "\r\n\r\nNo.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time\r\n"
      ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,\r\n"
      "   1,1,0.2,0.0,1.1, 8.1,0.06,R,14.5, Good    ,  19/06/25,22:45,\r\n,2,0.0,0.9,1.9,16.1,0.7 "
      ",R,0.29,\r\n"
      ",3,0.7,0.0,1.0, 7.0,0.06,\r\n,4,0.8,0.4,1.4, 9.2,0.23,\r\n\r\n";
  const std::string withRibbon = HtmlReport(ContentOf(ribbon));
  EXPECT_EQ(Occurrences(withRibbon, "<svg "), 3u);
  EXPECT_NE(withRibbon.find("<tr><td>2</td><td>1</td><td>0.700</td><td>0.70</td><td>1</td></tr>"),
            std::string::npos);
}

TEST(HtmlReport, TheJsonSummaryCarriesTheSameFigures) {
  ReportContent content = ContentOf(kTableA);
  content.reading.records[2].memo = "tab\there \xe9";
  const std::string json = JsonSummary(content);
  EXPECT_NE(json.find("\"splices\": 3"), std::string::npos);
  EXPECT_NE(json.find("\"fail\": 1"), std::string::npos);
  EXPECT_NE(json.find("\"meanDb\": 0.2033"), std::string::npos);
  EXPECT_NE(json.find("\"averageLimitDb\": null"), std::string::npos);
  EXPECT_NE(json.find("\"lossDb\": 0.3100, \"memo\": \"tab\\u0009here \\u00e9\""), std::string::npos);
  EXPECT_NE(json.find("\"job\": \"Ring \\\"4\\\" } A&B\""), std::string::npos);
  EXPECT_NE(json.find("\"line\": 9, \"message\""), std::string::npos);
}

}  // namespace
}  // namespace seamlog::report
