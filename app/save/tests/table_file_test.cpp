#include "seamlog/save/table_file.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "exclusive_file.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/save/error_text.h"
#include "seamlog/save/file_steps.h"
#include "seamlog/save/interrupted_save.h"
#include "seamlog/save/save_intent.h"

namespace seamlog::save {
namespace {

namespace fs = std::filesystem;

class TableFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = fs::temp_directory_path() / ("seamlog-table-file-" + std::string(info->name()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string PathOf(const std::string& name) const { return (directory_ / name).string(); }

  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path directory_;
};

TEST_F(TableFileTest, AMissingFileIsCreatedAndEachRowEndsInCrLf) {
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("new.csv"), error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(file->WriteRow("a,b,"));
  EXPECT_TRUE(file->WriteRow(""));
  EXPECT_TRUE(file->WriteRow("\xE9\xFF,\n"));
  EXPECT_TRUE(file->WriteEmptyRows(2));
  EXPECT_TRUE(file->WriteEmptyRows(0));
  EXPECT_TRUE(file->WriteRow("z"));
  EXPECT_TRUE(file->WriteRows("c,d,\r\n,e\r\n\r\n"));
  EXPECT_TRUE(file->WriteRows(""));
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(Contents(PathOf("new.csv")), "a,b,\r\n\r\n\xE9\xFF,\n\r\n\r\n\r\nz\r\nc,d,\r\n,e\r\n\r\n");
}

TEST_F(TableFileTest, AnExistingFileKeepsItsContentAndTheRowsFollowIt) {
  { std::ofstream(PathOf("old.csv"), std::ios::binary) << "earlier\r\n"; }
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("old.csv"), error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(file->WriteRow("later"));
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(Contents(PathOf("old.csv")), "earlier\r\nlater\r\n");
}

TEST_F(TableFileTest, SavingTwiceIntoOneFileLeavesTwoWholeTables) {
  const std::string text = "too short for a record";
  for (int save = 0; save < 2; ++save) {
    std::string error;
    auto file = TableFile::OpenForAppend(PathOf("twice.csv"), error);
    ASSERT_TRUE(file) << error;
    convert::NoProgress progress;
    EXPECT_EQ(convert::ConvertReceivedText(text, *file, progress).outcome,
              convert::ConvertOutcome::Completed);
  }
  const std::string table =
      "\r\n\r\nNo.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,"
      "Estimation Loss,Align Method,Fiber,Date,Time,Memo\r\n"
      ",deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,\r\n";
  EXPECT_EQ(Contents(PathOf("twice.csv")), table + table);
}

TEST_F(TableFileTest, ManyRowsArriveWholeAndInOrder) {
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("many.csv"), error);
  ASSERT_TRUE(file) << error;
  std::string expected;
  for (int i = 0; i < 50000; ++i) {
    const std::string row = std::to_string(i) + ",row with some text in it,";
    ASSERT_TRUE(file->WriteRow(row));
    expected += row + "\r\n";
  }
  ASSERT_TRUE(file->Close());
  EXPECT_EQ(Contents(PathOf("many.csv")), expected);
}

TEST_F(TableFileTest, AFileInAMissingDirectoryCannotBeOpenedAndTheReasonNamesIt) {
  std::string error;
  const std::string path = PathOf("no-such-directory/table.csv");
  EXPECT_FALSE(TableFile::OpenForAppend(path, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_FALSE(TableFile::OpenForAppend("", error));
  EXPECT_FALSE(error.empty());
}

TEST_F(TableFileTest, CloseIsIdempotentAndRowsAfterItAreRefused) {
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("closed.csv"), error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(file->Close());
  EXPECT_TRUE(file->Close());
  EXPECT_FALSE(file->WriteRow("late"));
  EXPECT_NE(file->LastError().find("closed"), std::string::npos);
  EXPECT_FALSE(file->WriteEmptyRows(1));
  EXPECT_FALSE(file->WriteRows("late\r\n"));
  EXPECT_EQ(Contents(PathOf("closed.csv")), "");
}

#ifndef _WIN32
// Makes writes beyond limit bytes fail (EFBIG), as a full disk would, for
// the life of the object.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uintmax_t limit) {
    std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(limit);
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};
#endif

TEST_F(TableFileTest, AWriteErrorRefusesLaterRowsAndReturnsTheFileToItsLengthBeforeTheSave) {
#ifdef _WIN32
  GTEST_SKIP() << "no way to fill the disk on Windows";
#else
  // A full disk at the first block, at a later block, and at the last flush.
  const std::string before = "an earlier table\r\n";
  // Rows written one by one, empty rows twelve at a time, and whole records.
  for (const int run : {0, 1, 2, 3, 4, 5, 6, 7, 8}) {
    const int kind = run / 3;
    const std::uintmax_t room = std::array<std::uintmax_t, 3>{10u, 300000u, 800000u}[run % 3];
    SCOPED_TRACE(room);
    SCOPED_TRACE(kind);
    { std::ofstream(PathOf("full.csv"), std::ios::binary) << before; }
    const FileSizeLimit limit(before.size() + room);
    std::string error;
    auto file = TableFile::OpenForAppend(PathOf("full.csv"), error);
    ASSERT_TRUE(file) << error;
    bool allWritten = true;
    for (int i = 0; i < 40000 && allWritten; ++i)
      allWritten = kind == 0   ? file->WriteRow("row,row,row,row,row")
                   : kind == 1 ? file->WriteEmptyRows(12)
                               : file->WriteRows("row,row,row,row\r\n,row,row\r\n\r\n");
    // A full disk at the first or at a later block shows while rows are still written.
    if (room < 800000u) {
      EXPECT_FALSE(allWritten);
    }
    // After a failed write every further row is refused, however small.
    if (!allWritten) {
      EXPECT_FALSE(file->WriteRow("late"));
      EXPECT_FALSE(file->WriteEmptyRows(1));
      EXPECT_FALSE(file->WriteRows("late\r\n"));
    }
    EXPECT_FALSE(allWritten && file->Close());
    EXPECT_NE(file->LastError().find("full.csv"), std::string::npos) << file->LastError();
    EXPECT_FALSE(file->Close());  // a second close repeats the first result
    EXPECT_EQ(Contents(PathOf("full.csv")), before);
  }
#endif
}

TEST_F(TableFileTest, AFullDiskDuringConversionFailsTheSaveAndLeavesTheFileAsItWas) {
#ifdef _WIN32
  GTEST_SKIP() << "no way to fill the disk on Windows";
#else
  const std::string before = "an earlier table\r\n";
  { std::ofstream(PathOf("full.csv"), std::ios::binary) << before; }
  const FileSizeLimit limit(before.size() + 10);
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("full.csv"), error);
  ASSERT_TRUE(file) << error;
  convert::NoProgress progress;
  const auto result = convert::ConvertReceivedText("nothing much", *file, progress);
  EXPECT_EQ(result.outcome, convert::ConvertOutcome::Failed);
  EXPECT_FALSE(result.reason.empty());
  EXPECT_EQ(Contents(PathOf("full.csv")), before);
#endif
}

TEST_F(TableFileTest, ASaveNotClosedLeavesAnOldFileAsItWasAndRemovesANewOne) {
  enum class End { Discard, DestroyedUnclosed };
  struct Case {
    End end;
    bool existed;
  };
  for (const Case c : {Case{End::Discard, true}, Case{End::Discard, false},
                       Case{End::DestroyedUnclosed, true}, Case{End::DestroyedUnclosed, false}}) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.end)) + (c.existed ? " existed" : " new"));
    const std::string path = PathOf("undone.csv");
    fs::remove(path);
    if (c.existed) std::ofstream(path, std::ios::binary) << "kept\r\n";
    std::string error;
    auto file = TableFile::OpenForAppend(path, error);
    ASSERT_TRUE(file) << error;
    for (int i = 0; i < 30000; ++i) ASSERT_TRUE(file->WriteRow("a row that will be taken back"));
    if (c.end == End::Discard) {
      EXPECT_TRUE(file->Discard()) << file->LastError();
    }
    file.reset();
    EXPECT_EQ(fs::exists(path), c.existed);
    if (c.existed) {
      EXPECT_EQ(Contents(path), "kept\r\n");
    }
  }
}

