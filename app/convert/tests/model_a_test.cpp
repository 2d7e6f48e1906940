#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/memory_row_writer.h"
#include "seamlog/reportgen/report_generator.h"
#include "test_support.h"

namespace seamlog::convert {
namespace {

using testing::Blanks;
using testing::Put;
using testing::RecordingProgress;
using testing::SeparatorBlock;

const std::string kHeader =
    "No.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,Estimation Loss,"
    "Align Method,Fiber,Date,Time,Memo";
const std::string kUnits = ",deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,";

// A record body whose unused characters are '#', so that a field taken one
// position off shows at once.
std::string Body() {
  std::string body(552, '#');
  Put(body, 35, "  12");
  Put(body, 69, "0.1");
  Put(body, 105, "0.2");
  Put(body, 141, "0.3");
  Put(body, 176, "0.4");
  Put(body, 212, "0.5");
  Put(body, 247, "0.6");
  Put(body, 282, "0.7");
  Put(body, 316, "  25");
  Put(body, 351, " 0.02");
  Put(body, 382, "      Core Auto");
  Put(body, 420, "   SM G652 fib ");
  Put(body, 458, "       21/10/26");
  Put(body, 496, "          14:05");
  Put(body, 534, "Joint 7        ");
  return body;
}
const std::string kRow =
    "  12,0.1,0.2,0.3,0.4,0.5,0.6,0.7,  25, 0.02,Core Auto,SM G652 fib ,21/10/26,14:05,Joint 7        ";

struct Conversion {
  MemoryRowWriter out;
  RecordingProgress progress;
  ConvertResult result;
  explicit Conversion(const std::string& text, MemoryRowWriter writer = MemoryRowWriter())
      : out(std::move(writer)), result(ConvertModelA(text, out, progress)) {}
};

std::vector<std::string> Table(std::vector<std::string> records) {
  std::vector<std::string> rows{"", "", kHeader, kUnits};
  rows.insert(rows.end(), records.begin(), records.end());
  return rows;
}

TEST(ModelA, ARecordAfterASeparatorBlockGivesOneRowOfFifteenFields) {
  const Conversion run(SeparatorBlock() + Body());
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table({kRow}));
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{1});
  EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
  EXPECT_EQ(testing::Commas(run.out.rows()[2]), 14u);
  EXPECT_EQ(testing::Commas(run.out.rows()[3]), 14u);
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelA, TwoRecordsGiveTwoRowsAndProgressOneThenTwo) {
  const Conversion run(SeparatorBlock() + Body() + SeparatorBlock() + Body());
  EXPECT_EQ(run.out.rows(), Table({kRow, kRow}));
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{2});
  EXPECT_EQ(run.progress.values, (std::vector<std::int16_t>{1, 2}));
}

TEST(ModelA, TextsTooShortForARecordGiveOnlyTheFourOpeningRows) {
  for (std::size_t length : {0u, 1u, 309u, 310u, 550u}) {
    SCOPED_TRACE(length);
    const Conversion run(std::string(length, 'x'));
    EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
    EXPECT_EQ(run.out.rows(), Table({}));
    EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{static_cast<std::int16_t>(length >= 310 ? 1 : 0)});
    EXPECT_TRUE(run.progress.values.empty());
  }
}

TEST(ModelA, A551CharacterTextWithoutSeparatorIsOneCompleteRecord) {
  const Conversion run(Body().substr(0, 551));
  EXPECT_EQ(run.out.rows(), Table({kRow}));
}

TEST(ModelA, A600CharacterTextAfterTheHyphenRunKeepsOnlyTheLastCharacterForMemo) {
  const Conversion run(SeparatorBlock() + Body().substr(0, 534));
  const std::string row =
      "  12,0.1,0.2,0.3,0.4,0.5,0.6,0.7,  25, 0.02,Core Auto,SM G652 fib ,21/10/26,14:05,J";
  EXPECT_EQ(run.out.rows(), Table({row}));
}

