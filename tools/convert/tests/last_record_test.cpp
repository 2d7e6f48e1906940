#include "last_record.h"

#include <gtest/gtest.h>

#include <string>

namespace seamlog::tools {
namespace {

using convert::Model;

const std::string kSeparator = "-------------------------------\r\n";

// A record of length characters: its separator line, a line of filler.
std::string Record(std::size_t length) {
  return kSeparator + std::string(length - kSeparator.size() - 2, 'x') + "\r\n";
}

TEST(LastRecord, TheLastRecordIsCutShortWhenItIsShorterThanItsModelsRecords) {
  struct Case {
    const char* what;
    std::string text;
    Model model;
    int number;
    std::size_t length;
    bool cutShort;
  };
  const Case cases[] = {
      {"whole MODEL-A records", Record(618) + Record(618), Model::A, 2, 618, false},
      {"MODEL-A one character short", Record(618) + Record(617), Model::A, 2, 617, true},
      {"MODEL-B whole", Record(378), Model::B, 1, 378, false},
      {"MODEL-B one short", Record(377), Model::B, 1, 377, true},
      {"a longer last record", Record(618) + Record(700), Model::A, 2, 700, false},
      {"ended within the separator line", Record(618) + "---------", Model::A, 2, 9, true},
      {"ended after the hyphens of the separator", Record(618) + kSeparator.substr(0, 32), Model::A, 2, 32,
       true},
      {"hyphens within a line start no record", Record(618) + "Memo : -------------------------------",
       Model::A, 1, 656, false},
      {"no separator at all", "a text without records\r\n", Model::A, 0, 0, false},
      {"a last line of other text", Record(618) + "x--", Model::A, 1, 621, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LastRecord last = FindLastRecord(c.text, c.model);
    EXPECT_EQ(last.number, c.number);
    EXPECT_EQ(last.length, c.length);
    EXPECT_EQ(last.CutShort(), c.cutShort);
  }
}

// A MODEL-C record grows with its fiber count: it is whole when it holds its
// "Loss" heading line and the twelve loss lines after it, whatever its length.
TEST(LastRecord, AModelCRecordIsCutShortWhenItLacksItsLossLines) {
  std::string lossLines = "Loss\r\n";
  for (int line = 1; line <= 12; ++line)
    lossLines += (line < 10 ? "0" : "") + std::to_string(line) + " 0.10\r\n";
  const std::string whole = kSeparator + " SPLICE RECORD\r\nIrregular\r\n" + lossLines;
  struct Case {
    const char* what;
    std::string text;
    bool cutShort;
  };
  const Case cases[] = {
      {"whole records", whole + whole, false},
      {"a whole record longer than 665 characters", whole + whole + std::string(700, ' ') + "\r\n", false},
      {"the last loss line without its line end", whole + whole.substr(0, whole.size() - 2), true},
      {"no loss lines", whole + Record(664), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LastRecord last = FindLastRecord(c.text, Model::C);
    EXPECT_EQ(last.number, 2);
    EXPECT_EQ(last.length, c.text.size() - whole.size());
    EXPECT_EQ(last.wholeLength, 665u);
    EXPECT_EQ(last.CutShort(), c.cutShort);
  }
}

}  // namespace
}  // namespace seamlog::tools
