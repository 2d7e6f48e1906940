#include "seamlog/reportgen/report_generator.h"

#include <gtest/gtest.h>

#include <string>

namespace seamlog::reportgen {
namespace {

// Every CR is followed by an LF and every LF preceded by a CR.
bool OnlyCrLfLineEnds(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  }
  return true;
}

TEST(ReportGenerator, EachModelsRecordsHaveTheirNominalLengthAndAreRecognised) {
  struct Case { Model model; int fibers; std::size_t recordLength; };
  for (const Case c : {Case{Model::A, 0, 618}, Case{Model::B, 0, 378}, Case{Model::C, 0, 665},
                       Case{Model::C, 8, 665}, Case{Model::C, 1, 665}}) {
    SCOPED_TRACE(convert::ModelRowOf(c.model).name);
    const std::string report = GenerateReport({c.model, 30, 9, c.fibers});
    EXPECT_EQ(report.size(), 30 * c.recordLength);
    EXPECT_EQ(convert::RecogniseModel(report), c.model);
    EXPECT_TRUE(OnlyCrLfLineEnds(report));
    EXPECT_EQ(report.find(std::string(31, '-') + "\r\n"), 0u);
    EXPECT_EQ(SeparatorBlock(c.model).size(), 66u);
  }
}

TEST(ReportGenerator, MODELCRecordsWithMoreThanEightFibersAreLonger) {
  const std::string report = GenerateReport({Model::C, 2, 9, 12});
  EXPECT_GT(report.size(), 2u * 665u);
  EXPECT_EQ(convert::RecogniseModel(report), Model::C);
}

TEST(ReportGenerator, TheSameSeedGivesTheSameReportAndAnotherSeedAnother) {
  EXPECT_EQ(GenerateReport({Model::B, 5, 42, 0}), GenerateReport({Model::B, 5, 42, 0}));
  EXPECT_NE(GenerateReport({Model::B, 5, 42, 0}), GenerateReport({Model::B, 5, 43, 0}));
}

TEST(ReportGenerator, TheSplicersStreamEndsItsLinesInCarriageReturnsAlone) {
  EXPECT_EQ(AsSentBySplicer("ab\r\ncd\r\n"), "ab\rcd\r");
  EXPECT_EQ(AsSentBySplicer("\r\n\r\n\n"), "\r\r\n");
  const std::string report = GenerateReport({Model::A, 2, 1, 0});
  EXPECT_EQ(AsSentBySplicer(report).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace seamlog::reportgen
