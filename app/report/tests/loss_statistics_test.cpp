#include "seamlog/report/loss_statistics.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace seamlog::report {
namespace {

std::optional<Decimal> Db(const char* text) { return ParseDecimal(text); }

// One single-fiber record for each loss ("" for no value), numbered from 1.
std::vector<SpliceRecord> Records(std::initializer_list<const char*> losses) {
  std::vector<SpliceRecord> records;
  int number = 0;
  for (const char* loss : losses) {
    SpliceRecord& r = records.emplace_back();
    r.number = ++number;
    r.numberText = std::to_string(number);
    FiberRow& fiber = r.fibers.emplace_back();
    fiber.estimatedLoss = Db(loss);
    fiber.lossText = loss;
  }
  return records;
}

LossSummary SummaryOf(const std::vector<SpliceRecord>& records, const AcceptanceLimits& limits = {}) {
  return Summarise(records, CountAttempts(records), limits);
}

std::string Shown(const std::optional<Figure>& figure, int decimals) {
  return figure ? FormatFigure(*figure, decimals) : "none";
}

TEST(LossStatistics, VerdictsTurnAtTheWarningAndAboveTheLimit) {
  const AcceptanceLimits defaults;
  struct Case {
    const char* loss;
    Verdict verdict;
  };
  const Case cases[] = {{"0.00", Verdict::Pass}, {"0.1499", Verdict::Pass}, {"0.15", Verdict::Warn},
                        {"0.30", Verdict::Warn}, {"0.3001", Verdict::Fail}, {"", Verdict::NoValue}};
  for (const Case& c : cases) EXPECT_EQ(Judge(Db(c.loss), defaults), c.verdict) << c.loss;

  AcceptanceLimits tight;
  tight.limit = *Db("0.20");
  tight.warning = *Db("0.10");
  EXPECT_EQ(Judge(Db("0.20"), tight), Verdict::Warn);
  EXPECT_EQ(Judge(Db("0.21"), tight), Verdict::Fail);
  EXPECT_EQ(Judge(Db("0.09"), tight), Verdict::Pass);
  EXPECT_STREQ(VerdictName(Verdict::Fail), "fail");
  EXPECT_STREQ(VerdictName(Verdict::NoValue), "no value");
}

TEST(LossStatistics, FiguresOfASmallJobMatchTheHandComputedOnes) {
  const LossSummary s = SummaryOf(Records({"0.10", "0.40", "0.20", "0.30", ""}));
  EXPECT_EQ(s.records, 5);
  EXPECT_EQ(s.splices, 5);
  EXPECT_EQ(s.fibers, 5);
  EXPECT_EQ(s.fibersWithLoss, 4);
  EXPECT_EQ(s.pass, 1);
  EXPECT_EQ(s.warn, 2);
  EXPECT_EQ(s.fail, 1);
  EXPECT_EQ(s.noValue, 1);
  EXPECT_EQ(Shown(s.mean, 3), "0.250");
  EXPECT_EQ(Shown(s.median, 3), "0.250");
  EXPECT_EQ(Shown(s.maximum, 2), "0.40");
  // sqrt((0.15^2 + 0.05^2 + 0.05^2 + 0.15^2) / 3) = 0.129099...
  EXPECT_EQ(Shown(s.standardDeviation, 3), "0.129");
  EXPECT_EQ(Shown(s.percentWithinLimit, 1), "75.0");
  EXPECT_FALSE(s.averageHolds);
}

TEST(LossStatistics, HalvesAreRoundedToTheEvenNeighbourOnce) {
  EXPECT_EQ(Shown(SummaryOf(Records({"0.12", "0.13"})).median, 2), "0.12");  // 0.125
  EXPECT_EQ(Shown(SummaryOf(Records({"0.13", "0.14"})).median, 2), "0.14");  // 0.135
  EXPECT_EQ(Shown(SummaryOf(Records({"0.01", "0.02"})).mean, 2), "0.02");    // 0.015
  EXPECT_EQ(Shown(SummaryOf(Records({"0.02", "0.03"})).mean, 2), "0.02");    // 0.025
  // 1 of 16 within the limit: 6.25 %.
  std::vector<SpliceRecord> one = Records({"0.01", "0.5", "0.5", "0.5", "0.5", "0.5", "0.5", "0.5", "0.5",
                                           "0.5", "0.5", "0.5", "0.5", "0.5", "0.5", "0.5"});
  EXPECT_EQ(Shown(SummaryOf(one).percentWithinLimit, 1), "6.2");
  // 0.1 + 0.2 + 0.2 over three: 0.1666..., not a half: rounds up.
  EXPECT_EQ(Shown(SummaryOf(Records({"0.1", "0.2", "0.2"})).mean, 3), "0.167");
}

TEST(LossStatistics, EmptyJobsAndJobsWithoutLossValuesHaveNoFigures) {
  for (const std::vector<SpliceRecord>& records : {Records({}), Records({"", "-.-"})}) {
    const LossSummary s = SummaryOf(records);
    EXPECT_EQ(s.fibersWithLoss, 0);
    EXPECT_FALSE(s.mean);
    EXPECT_FALSE(s.median);
    EXPECT_FALSE(s.maximum);
    EXPECT_FALSE(s.standardDeviation);
    EXPECT_FALSE(s.percentWithinLimit);
    EXPECT_EQ(s.noValue, static_cast<int>(records.size()));
  }
  const LossSummary single = SummaryOf(Records({"0.07"}));
  EXPECT_EQ(Shown(single.mean, 2), "0.07");
  EXPECT_FALSE(single.standardDeviation);  // a sample of one has none
  EXPECT_EQ(Shown(single.percentWithinLimit, 1), "100.0");
}

TEST(LossStatistics, TheAverageLimitHoldsUpToAndIncludingItsValue) {
  AcceptanceLimits limits;
  limits.averageLimit = Db("0.10");
  EXPECT_EQ(SummaryOf(Records({"0.05", "0.15"}), limits).averageHolds, true);
  EXPECT_EQ(SummaryOf(Records({"0.05", "0.1502"}), limits).averageHolds, false);
  EXPECT_FALSE(SummaryOf(Records({"0.05"})).averageHolds);  // no average limit set
}

TEST(LossStatistics, TheSameNumberAndMemoAgainIsAReSpliceAndTheLastAttemptStands) {
  std::vector<SpliceRecord> records = Records({"0.40", "0.10", "0.12", "0.50", "0.20", "0.33"});
  records[5].number = 1;  // number 1 and the same memo from another model's splicer
  records[5].memo = "Joint 17";
  records[5].model = Model::C;
  records[0].memo = records[2].memo = "Joint 17";
  records[2].number = 1;             // the first splice again: a re-splice
  records[3].number = 1;             // number 1 with another memo: another splice
  records[4].number = std::nullopt;  // without a number: a splice of its own
  const std::vector<Attempt> attempts = CountAttempts(records);
  ASSERT_EQ(attempts.size(), 6u);
  EXPECT_EQ(attempts[5].of, 1);
  EXPECT_EQ(attempts[0].number, 1);
  EXPECT_EQ(attempts[0].of, 2);
  EXPECT_FALSE(attempts[0].Final());
  EXPECT_EQ(attempts[2].number, 2);
  EXPECT_TRUE(attempts[2].Final());
  EXPECT_EQ(attempts[3].of, 1);
  EXPECT_EQ(attempts[4].of, 1);

  const LossSummary s = Summarise(records, attempts, {});
  EXPECT_EQ(s.records, 6);
  EXPECT_EQ(s.splices, 5);
  EXPECT_EQ(s.resplicedSplices, 1);
  EXPECT_EQ(s.fail, 2);  // 0.50 and 0.33; the 0.40 was spliced again
  EXPECT_EQ(Shown(s.maximum, 2), "0.50");
}

TEST(LossStatistics, RibbonFibersEachCountOnce) {
  std::vector<SpliceRecord> records = Records({"0.05"});
  records[0].fibers.resize(3);
  records[0].fibers[1].position = 2;
  records[0].fibers[1].estimatedLoss = Db("0.31");
  records[0].fibers[2].position = 3;
  records[0].fibers[2].estimatedLoss = Db("0.16");
  const LossSummary s = SummaryOf(records);
  EXPECT_EQ(s.splices, 1);
  EXPECT_EQ(s.fibers, 3);
  EXPECT_EQ(s.pass, 1);
  EXPECT_EQ(s.warn, 1);
  EXPECT_EQ(s.fail, 1);
  EXPECT_EQ(Shown(s.median, 2), "0.16");
}

}  // namespace
}  // namespace seamlog::report