// The wait a refusal names: whole seconds as seconds, anything else in ms.
TEST(InUseReason, NamesTheWaitInSecondsOnlyWhenItIsWholeSeconds) {
  const struct {
    int ms;
    const char* waited;
  } rows[] = {{200, "after 200 ms"}, {5000, "after 5 seconds"}, {2997, "after 2997 ms"}};
  for (const auto& row : rows) {
    const std::string reason = InUseReason("t.csv", std::chrono::milliseconds(row.ms));
    EXPECT_NE(reason.find(row.waited), std::string::npos) << reason;
  }
}

// A failed call's own words; "unknown error" only when it left no number.
TEST(DescribeErrno, GivesTheSystemsWordsForEveryNumberButZero) {
  EXPECT_EQ(DescribeErrno(0), "unknown error");
  for (const int number : {EPERM, ENOENT, ENOSPC}) {
    EXPECT_EQ(DescribeErrno(number), std::generic_category().message(number)) << number;
    EXPECT_NE(DescribeErrno(number), "unknown error") << number;
  }
}

TEST_F(TableFileTest, ASecondSaveWaitsForTheFirstAndGivesUpNamingTheFile) {
  const std::string path = PathOf("shared.csv");
  std::string error;
  auto first = TableFile::OpenForAppend(path, error);
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(TableFile::OpenForAppend(path, error, std::chrono::milliseconds(200)));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find("in use"), std::string::npos) << error;

  // A save that waits long enough gets the file once the first has closed it,
  // and its rows follow the first table whole.
  std::thread second([&] {
    std::string secondError;
    auto file = TableFile::OpenForAppend(path, secondError);
    ASSERT_TRUE(file) << secondError;
    for (int i = 0; i < 20000; ++i) file->WriteRow("second");
    EXPECT_TRUE(file->Close()) << file->LastError();
  });
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    ASSERT_TRUE(first->WriteRow("first"));
    expected += "first\r\n";
    if (i == 10000) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(first->Close()) << first->LastError();
  second.join();
  for (int i = 0; i < 20000; ++i) expected += "second\r\n";
  EXPECT_EQ(Contents(path), expected);
}

