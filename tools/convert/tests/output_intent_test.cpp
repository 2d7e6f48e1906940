// The order of a run's last steps: the table reaches the disk before the
// intent that would take it back is cleared.
#include "output_intent.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
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

// The run that held the table before clears its intent just after letting go
// of it; the next run must not take that intent for an interrupted run's.
TEST(OutputIntentPending, AnIntentClearedWithinTheWaitIsNoneAndOneThatStaysIsPending) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("seamlog_intent_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder);
  const std::string output = (folder / "table.csv").string();
  seamlog::tools::OutputIntent intents(output);
  SaveIntent intent;
  intent.tablePath = output;
  std::string error;
  ASSERT_TRUE(intents.Record(intent, error)) << error;

  std::thread finishing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    seamlog::tools::OutputIntent(output).Clear(error);
  });
  EXPECT_FALSE(intents.PendingAfter(std::chrono::milliseconds(3000)));
  finishing.join();

  ASSERT_TRUE(intents.Record(intent, error)) << error;
  const auto left = intents.PendingAfter(std::chrono::milliseconds(100));
  ASSERT_TRUE(left);
  EXPECT_EQ(left->tablePath, output);
  intents.Clear(error);
  std::filesystem::remove_all(folder);
}

}  // namespace
