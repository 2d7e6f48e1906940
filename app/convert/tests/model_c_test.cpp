#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/memory_row_writer.h"
#include "seamlog/reportgen/report_generator.h"
#include "test_support.h"

namespace seamlog::convert {
namespace {

using testing::Commas;
using testing::RecordingProgress;
using testing::SeparatorBlock;

const std::string kHeader =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time,Memo";
const std::string kUnits = ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,";
const std::string kIrregularHeading = "Fb Offset CutL CutR  Gap     Irregular";
const std::string kLossHeading = "Fb  Est.Loss";

// An irregular line: count, offset +4, cut L +10, cut R +15, gap +20,
// eighth column +28, Irregular +30.
std::string FiberLine(int fiber, const std::string& irregular = "0.44", const std::string& eighth = "L") {
  const std::string count = (fiber < 10 ? "0" : "") + std::to_string(fiber);
  const std::string digit = std::to_string(fiber % 10);
  return count + "  " + digit + ".1   " + digit + ".2  " + digit + ".3  " + digit + "2.5    " + eighth +
         " " + irregular;
}
std::string TotalLine(const std::string& irregular = "0.50", const std::string& eighth = "R") {
  return "Total" + std::string(23, ' ') + eighth + " " + irregular;
}
std::string FiberValues(int fiber) {
  const std::string count = (fiber < 10 ? "0" : "") + std::to_string(fiber);
  const std::string digit = std::to_string(fiber % 10);
  const std::string loss = "0." + std::string(fiber < 10 ? "1" : "2") + digit;
  return count + "," + digit + ".1," + digit + ".2," + digit + ".3," + digit + "2.5," + loss + ",";
}

std::vector<std::string> LossLines(int count = 12) {
  std::vector<std::string> lines;
  for (int n = 1; n <= count; ++n) {
    const std::string number = (n < 10 ? "0" : "") + std::to_string(n);
    std::string line = number + " 0." + (n < 10 ? "1" : "2") + std::to_string(n % 10);
    if (n == 2) line += "  C: Good";
    if (n == 5) line += "   Date: 21/10/26";
    if (n == 6) line += "   Time:    14:05";
    if (n == 8) line += "  M: Joint 7";
    lines.push_back(line);
  }
  return lines;
}

// A record body: number line, irregular section, blank filler up to the
// nominal 599 characters (when there is room), loss section.
std::string Body(const std::vector<std::string>& irregularLines,
                 const std::vector<std::string>& lossLines = LossLines()) {
  std::string front = "Splice No.   56\r\n" + kIrregularHeading + "\r\n";
  for (const auto& line : irregularLines) front += line + "\r\n";
  std::string back = kLossHeading + "\r\n";
  for (const auto& line : lossLines) back += line + "\r\n";
  const std::size_t used = front.size() + back.size();
  if (used + 2 <= 599) front += std::string(599 - used - 2, ' ') + "\r\n";
  return front + back;
}

std::string OneFiberBody() { return Body({FiberLine(1), TotalLine()}); }

const std::string kRow1 = "  56," + FiberValues(1) + "L,0.44,Good,2021/10/26,14:05,Joint 7,";

struct Conversion {
  MemoryRowWriter out;
  RecordingProgress progress;
  ConvertResult result;
  explicit Conversion(const std::string& text, MemoryRowWriter writer = MemoryRowWriter())
      : out(std::move(writer)), result(ConvertModelC(text, out, progress)) {}
};

std::vector<std::string> Table(const std::vector<std::string>& records) {
  std::vector<std::string> rows{"", "", kHeader, kUnits};
  rows.insert(rows.end(), records.begin(), records.end());
  return rows;
}

std::vector<std::string> OneFiberRecordRows() {
  std::vector<std::string> rows{kRow1, ",,,,,,,R,0.50,"};
  rows.resize(13);
  return rows;
}

TEST(ModelC, ARecordWithOneFiberGetsTheFillerRowTenEmptyRowsAndAnEmptyRow) {
  ASSERT_EQ(OneFiberBody().size(), 599u);
  const Conversion run(SeparatorBlock() + OneFiberBody());
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table(OneFiberRecordRows()));
  EXPECT_EQ(Commas(run.out.rows()[4]), 13u);
  EXPECT_EQ(Commas(run.out.rows()[5]), 9u);
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{1});
  EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelC, ABlankAtTheSixthCharacterOfIrregularLineFourMeansThreeFibers) {
  const Conversion run(SeparatorBlock() + Body({FiberLine(1), FiberLine(2), FiberLine(3), TotalLine()}));
  std::vector<std::string> rows{kRow1, "," + FiberValues(2) + "L,0.44,", "," + FiberValues(3)};
  rows.resize(13);
  EXPECT_EQ(run.out.rows(), Table(rows));
  EXPECT_EQ(Commas(run.out.rows()[5]), 9u);
  EXPECT_EQ(Commas(run.out.rows()[6]), 7u);
}