TEST_F(TableFileTest, AFolderOrADeviceIsRefusedWithItsOwnReason) {
#ifdef _WIN32
  const std::string device = "NUL";
#else
  const std::string device = "/dev/null";
#endif
  struct Case {
    std::string path;
    const char* reason;
  };
  for (const Case& c : {Case{directory_.string(), "folder"}, Case{device, "not"}}) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_FALSE(TableFile::OpenForAppend(c.path, error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
  }
}

TEST_F(TableFileTest, AFileDeletedWhileBeingWrittenIsAFailure) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows does not let an open file be deleted";
#else
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("vanishing.csv"), error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(file->WriteRow("first"));
  fs::remove(PathOf("vanishing.csv"));
  EXPECT_FALSE(file->Close());
  EXPECT_NE(file->LastError().find("deleted"), std::string::npos) << file->LastError();
#endif
}

// ---- the file steps of a save: their order, and each one failing ----------

const char* StepName(FileStep step) {
  switch (step) {
    case FileStep::Lock:
      return "lock";
    case FileStep::Append:
      return "append";
    case FileStep::Flush:
      return "flush";
    case FileStep::SyncFolder:
      return "sync folder";
    case FileStep::Close:
      return "close";
    case FileStep::CutBack:
      return "cut back";
    case FileStep::Remove:
      return "remove";
  }
  return "?";
}

// Records every step, fails the one it is told to, and can run something of
// its own before a step (another program's append, another save).
class StepRecorder final : public FileStepHook {
 public:
  StepRecorder() { SetFileStepHook(this); }
  ~StepRecorder() override { SetFileStepHook(nullptr); }
  bool Allow(FileStep step) override {
    steps.push_back(StepName(step));
    if (before && step == beforeStep) std::exchange(before, nullptr)();
    return !(failing && step == *failing);
  }
  std::vector<std::string> steps;
  std::optional<FileStep> failing;
  FileStep beforeStep = FileStep::Lock;
  std::function<void()> before;
};

TEST_F(TableFileTest, ANewTableReachesTheDiskAndItsFolderBeforeTheStepTakenWhileHeldAndTheFileIsLetGo) {
  StepRecorder recorder;
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("durable.csv"), error);
  ASSERT_TRUE(file) << error;
  file->WriteRow("row");
  ASSERT_TRUE(file->CloseWith([&] { recorder.steps.push_back("while held"); })) << file->LastError();
#ifdef _WIN32
  const std::vector<std::string> expected{"lock", "append", "flush", "while held", "close"};
#else
  const std::vector<std::string> expected{"lock", "append", "flush", "sync folder", "while held", "close"};
#endif
  EXPECT_EQ(recorder.steps, expected);
}

