#include "seamlog/convert/models.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace seamlog::convert {
namespace {

using testing::Blanks;
using testing::Put;

TEST(ModelTable, EachModelHasItsNameIndexAndRecordLength) {
  EXPECT_EQ(ModelRowOf(Model::A).name, "MODEL-A");
  EXPECT_EQ(ModelRowOf(Model::A).recordTextLength, 618);
  EXPECT_EQ(ModelRowOf(Model::B).name, "MODEL-B");
  EXPECT_EQ(ModelRowOf(Model::B).recordTextLength, 378);
  EXPECT_EQ(ModelRowOf(Model::C).name, "MODEL-C");
  EXPECT_EQ(ModelRowOf(Model::C).recordTextLength, 665);
  EXPECT_EQ(static_cast<int>(ModelRowOf(Model::C).index), 2);
}

TEST(ModelTable, ANameIsFoundOnlyWhenItMatchesExactly) {
  EXPECT_EQ(ModelFromName("MODEL-B"), Model::B);
  EXPECT_EQ(ModelFromName("MODEL-C"), Model::C);
  EXPECT_FALSE(ModelFromName("model-b").has_value());
  EXPECT_FALSE(ModelFromName("MODEL-B ").has_value());
  EXPECT_FALSE(ModelFromName("").has_value());
}

TEST(RecordCount, RoundsToTheNearestWholeRecordWithHalvesGoingToEven) {
  struct Case { std::size_t length; int recordLength; std::int64_t count; };
  const Case cases[] = {
      {0, 618, 0},    {308, 618, 0},  {309, 618, 0},  {310, 618, 1},  {927, 618, 2},
      {1545, 618, 2}, {1546, 618, 3}, {189, 378, 0},  {190, 378, 1},  {1000, 378, 3},
      {567, 378, 2},  {1330, 665, 2}, {20250314, 618, 32767}, {20250315, 618, 32768},
      {10, 0, 10},  // no record length: every character counts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " / " + std::to_string(c.recordLength));
    EXPECT_EQ(RecordCount(c.length, c.recordLength), c.count);
  }
}

// A 300-character head of blanks with words placed at given positions.
std::string HeadWith(std::initializer_list<std::pair<std::size_t, std::string_view>> words,
                     std::size_t length = 400) {
  std::string text = Blanks(length);
  for (const auto& [position, word] : words) Put(text, position, word);
  return text;
}

TEST(Recognition, TheFirst300CharactersDecideTheModel) {
  struct Case { const char* what; std::string text; Model model; };
  const Case cases[] = {
      {"no Irregular is MODEL-A", HeadWith({{10, "Loss"}}), Model::A},
      {"Irregular then Loss is MODEL-B", HeadWith({{50, "Irregular"}, {120, "Loss"}}), Model::B},
      {"Irregular without Loss is MODEL-C", HeadWith({{50, "Irregular"}}), Model::C},
      {"Loss only before Irregular is MODEL-C", HeadWith({{20, "Loss"}, {50, "Irregular"}}),
       Model::C},
      {"letter case does not matter", HeadWith({{50, "IRREGULAR"}, {120, "loss"}}), Model::B},
      {"Irregular ending at 300 is seen", HeadWith({{292, "Irregular"}}), Model::C},
      {"Irregular starting at 293 is not seen", HeadWith({{293, "Irregular"}}), Model::A},
      {"Loss starting at 297 is seen", HeadWith({{50, "Irregular"}, {297, "Loss"}}), Model::B},
      {"Loss starting at 298 is not seen", HeadWith({{50, "Irregular"}, {298, "Loss"}}), Model::C},
      {"Loss may overlap the end of Irregular's search start",
       HeadWith({{50, "irregular"}, {59, "LOSS"}}), Model::B},
      {"a text shorter than the head is read whole", std::string("Irregular Loss"), Model::B},
      {"an empty text is MODEL-A", std::string(), Model::A},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RecogniseModel(c.text), c.model);
  }
}

}  // namespace
}  // namespace seamlog::convert