TEST(ModelA, AHyphenRunShorterThan31CharactersIsPartOfTheBody) {
  std::string text = std::string(30, '-') + "\r\n" + Blanks(586);
  Put(text, 35, "  77");
  const Conversion run(text);
  ASSERT_EQ(run.out.rows().size(), 5u);
  EXPECT_EQ(run.out.rows()[4].substr(0, 5), "  77,");
}

TEST(ModelA, ABodyOfBlanksGivesBlankNumbersAndEmptyTrimmedColumns) {
  const Conversion run(SeparatorBlock() + Blanks(552));
  EXPECT_EQ(run.out.rows(), Table({"    ,   ,   ,   ,   ,   ,   ,   ,    ,     ,,,,,"}));
}

TEST(ModelA, BytesAboveSevenBitsAreCopiedUnchanged) {
  std::string body = Body();
  Put(body, 534, "\xC4\xE9t\xFC        \xFF\x80\x01");
  const Conversion run(SeparatorBlock() + body);
  ASSERT_EQ(run.out.rows().size(), 5u);
  EXPECT_TRUE(run.out.rows()[4].ends_with(",\xC4\xE9t\xFC        \xFF\x80\x01"));
}

TEST(ModelA, AWriteErrorEndsTheRunAsAFailureAndKeepsTheRowsWritten) {
  const Conversion run(SeparatorBlock() + Body() + SeparatorBlock() + Body(), MemoryRowWriter(5));
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_NE(run.result.reason.find("device is full"), std::string::npos);
  EXPECT_EQ(run.out.rows(), Table({kRow}));
  EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelA, ATextOfMoreThan32767RecordsFailsBeforeWritingAnything) {
  const Conversion run(std::string(20250315, ' '));  // 32767.5 records, rounded to 32768
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
  EXPECT_EQ(run.result.recordCount, 32768);
  EXPECT_TRUE(run.out.rows().empty());
  EXPECT_TRUE(run.progress.starts.empty());
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelA, ExactlyThe32767RecordsOfA16BitCountConvertToTheLastOne) {
  const std::string record = SeparatorBlock() + Body();
  ASSERT_EQ(record.size(), 618u);
  std::string text;
  text.reserve(record.size() * 32767);
  for (int i = 0; i < 32767; ++i) text += record;
  const Conversion run(text);
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.result.recordCount, 32767);
  EXPECT_EQ(run.out.rows().size(), 4u + 32767u);
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{32767});
  EXPECT_EQ(run.progress.values.back(), 32767);
}

TEST(ModelA, GeneratedReportsConvertToTheValuesTheyWereMadeFrom) {
  reportgen::ReportOptions options{Model::A, 40, 17, 0};
  const std::string report = reportgen::GenerateReport(options);
  const Conversion run(report);
  ASSERT_EQ(run.out.rows().size(), 44u);
  reportgen::Random random(17);
  auto trimmed = [](const std::string& s) { return s.substr(std::min(s.find_first_not_of(' '), s.size())); };
  for (int number = 1; number <= 40; ++number) {
    const reportgen::ValuesA v = reportgen::RandomValuesA(random, number);
    const std::string expected = v.number + "," + v.cutLeft + "," + v.cutRight + "," + v.offset +
                                 "," + v.deform + "," + v.ectLeft + "," + v.ectRight + "," +
                                 v.coreOffset + "," + v.arcCount + "," + v.estimationLoss + "," +
                                 trimmed(v.alignMethod) + "," + trimmed(v.fiber) + "," +
                                 trimmed(v.date) + "," + trimmed(v.time) + "," + trimmed(v.memo);
    EXPECT_EQ(run.out.rows()[3 + static_cast<std::size_t>(number)], expected) << "record " << number;
  }
  EXPECT_EQ(run.progress.values.back(), 40);
}

}  // namespace
}  // namespace seamlog::convert
