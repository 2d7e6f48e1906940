#include "seamlog/shell/status.h"

#include <gtest/gtest.h>

#include <string>

namespace seamlog::shell {
namespace {

struct CountCase {
  std::size_t length;
  int recordTextLength;
  const char* caption;
};

class ReceivedCaptionTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(ReceivedCaptionTest, ShowsTheRecordCountRoundedHalfToEven) {
  EXPECT_EQ(ReceivedCaption(GetParam().length, GetParam().recordTextLength), GetParam().caption);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ReceivedCaptionTest,
    ::testing::Values(CountCase{0, 618, ""},
                      CountCase{1, 618, "Seamlog Received: 0"},
                      CountCase{308, 618, "Seamlog Received: 0"},
                      CountCase{309, 618, "Seamlog Received: 0"},
                      CountCase{927, 618, "Seamlog Received: 2"},
                      CountCase{1545, 618, "Seamlog Received: 2"},
                      CountCase{1546, 618, "Seamlog Received: 3"},
                      CountCase{378 * 3, 378, "Seamlog Received: 3"},
                      CountCase{665 * 40000, 665, "Seamlog Received: 40000"},
                      CountCase{618u * 100000u + 309u, 618, "Seamlog Received: 100000"}),
    [](const auto& info) {
      return std::to_string(info.param.length) + "CharactersOf" +
             std::to_string(info.param.recordTextLength);
    });

TEST(StartProgressRange, ZeroStepsKeepTheMaximumAboveTheMinimum) {
  EXPECT_EQ(StartProgressRange(0), (ProgressRange{0, 1, 0}));
  EXPECT_EQ(StartProgressRange(12), (ProgressRange{0, 12, 0}));
  EXPECT_EQ(StartProgressRange(32767), (ProgressRange{0, 32767, 0}));
}

}  // namespace
}  // namespace seamlog::shell
