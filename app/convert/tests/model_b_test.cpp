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
using testing::Put;
using testing::RecordingProgress;
using testing::SeparatorBlock;

const std::string kHeader =
    "No.,Fiber Count,Offset,Cut(L),Cut(R),Gap,Estimation Loss,,Irregular,Condition,Date,Time";
const std::string kUnits = ",,um,deg,deg,um,dB,,um,,dd/mm/yy,HH:MM,";

// A record body whose unused characters are '#'.
std::string Body() {
  std::string body(312, '#');
  Put(body, 12, "  34");
  Put(body, 56, "1"), Put(body, 60, "0.1"), Put(body, 66, "0.2"), Put(body, 71, "0.3");
  Put(body, 76, "12.5"), Put(body, 84, "L"), Put(body, 86, "0.44");
  Put(body, 92, "2"), Put(body, 96, "1.1"), Put(body, 102, "1.2"), Put(body, 107, "1.3");
  Put(body, 112, "22.5"), Put(body, 120, "R"), Put(body, 122, "0.55");
  Put(body, 128, "3"), Put(body, 132, "2.1"), Put(body, 138, "2.2"), Put(body, 143, "2.3");
  Put(body, 148, "32.5");
  Put(body, 154, "4"), Put(body, 158, "3.1"), Put(body, 164, "3.2"), Put(body, 169, "3.3");
  Put(body, 174, "42.5");
  Put(body, 182, "Loss");
  Put(body, 191, "0.01");
  Put(body, 200, "Fiber-Sleeve");
  Put(body, 218, "0.02 Good\r\n");  // the condition starts at the loss's last character
  Put(body, 232, "0.03");           // the first CR LF from 220 is at 227
  Put(body, 241, "0.04");
  Put(body, 270, "Date");
  Put(body, 276, "2021-10-26");
  Put(body, 300, "14:05");
  return body;
}

const std::vector<std::string> kRecordRows{
    "  34,1,0.1,0.2,0.3,12.5,0.01,L,0.44,2 Good,2021-10-26,14:05,",
    ",2,1.1,1.2,1.3,22.5,0.02,R,0.55,",
    ",3,2.1,2.2,2.3,32.5,0.03,",
    ",4,3.1,3.2,3.3,42.5,0.04,",
    "",
};

std::string Record() { return SeparatorBlock() + Body(); }

struct Conversion {
  MemoryRowWriter out;
  RecordingProgress progress;
  ConvertResult result;
  explicit Conversion(const std::string& text) : result(ConvertModelB(text, out, progress)) {}
};

std::vector<std::string> Table(const std::vector<std::string>& records) {
  std::vector<std::string> rows{"", "", kHeader, kUnits};
  rows.insert(rows.end(), records.begin(), records.end());
  return rows;
}

TEST(ModelB, ARecordGivesFourRowsAndAnEmptyRow) {
  const Conversion run(Record());
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows(), Table(kRecordRows));
  EXPECT_EQ(Commas(kHeader), 11u);
  EXPECT_EQ(Commas(kUnits), 12u);
  EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
  EXPECT_TRUE(run.out.closed());
}

TEST(ModelB, ThreeWholeRecordsGiveThreeBlocksAndProgressOneTwoThree) {
  const Conversion run(Record() + Record() + Record());
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(kRecordRows, 3)));
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{3});
  EXPECT_EQ(run.progress.values, (std::vector<std::int16_t>{1, 2, 3}));
}

TEST(ModelB, A244CharacterTailIsIgnoredButCountsInTheTotal) {
  const Conversion run(Record() + Record() + std::string(244, '#'));
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(kRecordRows, 2)));
  EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{3});
  EXPECT_EQ(run.progress.values, (std::vector<std::int16_t>{1, 2}));
}

TEST(ModelB, TextsShorterThan311CharactersConvertNoRecord) {
  struct Case { std::size_t length; std::int16_t total; };
  for (const Case c : {Case{189, 0}, Case{190, 1}, Case{310, 1}}) {
    SCOPED_TRACE(c.length);
    const Conversion run(std::string(c.length, '#'));
    EXPECT_EQ(run.out.rows(), Table({}));
    EXPECT_EQ(run.progress.starts, std::vector<std::int16_t>{c.total});
    EXPECT_TRUE(run.progress.values.empty());
  }
}

TEST(ModelB, ATextOfExactly311CharactersIsARecord) {
  const Conversion run(Body().substr(0, 311));
  EXPECT_EQ(run.out.rows(), Table(kRecordRows));
  EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
}

// A body is never longer than 312 characters, also when no separator follows it.
TEST(ModelB, ABodyWithoutASeparatorAfterItEndsAt312Characters) {
  const Conversion run(Record() + Body());
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(kRecordRows, 2)));
}

