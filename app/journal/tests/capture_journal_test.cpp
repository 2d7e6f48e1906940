// The journal on the platform's real files (POSIX on the host, Win32 under
// Wine), and wrapped to fail where a disk would.
#include "seamlog/journal/capture_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include "seamlog/journal/journal_format.h"

namespace seamlog::journal {
namespace {

namespace fs = std::filesystem;
using Clock = CaptureJournal::Clock;
using std::chrono::milliseconds;

const Clock::time_point kStart{};

// Passes everything to the real files, except what a test tells it to fail.
class FaultyFiles final : public JournalFiles {
 public:
  explicit FaultyFiles(JournalFiles& real) : real_(real) {}

  std::size_t appendRoom = SIZE_MAX;  // bytes that still fit on the "disk"
  bool failReplace = false;
  int appends = 0, flushes = 0;

  std::string PathOf(std::string_view name) const override { return real_.PathOf(name); }
  bool Exists(std::string_view name) override { return real_.Exists(name); }
  std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    auto file = real_.OpenHeld(name, error);
    return file ? std::make_unique<Held>(*this, std::move(file)) : nullptr;
  }
  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    if (failReplace) {
      error = "no space left";
      return false;
    }
    return real_.Replace(name, data, error);
  }
  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    return real_.Rename(from, to, error);
  }

 private:
  class Held final : public HeldFile {
   public:
    Held(FaultyFiles& owner, std::unique_ptr<HeldFile> real) : owner_(owner), real_(std::move(real)) {}
    bool Size(std::uint64_t& size, std::string& error) override { return real_->Size(size, error); }
    bool ReadAll(std::string& data, std::string& error) override { return real_->ReadAll(data, error); }
    bool Append(std::string_view data, std::string& error) override {
      ++owner_.appends;
      if (data.size() > owner_.appendRoom) {
        // A full disk takes what fits and refuses the rest.
        real_->Append(data.substr(0, owner_.appendRoom), error);
        owner_.appendRoom = 0;
        error = "no space left";
        return false;
      }
      if (owner_.appendRoom != SIZE_MAX) owner_.appendRoom -= data.size();
      return real_->Append(data, error);
    }
    bool Flush(std::string& error) override {
      ++owner_.flushes;
      return real_->Flush(error);
    }
    bool Truncate(std::uint64_t length, std::string& error) override { return real_->Truncate(length, error); }

   private:
    FaultyFiles& owner_;
    std::unique_ptr<HeldFile> real_;
  };

  JournalFiles& real_;
};

class CaptureJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    for (char& c : name)
      if (c == '/') c = '-';
    folder_ = fs::temp_directory_path() / ("seamlog-journal-" + name);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    files_ = MakeJournalFiles(folder_.string());
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path PathOf(std::string_view name) const { return folder_ / name; }
  std::string Bytes(std::string_view name) const {
    std::ifstream in(PathOf(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void Write(std::string_view name, const std::string& bytes) const {
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
  }
  // What a later start reads back from the journal as it is on disk now.
  std::string ReadBack() {
    CaptureJournal later(*files_);
    const Recovery recovery = later.Open();
    EXPECT_TRUE(recovery.setAsidePath.empty()) << "the journal was damaged";
    return recovery.text;
  }

  fs::path folder_;
  std::unique_ptr<JournalFiles> files_;
};

const std::string kReport = std::string("-------------------------------\r\nSplice\0\xB0\xFF", 43) + "\r\n\nLoss 0.02\r\n";

TEST_F(CaptureJournalTest, WhatWasAppendedComesBackByteForByteAtTheNextStart) {
  {
    CaptureJournal journal(*files_);
    EXPECT_EQ(journal.Open().text, "");
    EXPECT_TRUE(journal.Writing());
    for (std::size_t at = 0; at < kReport.size(); at += 7) journal.Append(kReport.substr(at, 7), kStart);
  }
  EXPECT_EQ(ReadBack(), kReport);
  EXPECT_EQ(ReadBack(), kReport) << "reading back must not use the text up";
}

TEST_F(CaptureJournalTest, AJournalCopiedWhileStillHeldAndUnflushedIsReadBackWhole) {
  // A process that is killed leaves the file as the system holds it.
  CaptureJournal journal(*files_);
  journal.Open();
  journal.Append(kReport, kStart);
  journal.Append("more", kStart);
  const std::string onDisk = Bytes(kJournalFileName);
  const fs::path other = folder_ / "other";
  fs::create_directories(other);
  std::ofstream(other / kJournalFileName, std::ios::binary) << onDisk;
  auto otherFiles = MakeJournalFiles(other.string());
  CaptureJournal restarted(*otherFiles);
  EXPECT_EQ(restarted.Open().text, kReport + "more");
}

struct DropCase {
  const char* what;
  std::size_t converted;
  std::string left;
};

// Test names and failure reports show the case by its name, not its bytes.
void PrintTo(const DropCase& c, std::ostream* os) { *os << c.what; }

class DroppingASavedPrefix : public CaptureJournalTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(DroppingASavedPrefix, LeavesExactlyTheTextTheSaveDidNotConvert) {
  const std::string unsaved = "RECORD-1|RECORD-2|REC";
  CaptureJournal journal(*files_);
  journal.Open();
  journal.Append(unsaved, kStart);
  journal.DropSaved(unsaved, GetParam().converted);
  EXPECT_TRUE(journal.Writing());
  journal.Append("ORD-3", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), GetParam().left + "ORD-3");
  EXPECT_FALSE(fs::exists(PathOf(std::string(kJournalFileName) + ".new")));
}

INSTANTIATE_TEST_SUITE_P(
    Saves, DroppingASavedPrefix,
    ::testing::Values(DropCase{"NothingConverted", 0, "RECORD-1|RECORD-2|REC"},
                      DropCase{"TwoWholeRecordsConverted", 18, "REC"},
                      DropCase{"EverythingConverted", 21, ""},
                      DropCase{"ACountBeyondTheText", 99, ""}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(CaptureJournalTest, ATornJournalGivesBackItsWholeFramesAndIsKeptAsideUnchanged) {
  std::string torn(kJournalMagic);
  AppendFrames(torn, "first\r\n");
  AppendFrames(torn, "second\r\n");
  torn.resize(torn.size() - 3);
  Write(kJournalFileName, torn);

  CaptureJournal journal(*files_);
  const Recovery recovery = journal.Open();
  EXPECT_EQ(recovery.text, "first\r\n");
  EXPECT_EQ(recovery.droppedBytes, kFrameHeaderSize + 8 - 3);
  EXPECT_EQ(recovery.setAsidePath, files_->PathOf(std::string(kJournalFileName) + ".bad-1"));
  EXPECT_EQ(Bytes(std::string(kJournalFileName) + ".bad-1"), torn);
  EXPECT_TRUE(journal.Writing());
  journal.Append("third", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), "first\r\nthird");
}

TEST_F(CaptureJournalTest, GarbageIsSetAsideWithoutOverwritingAnEarlierOneAndTheStartGoesOn) {
  Write(std::string(kJournalFileName) + ".bad-1", "kept from before");
  const std::string garbage = "\x7F" "ELF not a journal at all";
  Write(kJournalFileName, garbage);

  CaptureJournal journal(*files_);
  const Recovery recovery = journal.Open();
  EXPECT_EQ(recovery.text, "");
  EXPECT_EQ(recovery.droppedBytes, garbage.size());
  EXPECT_EQ(Bytes(std::string(kJournalFileName) + ".bad-1"), "kept from before");
  EXPECT_EQ(Bytes(std::string(kJournalFileName) + ".bad-2"), garbage);
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);
  journal.Append("fresh", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), "fresh");
}

TEST_F(CaptureJournalTest, AnUnwritableFolderIsReportedOnceAndAppendsGoOnQuietly) {
  Write("not-a-folder", "a file where the folder should be");
  auto files = MakeJournalFiles((folder_ / "not-a-folder").string());
  CaptureJournal journal(*files);
  EXPECT_EQ(journal.Open().text, "");
  EXPECT_FALSE(journal.Writing());
  const auto problem = journal.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find(files->PathOf(kJournalFileName)), std::string::npos) << *problem;
  journal.Append("received", kStart);
  journal.FlushIfDue(kStart + milliseconds(5000));
  journal.DropSaved("received", 8);
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);
}