TEST(ModelC, TwelveFibersFillTheTwelveRowsThemselves) {
  std::vector<std::string> lines;
  for (int fiber = 1; fiber <= 12; ++fiber) lines.push_back(FiberLine(fiber));
  lines.push_back(TotalLine());
  const Conversion run(SeparatorBlock() + Body(lines));
  std::vector<std::string> rows{kRow1, "," + FiberValues(2) + "L,0.44,"};
  for (int fiber = 3; fiber <= 12; ++fiber) rows.push_back("," + FiberValues(fiber));
  rows.push_back("");
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table(rows));
}

TEST(ModelC, AnIrregularValueLosesItsPointOnlyWhenThePointIsItsThirdCharacter) {
  struct Case { std::string value, written; };
  std::string emptyFirstLine = Body({FiberLine(1), TotalLine()}, LossLines(3));
  emptyFirstLine.replace(0, emptyFirstLine.find("\r\n"), "\r\n" + std::string(13, '5'));
  const Case cases[] = {{"0.44", "0.44"}, {"12.5", "125"}, {" 0.4", " 04"},
                        {"....", "..."},  {"1.2.", "1.2."}, {"1234", "1234"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const Conversion run(SeparatorBlock() + Body({FiberLine(1, c.value), TotalLine(c.value)}));
    ASSERT_EQ(run.out.rows().size(), 17u);
    EXPECT_EQ(run.out.rows()[4], "  56," + FiberValues(1) + "L," + c.written +
                                     ",Good,2021/10/26,14:05,Joint 7,");
    EXPECT_EQ(run.out.rows()[5], ",,,,,,,R," + c.written + ",");
  }
}

TEST(ModelC, TheDateIsAlwaysWrittenWith20InFront) {
  std::vector<std::string> loss = LossLines();
  loss[4] = "05 0.15   Date: --.--.--";
  const Conversion run(SeparatorBlock() + Body({FiberLine(1), TotalLine()}, loss));
  EXPECT_EQ(run.out.rows()[4], "  56," + FiberValues(1) + "L,0.44,Good,20--.--.--,14:05,Joint 7,");
}

TEST(ModelC, TwoWholeRecordsGive26LinesAndProgressOneThenTwo) {
  const std::string text = SeparatorBlock() + OneFiberBody() + SeparatorBlock() + OneFiberBody();
  ASSERT_EQ(text.size(), 1330u);
  const Conversion run(text);
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(OneFiberRecordRows(), 2)));
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{2});
  EXPECT_EQ(run.progress.values, (std::vector<std::int16_t>{1, 2}));
}

TEST(ModelC, RecordsLongerThanNominalMoveTheProgressByTheRoundedRemainder) {
  std::vector<std::string> lines;
  for (int fiber = 1; fiber <= 12; ++fiber) lines.push_back(FiberLine(fiber));
  lines.push_back(TotalLine());
  std::vector<std::string> loss = LossLines();
  loss[7] += std::string(132, '*');  // a long memo
  const std::string record = SeparatorBlock() + Body(lines, loss);
  ASSERT_EQ(record.size(), 900u);
  const Conversion run(record + record + record);
  // 2700 / 665 = 4.06 gives 4; then 1800 (2.71 -> 3) and 900 (1.35 -> 1) remain.
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{4});
  EXPECT_EQ(run.progress.values, (std::vector<std::int16_t>{1, 3, 4}));
  EXPECT_EQ(run.out.rows().size(), 4u + 3u * 13u);
}

TEST(ModelC, TextsShorterThan598CharactersConvertNoRecordAndComplete) {
  const Conversion run((SeparatorBlock() + OneFiberBody()).substr(0, 597));
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table({}));
}

