#include "seamlog/convert/arriving_record.h"

#include <gtest/gtest.h>

#include <string>

#include "seamlog/reportgen/report_generator.h"

namespace seamlog::convert {
namespace {

struct Report {
  const char* what;
  reportgen::ReportOptions options;
};

const Report kReports[] = {
    {"MODEL-A", {Model::A, 3, 11, 0}},
    {"MODEL-B", {Model::B, 3, 12, 0}},
    {"MODEL-C with one fiber", {Model::C, 3, 13, 1}},
    {"MODEL-C with twelve fibers, longer than 665 characters", {Model::C, 3, 14, 12}},
};

// The last record of a report cut at every character: the text is whole
// before its first character and after its last, and still arriving from
// its separator line on at every point in between.
TEST(ArrivingRecord, EveryCutOfTheLastRecordIsStillArrivingFromItsSeparatorLine) {
  for (const Report& r : kReports) {
    SCOPED_TRACE(r.what);
    const std::string report = reportgen::GenerateReport(r.options);
    const std::size_t lastStart = report.rfind("-------------------------------\r\n");
    ASSERT_NE(lastStart, std::string::npos);
    EXPECT_EQ(ArrivingRecordStart(r.options.model, report), report.size());
    EXPECT_EQ(ArrivingRecordStart(r.options.model, report.substr(0, lastStart)), lastStart);
    for (std::size_t cut = lastStart + 1; cut < report.size(); ++cut)
      ASSERT_EQ(ArrivingRecordStart(r.options.model, std::string_view(report).substr(0, cut)), lastStart)
          << "cut at " << cut;
  }
}

TEST(ArrivingRecord, TextWithoutARecordOrWithHyphensInsideALineIsNotHeldBack) {
  struct Case {
    const char* what;
    Model model;
    std::string text;
    std::size_t expected;
  };
  const std::string separator = "-------------------------------\r\n";
  const Case cases[] = {
      {"empty text", Model::A, "", 0},
      {"text with no separator line", Model::A, std::string(700, 'x'), 700},
      {"a hyphen at the end of a line, not at its start", Model::B, "Loss : -", 8},
      {"a separator line arriving at the start of the text", Model::C, "----", 0},
      {"a MODEL-A record one character short", Model::A, separator + std::string(584, 'x'), 0},
      {"a MODEL-A record of its whole length", Model::A, separator + std::string(585, 'x'), 618},
      {"a MODEL-B record of its whole length", Model::B, separator + std::string(345, 'x'), 378},
      {"a MODEL-C record without its Loss heading", Model::C, separator + std::string(900, 'x'), 0},
      {"a MODEL-C record with eleven of its twelve loss lines", Model::C,
       separator + "Loss\r\n" +
           [] {
             std::string s;
             for (int i = 0; i < 11; ++i) s += "01 0.02\r\n";
             return s;
           }(),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ArrivingRecordStart(c.model, c.text), c.expected);
  }
}

}  // namespace
}  // namespace seamlog::convert
