// The order of a run's last steps: the table reaches the disk before the
// intent that would take it back is cleared.
#include "output_intent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using seamlog::save::SaveIntent;

struct Steps {
  std::vector<std::string> taken;
};

class RecordingTable final : public seamlog::convert::RowWriter {
 public:
  RecordingTable(Steps& steps, bool closes) : steps_(steps), closes_(closes) {}
  bool WriteRow(std::string_view) override {
    steps_.taken.push_back("row");
    return true;
  }
  bool Close() override {
    steps_.taken.push_back("close table");
    return closes_;
  }
  bool Discard() override {
    steps_.taken.push_back("discard table");
    return true;
  }
  std::string LastError() const override { return closes_ ? "" : "cannot close"; }

 private:
  Steps& steps_;
  bool closes_;
};

class RecordingIntents final : public seamlog::save::IntentStore {
 public:
  explicit RecordingIntents(Steps& steps) : steps_(steps) {}
  bool Record(const SaveIntent&, std::string&) override {
    steps_.taken.push_back("record intent");
    return true;
  }
  bool Clear(std::string&) override {
    steps_.taken.push_back("clear intent");
    return true;
  }

 private:
  Steps& steps_;
};

struct EndingCase {
  const char* name;
  bool tableCloses;
  bool discard;
  std::vector<std::string> expected;
};

class IntentClearingTableEnding : public ::testing::TestWithParam<EndingCase> {};

TEST_P(IntentClearingTableEnding, TakesItsStepsInThisOrder) {
  Steps steps;
  RecordingTable table(steps, GetParam().tableCloses);
  RecordingIntents intents(steps);
  seamlog::tools::IntentClearingTable writer(table, intents, SaveIntent{});
  writer.WriteRow("r");
  if (GetParam().discard)
    writer.Discard();
  else
    EXPECT_EQ(writer.Close(), GetParam().tableCloses);
  EXPECT_EQ(steps.taken, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, IntentClearingTableEnding,
    ::testing::Values(
        EndingCase{"AClosedTableIsOnTheDiskBeforeItsIntentIsCleared", true, false,
                   {"record intent", "row", "close table", "clear intent"}},
        EndingCase{"ATableThatCannotBeClosedKeepsItsIntentForTheNextRun", false, false,
                   {"record intent", "row", "close table"}},
        EndingCase{"ADiscardedTableIsTakenBackBeforeItsIntentIsCleared", true, true,
                   {"record intent", "row", "discard table", "clear intent"}}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

}  // namespace