TEST(ModelB, AMissingKeywordLeavesItsFieldsEmptyAndTheCommasInPlace) {
  struct Case {
    const char* what;
    std::size_t position;
    std::string replacement;
    std::string row1, row2, row3, row4;
  };
  const Case cases[] = {
      {"no Date", 270, "Datum", "  34,1,0.1,0.2,0.3,12.5,0.01,L,0.44,2 Good,,,", kRecordRows[1],
       kRecordRows[2], kRecordRows[3]},
      {"no Fiber-Sleeve", 200, "Fiber Sleeve", "  34,1,0.1,0.2,0.3,12.5,0.01,L,0.44,,2021-10-26,14:05,",
       ",2,1.1,1.2,1.3,22.5,,R,0.55,", kRecordRows[2], kRecordRows[3]},
      {"no Loss from 182", 182, "Lost", "  34,1,0.1,0.2,0.3,12.5,,L,0.44,2 Good,2021-10-26,14:05,",
       kRecordRows[1], kRecordRows[2], kRecordRows[3]},
      {"no CR LF from 220", 225, "####", "  34,1,0.1,0.2,0.3,12.5,0.01,L,0.44,,2021-10-26,14:05,",
       kRecordRows[1], ",3,2.1,2.2,2.3,32.5,,", ",4,3.1,3.2,3.3,42.5,,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string body = Body();
    Put(body, c.position, c.replacement);
    const Conversion run(SeparatorBlock() + body);
    EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
    EXPECT_EQ(run.out.rows(), Table({c.row1, c.row2, c.row3, c.row4, ""}));
  }
}

TEST(ModelB, KeywordsAreFoundWhateverTheirLetterCase) {
  std::string body = Body();
  Put(body, 182, "LOSS");
  Put(body, 200, "fiber-sleeve");
  Put(body, 270, "dAtE");
  const Conversion run(SeparatorBlock() + body);
  EXPECT_EQ(run.out.rows(), Table(kRecordRows));
}

TEST(ModelB, ARecordWithoutSeparatorIsTakenFromTheFirstCharacter) {
  const Conversion run(Body() + Record());
  EXPECT_EQ(run.out.rows(), Table(testing::Repeat(kRecordRows, 2)));
}

TEST(ModelB, AConditionLineEndingTooEarlyIsANegativeLengthFailure) {
  for (std::size_t offset : {18u, 19u, 20u}) {
    SCOPED_TRACE(offset);
    std::string bad = Body();
    Put(bad, 200 + offset, "\r\n");
    const Conversion run(Record() + SeparatorBlock() + bad + Record());
    EXPECT_EQ(run.result.outcome, ConvertOutcome::Failed);
    EXPECT_NE(run.result.reason.find("record 2"), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.out.rows(), Table(kRecordRows));
    EXPECT_EQ(run.progress.values, std::vector<std::int16_t>{1});
    EXPECT_TRUE(run.out.closed());
  }
}

TEST(ModelB, AConditionLineEndingRightAfterItsStartGivesAnEmptyCondition) {
  std::string body = Body();
  Put(body, 221, "\r\n");
  const Conversion run(SeparatorBlock() + body);
  EXPECT_EQ(run.result.outcome, ConvertOutcome::Completed);
  EXPECT_EQ(run.out.rows()[4], "  34,1,0.1,0.2,0.3,12.5,0.01,L,0.44,,2021-10-26,14:05,");
}

TEST(ModelB, GeneratedReportsConvertToTheValuesTheyWereMadeFrom) {
  const std::string report = reportgen::GenerateReport({Model::B, 25, 5, 0});
  const Conversion run(report);
  ASSERT_EQ(run.out.rows().size(), 4u + 25u * 5u);
  reportgen::Random random(5);
  for (int number = 1; number <= 25; ++number) {
    const reportgen::ValuesB v = reportgen::RandomValuesB(random, number);
    auto fiber = [&](int k) {
      const reportgen::FiberB& f = v.fibers[static_cast<std::size_t>(k)];
      return f.count + "," + f.offset + "," + f.cutLeft + "," + f.cutRight + "," + f.gap + ",";
    };
    const std::vector<std::string> expected{
        v.number + "," + fiber(0) + v.fibers[0].loss + "," + v.eighth[0] + "," + v.irregular[0] +
            "," + v.condition + "," + v.date + "," + v.time + ",",
        "," + fiber(1) + v.fibers[1].loss + v.condition.substr(0, 1) + "," + v.eighth[1] + "," +
            v.irregular[1] + ",",
        "," + fiber(2) + v.fibers[2].loss + ",",
        "," + fiber(3) + v.fibers[3].loss + ",",
        "",
    };
    const auto first = run.out.rows().begin() + 4 + (number - 1) * 5;
    EXPECT_EQ(std::vector<std::string>(first, first + 5), expected) << "record " << number;
  }
}

}  // namespace
}  // namespace seamlog::convert