TEST(ModelC, TextWithoutSeparatorOrHeadingStopsAtOnceAfterTheOpeningRows) {
  const Conversion run(std::string(700, 'x'));
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Stopped);
  EXPECT_EQ(run.result.stoppedAtRecord, 1);
  EXPECT_EQ(run.out.rows(), Table({}));
  EXPECT_TRUE(run.progress.values.empty());
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelC, ARecordWithoutAHeadingLineStopsTheRunAndKeepsTheRecordsBefore) {
  struct Case { const char* what; std::string body; std::string heading; };
  std::string noLoss = OneFiberBody();
  noLoss.replace(noLoss.find("Est.Loss\r\n"), 10, "Est.Lost\r\n");
  std::string irregularWithoutLineEnd = OneFiberBody();
  irregularWithoutLineEnd.replace(irregularWithoutLineEnd.find("Irregular\r\n"), 11, "Irregular  ");
  std::string emptyFirstLine = Body({FiberLine(1), TotalLine()}, LossLines(3));
  emptyFirstLine.replace(0, emptyFirstLine.find("\r\n"), "\r\n" + std::string(13, '5'));
  const Case cases[] = {
      {"no Loss heading", noLoss, "Loss"},
      {"Irregular not followed by CR LF", irregularWithoutLineEnd, "Irregular"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Conversion run(SeparatorBlock() + OneFiberBody() + SeparatorBlock() + c.body + SeparatorBlock() +
                  OneFiberBody());
    EXPECT_EQ(run.result.outcome, ConvertOutcome::Stopped);
    EXPECT_EQ(run.result.stoppedAtRecord, 2);
    EXPECT_NE(run.result.reason.find(c.heading), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.out.rows(), Table(OneFiberRecordRows()));
    EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
    EXPECT_TRUE(run.out.closed());
  }
}

TEST(ModelC, HeadingsAreFoundWhateverTheirLetterCase) {
  std::string body = OneFiberBody();
  body.replace(body.find("Irregular"), 9, "IRREGULAR");
  body.replace(body.find("Loss"), 4, "loss");
  const Conversion run(SeparatorBlock() + body);
  EXPECT_EQ(run.out.rows(), Table(OneFiberRecordRows()));
}

TEST(ModelC, AShortConditionOrMemoLineIsANegativeLengthFailure) {
  struct Case { std::size_t line; const char* field; };
  for (const Case c : {Case{1, "Condition"}, Case{7, "Memo"}}) {
    SCOPED_TRACE(c.field);
    std::vector<std::string> loss = LossLines();
    loss[c.line] = loss[c.line].substr(0, 10);
    const Conversion run(SeparatorBlock() + OneFiberBody() + SeparatorBlock() +
                  Body({FiberLine(1), TotalLine()}, loss));
    EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
    EXPECT_NE(run.result.reason.find(c.field), std::string::npos) << run.result.reason;
    EXPECT_NE(run.result.reason.find("record 2"), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.out.rows(), Table(OneFiberRecordRows()));
    EXPECT_TRUE(run.out.closed());
  }
}

TEST(ModelC, MissingLossLinesRestartFromTheBeginningOfTheBody) {
  // Only three loss lines: the fifth start has no line end to follow and
  // becomes 2, and the starts after it walk the first lines of the body.
  const Conversion run(SeparatorBlock() + Body({FiberLine(1), TotalLine()}, LossLines(3)));
  ASSERT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows()[4],
            "  56," + FiberValues(1) + "L,0.44,Good,20Fb Offse,  Gap,                R 0.50,");
}

TEST(ModelC, LineStartsFollowEveryLineEndEvenOfAnEmptyOrOneCharacterLine) {
  struct Case { const char* name; std::string body; std::string row; };
  std::vector<std::string> emptyFirstLoss = LossLines();
  emptyFirstLoss[0].clear();
  // Three loss lines, and a body whose first line is one character or empty
  // (the record keeps its whole length): the starts that begin again from
  // the body's start take that line too.
  std::string shortFirstLine = Body({FiberLine(1), TotalLine()}, LossLines(3));
  shortFirstLine.replace(0, shortFirstLine.find("\r\n"), "5\r\n" + std::string(12, '5'));
  std::string emptyFirstLine = Body({FiberLine(1), TotalLine()}, LossLines(3));
  emptyFirstLine.replace(0, emptyFirstLine.find("\r\n"), "\r\n" + std::string(13, '5'));
  const Case cases[] = {
      {"empty line after the loss heading", Body({FiberLine(1), TotalLine()}, emptyFirstLoss),
       "  56," + FiberValues(1).substr(0, 20) + "2 0.,L,0.44,Good,2021/10/26,14:05,Joint 7,"},
      {"one-character first line", shortFirstLine,
       "5555," + FiberValues(1) + "L,0.44,Good,20Fb Offse,fset ,2  1.3  12.5    L 0.44,"},
      {"empty first line", emptyFirstLine,
       "5555," + FiberValues(1) + "L,0.44,Good,20Fb Offse,  Gap,                R 0.50,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Conversion run(SeparatorBlock() + c.body);
    ASSERT_EQ(run.result.outcome, ConvertOutcome::Completed);
    ASSERT_GT(run.out.rows().size(), 4u);
    EXPECT_EQ(run.out.rows()[4], c.row);
  }
}

TEST(ModelC, ACutBeyond32767CharactersIsAFailureNotAWrap) {
  const std::string text = SeparatorBlock() + OneFiberBody() + std::string(33000, ' ') +
                           SeparatorBlock() + OneFiberBody();
  const Conversion run(text);
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_NE(run.result.reason.find("32,767"), std::string::npos) << run.result.reason;
  EXPECT_EQ(run.out.rows(), Table({}));
}

TEST(ModelC, ARecordOf32766CharactersIsStillCut) {
  const std::string body = OneFiberBody() + std::string(32766 - 599, ' ');
  const Conversion run(SeparatorBlock() + body + SeparatorBlock() + OneFiberBody());
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed) << run.result.reason;
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(OneFiberRecordRows(), 2)));
}

