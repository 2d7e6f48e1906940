// The order of a run's last steps: the table reaches the disk before the
// intent that would take it back is cleared, and is let go only after.
#include "output_intent.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using seamlog::save::SaveIntent;

struct Steps {
  std::vector<std::string> taken;
};

// Closes as the table file does: on the disk, the step taken while the
// table is held, then let go. Either end can fail.
enum class Fails { Never, BeforeOnDisk, AtLetGo };

class RecordingTable final : public seamlog::convert::RowWriter {
 public:
  RecordingTable(Steps& steps, Fails fails) : steps_(steps), fails_(fails) {}
  bool WriteRow(std::string_view) override {
    steps_.taken.push_back("row");
    return true;
  }
  bool Close() override { return CloseWith([] {}); }
  bool CloseWith(const std::function<void()>& whileHeld) override {
    if (fails_ == Fails::BeforeOnDisk) {
      steps_.taken.push_back("flush fails");
      return false;
    }
    steps_.taken.push_back("table on the disk");
    whileHeld();
    steps_.taken.push_back(fails_ == Fails::AtLetGo ? "let go fails" : "let go of table");
    return fails_ == Fails::Never;
  }
  bool Discard() override {
    steps_.taken.push_back("discard table");
    return true;
  }
  std::string LastError() const override { return fails_ == Fails::Never ? "" : "cannot close"; }

 private:
  Steps& steps_;
  Fails fails_;
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
  Fails fails;
  bool discard;
  std::vector<std::string> expected;
};

class IntentClearingTableEnding : public ::testing::TestWithParam<EndingCase> {};

TEST_P(IntentClearingTableEnding, TakesItsStepsInThisOrder) {
  Steps steps;
  RecordingTable table(steps, GetParam().fails);
  RecordingIntents intents(steps);
  seamlog::tools::IntentClearingTable writer(table, intents, SaveIntent{});
  writer.WriteRow("r");
  if (GetParam().discard)
    writer.Discard();
  else
    EXPECT_EQ(writer.Close(), GetParam().fails == Fails::Never);
  EXPECT_EQ(steps.taken, GetParam().expected);
}

// A run waiting for the table takes it the moment it is let go: the intent
// of a run that ended well must be gone by then.
INSTANTIATE_TEST_SUITE_P(
    Runs, IntentClearingTableEnding,
    ::testing::Values(
        EndingCase{"AClosedTableIsOnTheDiskBeforeItsIntentIsClearedAndLetGoAfter", Fails::Never, false,
                   {"record intent", "row", "table on the disk", "clear intent", "let go of table"}},
        EndingCase{"ATableThatCannotReachTheDiskKeepsItsIntentForTheNextRun", Fails::BeforeOnDisk, false,
                   {"record intent", "row", "flush fails"}},
        EndingCase{"ATableThatCannotBeLetGoHasItsIntentRecordedAgainForTheNextRun", Fails::AtLetGo, false,
                   {"record intent", "row", "table on the disk", "clear intent", "let go fails", "record intent"}},
        EndingCase{"ADiscardedTableIsTakenBackBeforeItsIntentIsCleared", Fails::Never, true,
                   {"record intent", "row", "discard table", "clear intent"}}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

}  // namespace