TEST_F(CaptureJournalTest, ASecondHolderReadsNothingBackAndNeverTouchesTheFirstOnesJournal) {
  CaptureJournal first(*files_);
  first.Open();
  first.Append("held by the first", kStart);

  CaptureJournal second(*files_);
  EXPECT_EQ(second.Open().text, "");
  EXPECT_FALSE(second.Writing());
  const auto problem = second.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("in use by another program"), std::string::npos) << *problem;
  second.Append("the second's text", kStart);
  second.DropSaved("the second's text", 17);
  second.Close();

  first.Append(" still", kStart);
  first.Close();
  EXPECT_EQ(ReadBack(), "held by the first still");
}

TEST_F(CaptureJournalTest, AFullDiskIsReportedOnceAndTheNextSaveBringsTheJournalBack) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  journal.Append("fits", kStart);
  disk.appendRoom = 10;
  journal.Append("does not fit", kStart);
  EXPECT_FALSE(journal.Writing());
  EXPECT_TRUE(journal.TakeProblem().has_value());
  const int appendsWhenFull = disk.appends;
  journal.Append("more", kStart);
  EXPECT_EQ(disk.appends, appendsWhenFull) << "no write is tried while the journal is behind";
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);

  // Space again; the save converted "fitsdoes " and left the rest.
  disk.appendRoom = SIZE_MAX;
  journal.DropSaved("fitsdoes not fitmore", 9);
  EXPECT_TRUE(journal.Writing());
  journal.Append("!", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), "not fitmore!");
}

TEST_F(CaptureJournalTest, ASaveThatEmptiesTheTextClearsTheJournalEvenOnAFullDisk) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  journal.Append("all of it", kStart);
  disk.appendRoom = 0;
  disk.failReplace = true;
  journal.DropSaved("all of it", 9);
  EXPECT_TRUE(journal.Writing());
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);
  journal.Close();
  EXPECT_EQ(ReadBack(), "");
}

TEST_F(CaptureJournalTest, AFailedRewriteAfterASaveKeepsTheOldJournalWhole) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  journal.Append("saved|unsaved", kStart);
  disk.failReplace = true;
  journal.DropSaved("saved|unsaved", 6);
  EXPECT_FALSE(journal.Writing());
  EXPECT_TRUE(journal.TakeProblem().has_value());
  journal.Close();
  // Saved text may come back once more; unsaved text is never lost.
  EXPECT_EQ(ReadBack(), "saved|unsaved");
}

struct FlushCase {
  const char* what;
  std::vector<int> appendsAtMs;
  int idleTickAtMs;  // -1: none
  int flushes;
};

// Test names and failure reports show the case by its name, not its bytes.
void PrintTo(const FlushCase& c, std::ostream* os) { *os << c.what; }

class FlushingWhileDataArrives : public CaptureJournalTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushingWhileDataArrives, ForcesAppendsOntoTheDiskOnceTheOldestIsHalfASecondOld) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  const int afterOpen = disk.flushes;
  for (const int at : GetParam().appendsAtMs) journal.Append("x", kStart + milliseconds(at));
  if (GetParam().idleTickAtMs >= 0) journal.FlushIfDue(kStart + milliseconds(GetParam().idleTickAtMs));
  EXPECT_EQ(disk.flushes - afterOpen, GetParam().flushes);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, FlushingWhileDataArrives,
    ::testing::Values(FlushCase{"AppendsWithinHalfASecond", {0, 1, 2, 499}, -1, 0},
                      FlushCase{"AnAppendHalfASecondAfterTheOldest", {0, 250, 500}, -1, 1},
                      FlushCase{"EveryMillisecondForTwoSeconds",
                                [] {
                                  std::vector<int> at;
                                  for (int ms = 0; ms < 2000; ++ms) at.push_back(ms);
                                  return at;
                                }(),
                                -1, 3},
                      FlushCase{"AnIdleTickBeforeTheAppendIsDue", {100}, 599, 0},
                      FlushCase{"AnIdleTickOnceTheAppendIsDue", {100}, 600, 1},
                      FlushCase{"AnIdleTickWithNothingAppended", {}, 5000, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(RecoveryMessage, TellsHowManyCharactersCameBackAndThatSaveAsKeepsThem) {
  EXPECT_EQ(RecoveryMessage(1234),
            "Seamlog has recovered 1234 characters that were received but not saved before it last closed.\r\n"
            "Save As keeps them, together with the text received from now on.");
  EXPECT_NE(RecoveryMessage(1).find(" 1 character that was "), std::string::npos);
}

}  // namespace
}  // namespace seamlog::journal