TEST(ModelC, ALineStartBeyond32767IsAFailureNotAWrap) {
  // No separator follows, so the whole rest is one body; its heading lies so
  // far in that the first line start no longer fits in 16 bits.
  const std::string text = SeparatorBlock() + std::string(32730, ' ') + OneFiberBody().substr(17);
  ASSERT_EQ(text.find("Irregular\r\n") - 66 + 1, 32760u);  // fits; 32760 + 11 does not
  const Conversion run(text);
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_NE(run.result.reason.find("16 bits"), std::string::npos) << run.result.reason;
}

TEST(ModelC, AHeadingFarBeyond32767IsStillFoundAndIsAFailureNotAStop) {
  // Twice as far in as any position can be, lines and all.
  std::string far;
  while (far.size() < 70000) far += "Arc Power    : Standard\r\n";
  const Conversion run(SeparatorBlock() + far + OneFiberBody().substr(17));
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_NE(run.result.reason.find("16 bits"), std::string::npos) << run.result.reason;
}

TEST(ModelC, AWriteErrorEndsTheRunAsAFailure) {
  const Conversion run(SeparatorBlock() + OneFiberBody(), MemoryRowWriter(6));
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_EQ(run.out.rows().size(), 6u);
  EXPECT_TRUE(run.out.closed());
}

std::string IrregularWritten(const std::string& value) {
  return value[2] == '.' ? value.substr(0, 2) + value[3] : value;
}

std::vector<std::string> ExpectedRows(const reportgen::ValuesC& v) {
  auto fiber = [&](int k) {
    const reportgen::FiberC& f = v.fibers[static_cast<std::size_t>(k)];
    return f.count + "," + f.offset + "," + f.cutLeft + "," + f.cutRight + "," + f.gap + "," + f.loss + ",";
  };
  const reportgen::FiberC& first = v.fibers[0];
  std::vector<std::string> rows{v.number + "," + fiber(0) + first.eighth + "," +
                                IrregularWritten(first.irregular) + "," + v.condition + ",20" +
                                v.date + "," + v.time + "," + v.memo + ","};
  if (v.fiberCount == 1) rows.push_back(",,,,,,," + v.totalEighth + "," + IrregularWritten(v.totalIrregular) + ",");
  for (int k = 1; k < v.fiberCount; ++k) {
    const reportgen::FiberC& f = v.fibers[static_cast<std::size_t>(k)];
    rows.push_back("," + fiber(k) + (k == 1 ? f.eighth + "," + IrregularWritten(f.irregular) + "," : ""));
  }
  rows.resize(13);
  return rows;
}

TEST(ModelC, GeneratedReportsConvertToTheValuesTheyWereMadeFrom) {
  for (int fibers : {0, 1, 8, 12}) {
    SCOPED_TRACE(fibers);
    const std::string report = reportgen::GenerateReport({Model::C, 20, 11, fibers});
    if (fibers <= 8) {
      EXPECT_EQ(report.size(), 20u * 665u);
    }
    const Conversion run(report);
    ASSERT_EQ(run.result.outcome, ConvertOutcome::Completed) << run.result.reason;
    ASSERT_EQ(run.out.rows().size(), 4u + 20u * 13u);
    reportgen::Random random(11);
    for (int number = 1; number <= 20; ++number) {
      const auto first = run.out.rows().begin() + 4 + (number - 1) * 13;
      EXPECT_EQ(std::vector<std::string>(first, first + 13),
                ExpectedRows(reportgen::RandomValuesC(random, number, fibers)))
          << "record " << number;
    }
  }
}

}  // namespace
}  // namespace seamlog::convert