// Whichever step of keeping the table fails, the file is as it was before
// the save, and the save says why.
TEST_F(TableFileTest, AFailingWriteFlushFolderSyncOrCloseTakesTheSaveBack) {
  struct Case {
    FileStep step;
    bool existed;
  };
  const Case cases[] = {{FileStep::Append, true},     {FileStep::Flush, true},  {FileStep::Close, true},
                        {FileStep::Append, false},    {FileStep::Flush, false}, {FileStep::Close, false},
                        {FileStep::SyncFolder, false}};
  for (const Case& c : cases) {
#ifdef _WIN32
    if (c.step == FileStep::SyncFolder) continue;
#endif
    SCOPED_TRACE(std::string(StepName(c.step)) + (c.existed ? ", existing file" : ", new file"));
    const std::string path = PathOf("failing.csv");
    fs::remove(path);
    if (c.existed) std::ofstream(path, std::ios::binary) << "kept\r\n";
    StepRecorder recorder;
    recorder.failing = c.step;
    std::string error;
    auto file = TableFile::OpenForAppend(path, error);
    ASSERT_TRUE(file) << error;
    file->WriteRow("taken back");
    bool held = false;
    EXPECT_FALSE(file->CloseWith([&] { held = true; }));
    EXPECT_NE(file->LastError().find(path), std::string::npos) << file->LastError();
    // Only a table that reached the disk takes the step.
    EXPECT_EQ(held, c.step == FileStep::Close);
    file.reset();
    EXPECT_EQ(fs::exists(path), c.existed);
    if (c.existed) {
      EXPECT_EQ(Contents(path), "kept\r\n");
    }
  }
}

#ifndef _WIN32
// Another program (a terminal logger, say) appends to the file without the
// save's lock while the save runs. Its bytes are never overwritten, and a
// save taken back removes its own bytes only.
// Another program appends between the check of an interrupted save and the
// lock that would take its half table back: the file is then left alone.
TEST_F(TableFileTest, AHalfTableIsNotTakenBackFromAFileThatGrewWhileItWasChecked) {
  const std::string text = "too short for a record";  // a table of its two heading lines
  const std::string path = PathOf("grown.csv");
  { std::ofstream(path, std::ios::binary) << "earlier\r\n\r\n\r\nNo.,Cut"; }
  SaveIntent intent;
  intent.tablePath = path;
  intent.lengthBefore = 9;
  intent.textLength = text.size();
  intent.textDigest = TextDigest(text);
  StepRecorder recorder;
  recorder.before = [&] { std::ofstream(path, std::ios::binary | std::ios::app) << "other\r\n"; };
  std::uint64_t savedLength = 0;
  std::string reason;
  EXPECT_EQ(SettleInterruptedSave(intent, text, savedLength, reason), InterruptedSave::CannotCheck);
  EXPECT_NE(reason.find("changed while it was being checked"), std::string::npos) << reason;
  EXPECT_EQ(Contents(path), "earlier\r\n\r\n\r\nNo.,Cutother\r\n");
}

TEST_F(TableFileTest, AnotherProgramsAppendDuringASaveIsNeitherOverwrittenNorTakenBack) {
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "the save is kept" : "the save is taken back");
    const std::string path = PathOf("shared-with-a-logger.csv");
    { std::ofstream(path, std::ios::binary) << "before\r\n"; }
    StepRecorder recorder;
    recorder.beforeStep = FileStep::Append;
    recorder.before = [&] { std::ofstream(path, std::ios::binary | std::ios::app) << "other\r\n"; };
    std::string error;
    auto file = TableFile::OpenForAppend(path, error);
    ASSERT_TRUE(file) << error;
    std::string mine;
    for (int i = 0; i < 60000; ++i) {  // more than one block: written before the end
      file->WriteRow("mine");
      mine += "mine\r\n";
    }
    if (keep) {
      ASSERT_TRUE(file->Close()) << file->LastError();
      EXPECT_EQ(Contents(path), "before\r\nother\r\n" + mine);
    } else {
      ASSERT_TRUE(file->Discard()) << file->LastError();
      EXPECT_EQ(Contents(path), "before\r\nother\r\n");
    }
  }
}

// Two saves into one new file: this one created it, but another save took
// the lock first and wrote its table. When this one then fails, it must cut
// back to the other table, never remove the file.
TEST_F(TableFileTest, AFailingSaveNeverRemovesAFileAnotherSaveWroteFirst) {
  const std::string path = PathOf("raced.csv");
  StepRecorder recorder;
  recorder.before = [&] {
    SetFileStepHook(nullptr);
    std::string error;
    auto other = TableFile::OpenForAppend(path, error);
    ASSERT_TRUE(other) << error;
    other->WriteRow("the other save");
    ASSERT_TRUE(other->Close()) << other->LastError();
    SetFileStepHook(&recorder);
  };
  std::string error;
  auto file = TableFile::OpenForAppend(path, error);
  ASSERT_TRUE(file) << error;
  file->WriteRow("this save");
  EXPECT_TRUE(file->Discard()) << file->LastError();
  EXPECT_EQ(Contents(path), "the other save\r\n");
}

