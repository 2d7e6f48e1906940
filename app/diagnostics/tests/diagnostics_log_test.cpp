// The log on the platform's real files (POSIX on the host, Win32 under Wine)
// with a clock that stands still.
#include "seamlog/diagnostics/diagnostics_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace seamlog::diagnostics {
namespace {

namespace fs = std::filesystem;

class FixedClock final : public LogClock {
 public:
  LocalTime now{2026, 3, 9, 7, 5, 4, 21};
  LocalTime Now() override { return now; }
};

constexpr std::string_view kStamp = "2026-03-09 07:05:04.021  ";

class DiagnosticsLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->name());
    for (char& c : name)
      if (c == '/') c = '-';
    folder_ = fs::temp_directory_path() / ("seamlog-log-" + name);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    files_ = MakeLogFiles(folder_.string());
  }
  void TearDown() override { fs::remove_all(folder_); }

  void Prefill(std::string_view name, const std::string& bytes) const {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  std::string Bytes(std::string_view name) const {
    std::ifstream in(folder_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // The lines of the log, each without its stamp and CR LF.
  std::vector<std::string> Events(std::string_view name = kLogFileName) const {
    std::vector<std::string> events;
    std::istringstream in(Bytes(name));
    for (std::string line; std::getline(in, line, '\n');) {
      EXPECT_EQ(line.substr(0, kStamp.size()), kStamp);
      EXPECT_EQ(line.back(), '\r');
      events.push_back(line.substr(kStamp.size(), line.size() - kStamp.size() - 1));
    }
    return events;
  }

  fs::path folder_;
  std::unique_ptr<LogFiles> files_;
  FixedClock clock_;
};

struct EventCase {
  const char* what;
  std::function<void(DiagnosticsLog&)> events;
  std::vector<std::string> lines;
};

// Test names and failure reports show the case by its name, not its bytes.
void PrintTo(const EventCase& c, std::ostream* os) { *os << c.what; }

class LoggingEvents : public DiagnosticsLogTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(LoggingEvents, WritesOneStampedLinePerEvent) {
  {
    DiagnosticsLog log(*files_, clock_);
    GetParam().events(log);
    EXPECT_TRUE(log.Working());
  }
  EXPECT_EQ(Events(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Events, LoggingEvents,
    ::testing::Values(
        EventCase{"StartAndExit",
                  [](DiagnosticsLog& log) {
                    log.Started("1.0.0", "MODEL-B");
                    log.Exiting();
                  },
                  {"start: Seamlog 1.0.0, model MODEL-B", "exit"}},
        EventCase{"AConnectionWithItsByteCountsWrittenAtClose",
                  [](DiagnosticsLog& log) {
                    log.OpenAttempt(0);
                    for (int tick = 0; tick < 1000; ++tick) log.CountReceived(64);
                    log.CountSent(3);
                    log.ReadFailed(9999);
                    log.Closed(0);
                    log.OpenAttempt(0);
                    log.CountReceived(5);
                    log.WriteFailed(9999);
                    log.Closed(4);
                  },
                  {"open: result 0, connection 1", "read failed: result 9999",
                   "close: result 0, connection 1 received 64000 bytes, sent 3 bytes",
                   "open: result 0, connection 2", "write failed: result 9999",
                   "close: result 4, connection 2 received 5 bytes, sent 0 bytes"}},
        EventCase{"AnHourOfRefusedOpensInTwoLines",
                  [](DiagnosticsLog& log) {
                    for (int second = 0; second < 3600; ++second) log.OpenAttempt(9999);
                    log.OpenAttempt(0);
                  },
                  {"open failed: result 9999",
                   "open failed 3599 more times with result 9999 since 2026-03-09 07:05:04.021",
                   "open: result 0, connection 1"}},
        EventCase{"AChangedOpenResultStartsANewRun",
                  [](DiagnosticsLog& log) {
                    log.OpenAttempt(9999);
                    log.OpenAttempt(9999);
                    log.OpenAttempt(4);
                    log.Exiting();
                  },
                  {"open failed: result 9999",
                   "open failed 1 more times with result 9999 since 2026-03-09 07:05:04.021",
                   "open failed: result 4", "exit"}},
        EventCase{"OpensRefusedWithResultOneAreCountedLikeAnyOther",
                  [](DiagnosticsLog& log) {
                    log.OpenAttempt(1);
                    log.OpenAttempt(1);
                    log.OpenAttempt(1);
                    log.Exiting();
                  },
                  {"open failed: result 1",
                   "open failed 2 more times with result 1 since 2026-03-09 07:05:04.021", "exit"}},
        EventCase{"AnOpenRefusedWithAStatusSaysWhyAndAChangedStatusStartsANewRun",
                  [](DiagnosticsLog& log) {
                    log.OpenAttempt(2, 5010);
                    log.OpenAttempt(2, 5010);
                    log.OpenAttempt(2, 2);
                  },
                  {"open failed: result 2, status 5010",
                   "open failed 1 more times with result 2 since 2026-03-09 07:05:04.021",
                   "open failed: result 2, status 2"}},
        EventCase{"RepeatsStillHeldBackAreWrittenAtTheEnd",
                  [](DiagnosticsLog& log) {
                    log.OpenAttempt(9999);
                    log.OpenAttempt(9999);
                  },
                  {"open failed: result 9999",
                   "open failed 1 more times with result 9999 since 2026-03-09 07:05:04.021"}},
        EventCase{"SavesWithTheirOutcomeAndReason",
                  [](DiagnosticsLog& log) {
                    log.Saved({"C:\\Data\\run1.csv", "MODEL-A", 12, SaveOutcome::Completed, ""});
                    log.Saved({"D:\\full.csv", "MODEL-C", 7, SaveOutcome::Failed,
                               "cannot write to 'D:\\full.csv':\r\nDisk full"});
                    log.Saved({"", "MODEL-A", 0, SaveOutcome::NothingToSave, ""});
                  },
                  {"save: completed, file \"C:\\Data\\run1.csv\", model MODEL-A, 12 records",
                   "save: failed, file \"D:\\full.csv\", model MODEL-C, 7 records, reason: cannot write to "
                   "'D:\\full.csv':  Disk full",
                   "save: nothing to save, file \"\", model MODEL-A, 0 records"}},
        EventCase{"JournalRecoveryAndProblems",
                  [](DiagnosticsLog& log) {
                    log.JournalRecovered(1234, 0, "");
                    log.JournalRecovered(7, 13, "C:\\Seamlog\\Seamlog.journal.bad-1");
                    log.JournalProblem("cannot write\nthe journal");
                  },
                  {"journal: recovered 1234 characters",
                   "journal: recovered 7 characters, damaged journal kept as "
                   "\"C:\\Seamlog\\Seamlog.journal.bad-1\" (13 bytes not read back)",
                   "journal: cannot write the journal"}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(DiagnosticsLogTest, TheLogTurnsOverAtOneMegabyteKeepingOneOldFileAndEveryLineWhole) {
  DiagnosticsLog log(*files_, clock_);
  // Long lines: each takes the lock, which is slow under Wine.
  const std::string kind(1000, 'k');
  int written = 0;
  auto writeUntilTurnedOver = [&](const fs::path& first) {
    const std::string before = fs::exists(first) ? Events(kOldLogFileName).front() : "";
    while (!fs::exists(first) || Events(kOldLogFileName).front() == before) {
      for (int i = 0; i < 50; ++i, ++written) log.JournalProblem(kind + " line " + std::to_string(written));
    }
  };
  writeUntilTurnedOver(folder_ / kOldLogFileName);
  const auto old = Events(kOldLogFileName);
  const auto current = Events();
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(current.empty());
  EXPECT_LE(fs::file_size(folder_ / kOldLogFileName), kRotateAtBytes);
  EXPECT_GT(fs::file_size(folder_ / kOldLogFileName), kRotateAtBytes - kind.size() - 50);
  EXPECT_EQ(old.front(), "journal: " + kind + " line 0");
  EXPECT_EQ(current.front(), "journal: " + kind + " line " + std::to_string(old.size()));
  EXPECT_EQ(old.size() + current.size(), static_cast<std::size_t>(written));

  // A second turn replaces the old file: never more than two.
  writeUntilTurnedOver(folder_ / kOldLogFileName);
  EXPECT_EQ(Events(kOldLogFileName).front(), "journal: " + kind + " line " + std::to_string(old.size()));
  EXPECT_LE(fs::file_size(folder_ / kLogFileName), kRotateAtBytes);
  std::size_t logFiles = 0;
  for (const auto& entry : fs::directory_iterator(folder_))
    logFiles += entry.path().filename().string().rfind("Seamlog.log", 0) == 0;
  EXPECT_EQ(logFiles, 2u);
}

TEST_F(DiagnosticsLogTest, ALogThatCannotBeWrittenDisturbsNothing) {
  std::ofstream(folder_ / "not-a-folder") << "a file where the folder should be";
  auto files = MakeLogFiles((folder_ / "not-a-folder").string());
  DiagnosticsLog log(*files, clock_);
  log.Started("1.0.0", "MODEL-A");
  EXPECT_FALSE(log.Working());
  log.OpenAttempt(0);
  log.Closed(0);
}

#ifndef _WIN32
// A write the disk refuses stops the log, though the file still closes cleanly.
TEST_F(DiagnosticsLogTest, ALogOnAFullDiskStopsWorking) {
  fs::create_symlink("/dev/full", folder_ / kLogFileName);
  DiagnosticsLog log(*files_, clock_);
  log.Started("1.0.0", "MODEL-A");
  EXPECT_FALSE(log.Working());
}
#endif

TEST_F(DiagnosticsLogTest, AnEventIsCutAtTwoThousandCharacters) {
  {
    DiagnosticsLog log(*files_, clock_);
    log.JournalProblem(std::string(5000, 'x'));
    log.JournalProblem(std::string(1991, 'y'));
  }
  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "journal: " + std::string(1991, 'x'));
  EXPECT_EQ(events[1], "journal: " + std::string(1991, 'y'));
}

TEST_F(DiagnosticsLogTest, ALineThatFillsTheLogExactlyStaysAndTheNextOneTurnsItOver) {
  const std::string line = std::string(kStamp) + "journal: e\r\n";
  Prefill(kLogFileName, std::string(kRotateAtBytes - line.size(), 'p'));
  DiagnosticsLog log(*files_, clock_);
  log.JournalProblem("e");
  EXPECT_EQ(fs::file_size(folder_ / kLogFileName), kRotateAtBytes);
  EXPECT_FALSE(fs::exists(folder_ / kOldLogFileName));
  log.JournalProblem("e");
  EXPECT_EQ(fs::file_size(folder_ / kOldLogFileName), kRotateAtBytes);
  EXPECT_EQ(Bytes(kLogFileName), line);
}

TEST_F(DiagnosticsLogTest, ALogThatCannotTurnOverIsEmptiedWithALineSayingWhy) {
  fs::create_directories(folder_ / kOldLogFileName);  // a folder cannot be replaced by a file
  std::ofstream(folder_ / kOldLogFileName / "kept.txt") << "kept";
  Prefill(kLogFileName, std::string(kRotateAtBytes - 10, 'p'));
  DiagnosticsLog log(*files_, clock_);
  log.Exiting();
  EXPECT_TRUE(log.Working());
  EXPECT_EQ(Events(), (std::vector<std::string>{std::string(kTurnOverFailed), "exit"}));
  EXPECT_TRUE(fs::exists(folder_ / kOldLogFileName / "kept.txt"));
}

TEST_F(DiagnosticsLogTest, ALockTakenWhileTheLogWasRenamedAwayHoldsTheFileThatHasTheName) {
  Prefill(kLogFileName, "old lines\r\n");
  const auto other = MakeLogFiles(folder_.string());
  int opens = 0;
  LogFilesSeam seam;
  seam.beforeLock = [&] {
    if (++opens == 1) {  // another writer turns the log over and writes the first line of the new one
      ASSERT_TRUE(other->MoveReplacing(kLogFileName, kOldLogFileName));
      ASSERT_TRUE(other->Append(kLogFileName, "new lines\r\n"));
    }
  };
  const auto files = MakeLogFiles(folder_.string(), seam);
  auto held = files->Lock(kLogFileName);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(opens, 2);

  LogFilesSeam noWait;
  noWait.lockWait = std::chrono::milliseconds(0);
  const auto probe = MakeLogFiles(folder_.string(), noWait);
  EXPECT_EQ(probe->Lock(kLogFileName), nullptr) << "the new Seamlog.log is not the file held";
  held.reset();
  EXPECT_NE(probe->Lock(kLogFileName), nullptr);
}

TEST_F(DiagnosticsLogTest, AWriterThatCannotHaveTheLogWritesNothingUntilItIsFree) {
  LogFilesSeam noWait;
  noWait.lockWait = std::chrono::milliseconds(0);
  const auto files = MakeLogFiles(folder_.string(), noWait);
  auto held = MakeLogFiles(folder_.string())->Lock(kLogFileName);
  ASSERT_NE(held, nullptr);
  DiagnosticsLog log(*files, clock_);
  log.Started("1.0.0", "MODEL-A");
  EXPECT_FALSE(log.Working());
  EXPECT_EQ(Bytes(kLogFileName), "");
  held.reset();
  log.Exiting();
  EXPECT_TRUE(log.Working());
  EXPECT_EQ(Events(), std::vector<std::string>{"exit"});
}

// Ten Seamlog windows logging at once into a full log: it turns over once,
// the old log survives whole as Seamlog.log.1, and no line is lost.
TEST_F(DiagnosticsLogTest, TenWritersAtOnceTurnTheLogOverOnceAndLoseNoLine) {
  constexpr int kWriters = 10;
  constexpr int kLinesEach = 200;
  // So nearly full that the first line of any writer turns it over.
  constexpr std::size_t kRoomLeft = 60;
  std::string earlier;
  const std::string head = std::string(kStamp) + "journal: earlier line ";
  for (int i = 0; earlier.size() + 2 * 200 < kRotateAtBytes; ++i)
    earlier += head + std::to_string(i) + std::string(80, '.') + "\r\n";
  earlier += head + std::string(kRotateAtBytes - kRoomLeft - earlier.size() - head.size() - 2, '.') + "\r\n";
  ASSERT_EQ(earlier.size(), kRotateAtBytes - kRoomLeft);
  Prefill(kLogFileName, earlier);

  std::latch start(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      // Waiting is not what this test is about: a writer may wait long for
      // the other nine under a slow file system (Wine).
      LogFilesSeam patient;
      patient.lockWait = std::chrono::minutes(1);
      const auto files = MakeLogFiles(folder_.string(), patient);
      FixedClock clock;
      DiagnosticsLog log(*files, clock);
      start.arrive_and_wait();
      for (int i = 0; i < kLinesEach; ++i)
        log.JournalProblem("writer " + std::to_string(w) + " line " + std::to_string(i) +
                           std::string(40, '.'));
      EXPECT_TRUE(log.Working());
    });
  }
  for (auto& writer : writers) writer.join();

  const std::string old = Bytes(kOldLogFileName);
  ASSERT_EQ(old.substr(0, earlier.size()), earlier) << "Seamlog.log.1 is not the log that was turned over";
  EXPECT_LE(old.size(), kRotateAtBytes);
  EXPECT_LE(fs::file_size(folder_ / kLogFileName), kRotateAtBytes);
  std::vector<std::string> lines;
  for (const std::string& event : Events(kOldLogFileName))
    if (event.starts_with("journal: writer")) lines.push_back(event);
  for (const std::string& event : Events()) lines.push_back(event);
  std::vector<std::string> expected;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kLinesEach; ++i)
      expected.push_back("journal: writer " + std::to_string(w) + " line " + std::to_string(i) +
                         std::string(40, '.'));
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace seamlog::diagnostics