// Counts the syncs of a save; the first one of each file is interrupted by
// a signal (EINTR) and must be made again.
int syncCalls = 0;
int InterruptedFirstSync(int fd) {
  if (++syncCalls % 2 == 1) {
    errno = EINTR;
    return -1;
  }
  return ::fsync(fd);
}

TEST_F(TableFileTest, ANewTableAndItsFolderEntryAreSyncedEvenWhenASignalInterruptsTheSync) {
  syncCalls = 0;
  SetSyncCall(InterruptedFirstSync);
  std::string error;
  auto file = TableFile::OpenForAppend(PathOf("synced.csv"), error);
  ASSERT_TRUE(file) << error;
  file->WriteRow("row");
  EXPECT_TRUE(file->Close()) << file->LastError();
  SetSyncCall(nullptr);
  EXPECT_EQ(syncCalls, 4);  // the file and its folder, each interrupted once
}

// A save that waited for the lock while the save before it failed and removed
// the file it had created must not write into that removed file.
TEST_F(TableFileTest, ASaveThatWaitedWhileTheFileWasRemovedWritesIntoTheFileOfThatName) {
  const std::string path = PathOf("removed-while-waiting.csv");
  std::string error;
  auto first = TableFile::OpenForAppend(path, error);
  ASSERT_TRUE(first) << error;
  first->WriteRow("taken back");
  std::atomic<int> locks{0};
  StepRecorder recorder;  // sees the second save reach its lock
  recorder.beforeStep = FileStep::Lock;
  recorder.before = [&] { locks = 1; };
  std::thread second([&] {
    std::string secondError;
    auto file = TableFile::OpenForAppend(path, secondError);
    ASSERT_TRUE(file) << secondError;
    file->WriteRow("second");
    EXPECT_TRUE(file->Close()) << file->LastError();
  });
  while (locks == 0) std::this_thread::yield();
  EXPECT_TRUE(first->Discard()) << first->LastError();
  second.join();
  EXPECT_EQ(Contents(path), "second\r\n");
}

// A file this save created, then renamed away and replaced by another file
// of the same name, is not removed when the save is taken back.
TEST_F(TableFileTest, TakingBackANewFileNeverRemovesAnotherFileThatTookItsName) {
  const std::string path = PathOf("replaced.csv");
  std::string error;
  auto file = TableFile::OpenForAppend(path, error);
  ASSERT_TRUE(file) << error;
  file->WriteRow("taken back");
  fs::rename(path, PathOf("moved.csv"));
  { std::ofstream(path, std::ios::binary) << "another file\r\n"; }
  EXPECT_TRUE(file->Discard()) << file->LastError();
  EXPECT_EQ(Contents(path), "another file\r\n");
}
#endif


// Both digests an intent may keep: a single changed byte anywhere, in a
// lane's word or in the bytes after the last whole step, changes the digest.
TEST(TextDigest, EveryChangedByteChangesTheDigestOfBothVersions) {
  std::string text;
  for (int i = 0; i < 77; ++i) text.push_back(static_cast<char>('A' + i % 26));
  for (const int version : {1, 2}) {
    SCOPED_TRACE(version);
    const std::uint64_t digest = TextDigest(text, version);
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (const unsigned char flip : {0x01, 0x80}) {
        std::string changed = text;
        changed[at] = static_cast<char>(static_cast<unsigned char>(changed[at]) ^ flip);
        EXPECT_NE(TextDigest(changed, version), digest) << "byte " << at << " flip " << int(flip);
      }
    }
  }
  EXPECT_EQ(TextDigest("a", 1), 0xaf63dc4c8601ec8cull);  // FNV-1a, as earlier releases kept it
  EXPECT_NE(TextDigest(text, 2), TextDigest(text, 1));
}

// An intent written by an earlier release (version 1) is still read, and
// says which digest it keeps; an unknown version is not taken for either.
TEST(SaveIntentFile, BothVersionsAreReadBackAndAnUnknownOneIsRefused) {
  SaveIntent intent{"t.csv", 9, false, 40, 0x1234abcd, true, 40};
  for (const int version : {1, 2}) {
    intent.version = version;
    const std::string file = FormatIntent(intent);
    EXPECT_TRUE(file.starts_with("Seamlog save intent " + std::to_string(version) + "\r\n")) << file;
    EXPECT_EQ(ParseIntent(file), intent);
  }
  std::string unknown = FormatIntent(intent);
  unknown[std::string_view("Seamlog save intent ").size()] = '3';
  EXPECT_EQ(ParseIntent(unknown), std::nullopt);
}

}  // namespace
}  // namespace seamlog::save
