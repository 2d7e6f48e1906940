// The journal on the platform's real files (POSIX on the host, Win32 under
// Wine), and wrapped to fail where a disk would.
#include "seamlog/journal/capture_journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "seamlog/journal/journal_format.h"

namespace seamlog::journal {
namespace {

namespace fs = std::filesystem;
using Clock = CaptureJournal::Clock;
using std::chrono::milliseconds;

const Clock::time_point kStart{};

// Passes everything to the real files, except what a test tells it to fail,
// and keeps the steps that change a file in the order they were taken.
class FaultyFiles final : public JournalFiles {
 public:
  explicit FaultyFiles(JournalFiles& real) : real_(real) {}

  std::size_t appendRoom = SIZE_MAX;  // bytes that still fit on the "disk"
  std::set<std::string> failing;      // steps that fail: "append", "flush", "truncate", "replace", "move"
  int appends = 0, flushes = 0, heldFiles = 0;
  std::uint64_t bytesRead = 0;
  std::vector<std::string> steps;  // "open", "append", "flush", "truncate 0", "release", "replace NAME", ...

  std::string PathOf(std::string_view name) const override { return real_.PathOf(name); }
  bool Exists(std::string_view name) override { return real_.Exists(name); }
  std::unique_ptr<HeldFile> OpenHeld(std::string_view name, std::string& error) override {
    steps.push_back("open");
    auto file = real_.OpenHeld(name, error);
    return file ? std::make_unique<Held>(*this, std::move(file)) : nullptr;
  }
  bool Replace(std::string_view name, std::string_view data, std::string& error) override {
    steps.push_back("replace " + std::string(name));
    return !Fails("replace", error) && real_.Replace(name, data, error);
  }
  bool Rename(std::string_view from, std::string_view to, std::string& error) override {
    steps.push_back("rename " + std::string(from) + " " + std::string(to));
    return real_.Rename(from, to, error);
  }
  bool MoveOver(std::string_view from, std::string_view to, std::string& error) override {
    steps.push_back("move " + std::string(from) + " " + std::string(to));
    return !Fails("move", error) && real_.MoveOver(from, to, error);
  }

 private:
  bool Fails(const std::string& step, std::string& error) const {
    if (failing.count(step) == 0) return false;
    error = step + " failed";
    return true;
  }

  class Held final : public HeldFile {
   public:
    Held(FaultyFiles& owner, std::unique_ptr<HeldFile> real) : owner_(owner), real_(std::move(real)) {
      ++owner_.heldFiles;
    }
    ~Held() override {
      --owner_.heldFiles;
      owner_.steps.push_back("release");
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    bool Size(std::uint64_t& size, std::string& error) override { return real_->Size(size, error); }
    bool Read(std::uint64_t offset, std::size_t size, std::string& data, std::string& error) override {
      const bool ok = real_->Read(offset, size, data, error);
      owner_.bytesRead += data.size();
      return ok;
    }
    bool Append(std::string_view data, std::string& error) override {
      ++owner_.appends;
      owner_.steps.push_back("append");
      if (owner_.Fails("append", error)) return false;
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
      owner_.steps.push_back("flush");
      return !owner_.Fails("flush", error) && real_->Flush(error);
    }
    bool Truncate(std::uint64_t length, std::string& error) override {
      owner_.steps.push_back("truncate " + std::to_string(length));
      std::uint64_t size = 0;
      if (owner_.Fails("truncate", error) || !real_->Size(size, error) || !real_->Truncate(length, error))
        return false;
      // What is cut off is free again.
      if (owner_.appendRoom != SIZE_MAX && size > length) owner_.appendRoom += size - length;
      return true;
    }

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
  ParsedJournal OnDisk() const { return ParseJournal(Bytes(kJournalFileName)); }
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

const std::string kReport =
    std::string("-------------------------------\r\nSplice\0\xB0\xFF", 43) + "\r\n\nLoss 0.02\r\n";

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

INSTANTIATE_TEST_SUITE_P(Saves, DroppingASavedPrefix,
                         ::testing::Values(DropCase{"NothingConverted", 0, "RECORD-1|RECORD-2|REC"},
                                           DropCase{"TwoWholeRecordsConverted", 18, "REC"},
                                           DropCase{"EverythingConverted", 21, ""},
                                           DropCase{"ACountBeyondTheText", 99, ""}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(CaptureJournalTest, ATornJournalGivesBackItsWholeFramesAndIsKeptAsideUnchanged) {
  std::string torn = JournalStart(41);
  FramePosition next{41, 0};
  AppendFrames(torn, "first\r\n", next);
  AppendFrames(torn, "second\r\n", next);
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
  EXPECT_EQ(OnDisk().next.generation, 42u) << "the fresh journal is of the next generation";
}

TEST_F(CaptureJournalTest, GarbageIsSetAsideWithoutOverwritingAnEarlierOneAndTheStartGoesOn) {
  Write(std::string(kJournalFileName) + ".bad-1", "kept from before");
  const std::string garbage =
      "\x7F"
      "ELF not a journal at all";
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
  disk.failing.insert("replace");
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
  disk.failing.insert("replace");
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

class FlushingWhileDataArrives : public CaptureJournalTest,
                                 public ::testing::WithParamInterface<FlushCase> {};

TEST_P(FlushingWhileDataArrives, ForcesAppendsOntoTheDiskOnceTheOldestIsHalfASecondOld) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  const int afterOpen = disk.flushes;
  for (const int at : GetParam().appendsAtMs) journal.Append("x", kStart + milliseconds(at));
  if (GetParam().idleTickAtMs >= 0) journal.FlushIfDue(kStart + milliseconds(GetParam().idleTickAtMs));
  EXPECT_EQ(disk.flushes - afterOpen, GetParam().flushes);
}

INSTANTIATE_TEST_SUITE_P(Ticks, FlushingWhileDataArrives,
                         ::testing::Values(FlushCase{"AppendsWithinHalfASecond", {0, 1, 2, 499}, -1, 0},
                                           FlushCase{
                                               "AnAppendHalfASecondAfterTheOldest", {0, 250, 500}, -1, 1},
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

TEST_F(CaptureJournalTest, AppendsAfterAnotherStartGoOnInTheSameGeneration) {
  {
    CaptureJournal journal(*files_);
    journal.Open();
    journal.Append("before|", kStart);
  }
  const std::uint32_t generation = OnDisk().next.generation;
  {
    CaptureJournal journal(*files_);
    EXPECT_EQ(journal.Open().text, "before|");
    journal.Append("after", kStart);
  }
  EXPECT_EQ(ReadBack(), "before|after");
  EXPECT_EQ(OnDisk().next.generation, generation);
  EXPECT_EQ(OnDisk().next.sequence, 2u);
}

TEST_F(CaptureJournalTest, AFirstLineCutOffWhileBeingCreatedMakesWayForAWholeStart) {
  Write(kJournalFileName, std::string(kJournalLine.substr(0, 11)));
  CaptureJournal journal(*files_);
  EXPECT_EQ(journal.Open().text, "");
  EXPECT_TRUE(journal.Writing());
  EXPECT_EQ(Bytes(kJournalFileName), JournalStart(OnDisk().next.generation));
  journal.Append("x", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), "x");
}

TEST_F(CaptureJournalTest, EverySaveStartsANewGenerationOfTheJournal) {
  CaptureJournal journal(*files_);
  journal.Open();
  const std::uint32_t first = OnDisk().next.generation;
  journal.Append("one|two", kStart);
  journal.DropSaved("one|two", 4);
  EXPECT_EQ(OnDisk().next.generation, first + 1);
  journal.DropSaved("two", 3);
  EXPECT_EQ(OnDisk().next.generation, first + 2);
  EXPECT_EQ(Bytes(kJournalFileName), JournalStart(first + 2));
}

struct CutBackCase {
  const char* what;
  std::size_t converted;
  std::string left;
};

void PrintTo(const CutBackCase& c, std::ostream* os) { *os << c.what; }

class APowerCutAfterASave : public CaptureJournalTest, public ::testing::WithParamInterface<CutBackCase> {};

TEST_P(APowerCutAfterASave, NeverBringsBackFramesOfTheSavedText) {
  const std::string unsaved = "RECORD-1|RECORD-2|REC";
  CaptureJournal journal(*files_);
  journal.Open();
  for (std::size_t at = 0; at < unsaved.size(); at += 3) journal.Append(unsaved.substr(at, 3), kStart);
  journal.Flush();
  const std::string before = Bytes(kJournalFileName);
  journal.DropSaved(unsaved, GetParam().converted);
  const std::string forced = Bytes(kJournalFileName);  // DropSaved forced it onto the disk
  journal.Append("ORD-3", kStart);                     // not forced yet
  const std::size_t length = Bytes(kJournalFileName).size();
  journal.Close();
  ASSERT_LE(length, before.size());

  // The file system kept the new length, but where the new data did not
  // reach the disk the blocks still hold the journal as it was before.
  Write(kJournalFileName, forced + before.substr(forced.size(), length - forced.size()));
  CaptureJournal later(*files_);
  EXPECT_EQ(later.Open().text, GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Saves, APowerCutAfterASave,
                         ::testing::Values(CutBackCase{"ThatConvertedEverything", 21, ""},
                                           CutBackCase{"ThatLeftARecordArriving", 18, "REC"}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(CaptureJournalTest, AJournalStartedAgainAfterItsStartWasLostNeverBringsBackOlderFrames) {
  std::string before;
  {
    CaptureJournal journal(*files_);
    journal.Open();
    for (const char* text : {"R1|", "R2|", "REC"}) journal.Append(text, kStart);
    journal.Flush();
    before = Bytes(kJournalFileName);
    journal.DropSaved("R1|R2|REC", 9);
  }
  // A power cut lost the new start: the file kept its length, with zeros.
  Write(kJournalFileName, std::string(kJournalLine) + std::string(8, '\0'));
  std::size_t length = 0;
  std::string forced;
  {
    CaptureJournal journal(*files_);
    EXPECT_EQ(journal.Open().text, "");
    forced = Bytes(kJournalFileName);
    journal.Append("ORD-3", kStart);  // a frame longer than the first old one
    length = Bytes(kJournalFileName).size();
  }
  // Another power cut: the appended frame did not reach the disk, the old blocks did.
  Write(kJournalFileName, forced + before.substr(forced.size(), length - forced.size()));
  CaptureJournal later(*files_);
  EXPECT_EQ(later.Open().text, "");
}

TEST_F(CaptureJournalTest, AVersion1JournalComesBackAndIsRewrittenInThisVersion) {
  std::string old(kJournalLineV1);
  AppendFramesV1(old, kReport);
  Write(kJournalFileName, old);
  CaptureJournal journal(*files_);
  const Recovery recovery = journal.Open();
  EXPECT_EQ(recovery.text, kReport);
  EXPECT_EQ(recovery.setAsidePath, "") << "nothing is lost, so nothing is set aside";
  EXPECT_EQ(OnDisk().version, 2);
  EXPECT_EQ(OnDisk().text, kReport);
  journal.Append("more", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), kReport + "more");
}

TEST_F(CaptureJournalTest, ATornVersion1JournalIsKeptAsideAndItsWholeFramesComeBack) {
  std::string old(kJournalLineV1);
  AppendFramesV1(old, "whole");
  AppendFramesV1(old, "torn");
  old.pop_back();
  Write(kJournalFileName, old);
  CaptureJournal journal(*files_);
  const Recovery recovery = journal.Open();
  EXPECT_EQ(recovery.text, "whole");
  EXPECT_EQ(Bytes(std::string(kJournalFileName) + ".bad-1"), old);
  EXPECT_EQ(OnDisk().version, 2);
  EXPECT_TRUE(journal.Writing());
}

TEST_F(CaptureJournalTest, ARewriteLeftHalfWayByACrashDoesNotLeakIntoTheNextOne) {
  CaptureJournal journal(*files_);
  journal.Open();
  journal.Append("saved|rest", kStart);
  Write(std::string(kJournalFileName) + ".new", std::string(4096, 'Z'));
  journal.DropSaved("saved|rest", 6);
  journal.Close();
  EXPECT_EQ(ReadBack(), "rest");
  EXPECT_FALSE(fs::exists(PathOf(std::string(kJournalFileName) + ".new")));
}

// ---- the order of the steps, and failing flushes ------------------------------

struct StepsCase {
  const char* what;
  void (*before)(CaptureJournal&);  // then the steps are recorded
  std::set<std::string> failing;
  void (*action)(CaptureJournal&);
  std::vector<std::string> steps;
};

void PrintTo(const StepsCase& c, std::ostream* os) { *os << c.what; }

class Taking : public CaptureJournalTest, public ::testing::WithParamInterface<StepsCase> {};

TEST_P(Taking, EveryStepInAnOrderThatSurvivesACrashAtAnyPoint) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  GetParam().before(journal);
  disk.steps.clear();
  disk.failing = GetParam().failing;
  GetParam().action(journal);
  EXPECT_EQ(disk.steps, GetParam().steps);
}

void Nothing(CaptureJournal&) {}
void Opened(CaptureJournal& journal) { journal.Open(); }
void OpenedWithText(CaptureJournal& journal) {
  journal.Open();
  journal.Append("saved|arriving", kStart);
}
void OpenedWithTextForced(CaptureJournal& journal) {
  OpenedWithText(journal);
  journal.Flush();
}

const std::string kJournal(kJournalFileName);

INSTANTIATE_TEST_SUITE_P(
    Steps, Taking,
    ::testing::Values(
        StepsCase{"AFreshStart", Nothing, {}, Opened, {"open", "truncate 0", "append", "flush"}},
        StepsCase{
            "AnAppendNotDueYet", Opened, {}, [](CaptureJournal& j) { j.Append("x", kStart); }, {"append"}},
        StepsCase{"AnAppendHalfASecondAfterAnother",
                  [](CaptureJournal& j) {
                    j.Open();
                    j.Append("x", kStart);
                  },
                  {},
                  [](CaptureJournal& j) { j.Append("y", kStart + kFlushPeriod); },
                  {"append", "flush"}},
        StepsCase{"ACloseWithAnAppendNotDueYet",
                  OpenedWithText,
                  {},
                  [](CaptureJournal& j) { j.Close(); },
                  {"flush", "release"}},
        StepsCase{"AFailingAppendAfterOneNotDueYet",
                  OpenedWithText,
                  {"append"},
                  [](CaptureJournal& j) { j.Append("lost", kStart); },
                  {"append", "flush"}},
        StepsCase{"ASaveThatConvertedEverything",
                  OpenedWithTextForced,
                  {},
                  [](CaptureJournal& j) { j.DropSaved("saved|arriving", 14); },
                  {"truncate " + std::to_string(kJournalLine.size()), "append", "flush"}},
        StepsCase{"ASaveThatLeftARecordArriving",
                  OpenedWithTextForced,
                  {},
                  [](CaptureJournal& j) { j.DropSaved("saved|arriving", 6); },
                  {"release", "replace " + kJournal, "open"}},
        StepsCase{"DiscardingTheText",
                  OpenedWithText,
                  {},
                  [](CaptureJournal& j) { j.Discard(); },
                  {"flush", "release", "move " + kJournal + " " + std::string(kDiscardedFileName),
                   "replace " + kJournal, "open"}},
        StepsCase{"DiscardingWithNothingUnsaved", Opened, {}, [](CaptureJournal& j) { j.Discard(); }, {}}),
    [](const auto& info) { return std::string(info.param.what); });

struct FlushFailureCase {
  const char* what;
  void (*before)(CaptureJournal&);
  void (*action)(CaptureJournal&);  // with every flush failing
  bool heldAfter;                   // the journal still holds the file
};

void PrintTo(const FlushFailureCase& c, std::ostream* os) { *os << c.what; }

class AFlushThatFails : public CaptureJournalTest, public ::testing::WithParamInterface<FlushFailureCase> {};

TEST_P(AFlushThatFails, StopsTheJournalWithAProblemUntilTheNextSave) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  GetParam().before(journal);
  disk.failing = {"flush"};
  GetParam().action(journal);
  EXPECT_FALSE(journal.Writing());
  const auto problem = journal.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("flush failed"), std::string::npos) << *problem;
  EXPECT_EQ(disk.heldFiles, GetParam().heldAfter ? 1 : 0);

  disk.failing.clear();
  journal.DropSaved("saved|arriving", 6);
  EXPECT_EQ(journal.Writing(), GetParam().heldAfter) << "a journal given up at the start stays given up";
}

INSTANTIATE_TEST_SUITE_P(
    Flushes, AFlushThatFails,
    ::testing::Values(FlushFailureCase{"AtAFreshStart", Nothing, Opened, false},
                      FlushFailureCase{"WhenAnAppendIsDue", Opened,
                                       [](CaptureJournal& j) {
                                         j.Append("saved|", kStart);
                                         j.Append("arriving", kStart + kFlushPeriod);
                                       },
                                       true},
                      FlushFailureCase{"OnDisconnect", OpenedWithText, [](CaptureJournal& j) { j.Flush(); },
                                       true},
                      FlushFailureCase{"AfterASaveThatConvertedEverything", OpenedWithTextForced,
                                       [](CaptureJournal& j) { j.DropSaved("saved|arriving", 14); }, true}),
    [](const auto& info) { return std::string(info.param.what); });

// ---- the limit ---------------------------------------------------------------

TEST_F(CaptureJournalTest, AppendsStopAtTheLimitWithAProblemAndTheNextSaveResumesThem) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  const std::string most(kMaxJournalText - 1, 'r');
  journal.Append(most, kStart);
  EXPECT_TRUE(journal.Writing());
  journal.Append("ab", kStart);
  EXPECT_FALSE(journal.Writing());
  const auto problem = journal.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("is full"), std::string::npos) << *problem;
  const int appends = disk.appends;
  journal.Append("c", kStart);
  EXPECT_EQ(disk.appends, appends) << "a full journal writes no more";
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);
  const ParsedJournal full = OnDisk();
  EXPECT_EQ(full.condition, JournalCondition::Whole);
  EXPECT_EQ(full.text.size(), kMaxJournalText);
  EXPECT_EQ(full.text.back(), 'a') << "the part that fits is kept";

  journal.DropSaved(most + "abc", most.size());
  EXPECT_TRUE(journal.Writing());
  journal.Close();
  EXPECT_EQ(ReadBack(), "abc");
}

TEST_F(CaptureJournalTest, ASaveLeavingMoreThanTheLimitKeepsTheFirstPartAndSaysSo) {
  CaptureJournal journal(*files_);
  journal.Open();
  std::string unsaved = "saved|" + std::string(kMaxJournalText, 'r') + "beyond";
  journal.DropSaved(unsaved, 6);
  EXPECT_FALSE(journal.Writing());
  EXPECT_TRUE(journal.TakeProblem().has_value());
  EXPECT_EQ(OnDisk().text, unsaved.substr(6, kMaxJournalText));
}

TEST_F(CaptureJournalTest, AJournalOverTheLimitIsSetAsideAndOnlyItsFirstPartIsRead) {
  // An earlier version kept up to 512 MB.
  std::string old(kJournalLineV1);
  AppendFramesV1(old, std::string(kMaxJournalText + 2 * kMaxFrameData, 'r'));
  Write(kJournalFileName, old);
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  const Recovery recovery = journal.Open();
  EXPECT_TRUE(recovery.tooLarge);
  EXPECT_EQ(recovery.text.size(), kMaxJournalText);
  EXPECT_EQ(recovery.setAsidePath, files_->PathOf(kJournal + ".bad-1"));
  EXPECT_EQ(recovery.droppedBytes, 2 * (kFrameHeaderSizeV1 + kMaxFrameData));
  EXPECT_LE(disk.bytesRead, kMaxJournalText + (128u << 10)) << "reading stops at the limit";
  EXPECT_EQ(Bytes(kJournal + ".bad-1").size(), old.size());
  EXPECT_EQ(OnDisk().text.size(), kMaxJournalText);
}

TEST_F(CaptureJournalTest, AHugeFileThatIsNoJournalIsSetAsideAfterReadingOneBlock) {
  Write(kJournalFileName, std::string(8u << 20, 'x'));
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  const Recovery recovery = journal.Open();
  EXPECT_EQ(recovery.text, "");
  EXPECT_EQ(recovery.droppedBytes, 8u << 20);
  EXPECT_LE(disk.bytesRead, 64u << 10);
  EXPECT_TRUE(journal.Writing());
}

// ---- discarding --------------------------------------------------------------

TEST_F(CaptureJournalTest, DiscardingKeepsOneRescueCopyAndNothingComesBackAtTheNextStart) {
  Write(kDiscardedFileName, "an older rescue copy");
  CaptureJournal journal(*files_);
  journal.Open();
  journal.Append(kReport, kStart);
  EXPECT_TRUE(journal.Discard());
  EXPECT_TRUE(journal.Writing());
  EXPECT_EQ(journal.TakeProblem(), std::nullopt);
  EXPECT_EQ(ParseJournal(Bytes(kDiscardedFileName)).text, kReport) << "the rescue copy is a journal";
  journal.Append("after", kStart);
  journal.Close();
  EXPECT_EQ(ReadBack(), "after");
}

TEST_F(CaptureJournalTest, DiscardingWithNothingUnsavedKeepsTheLastRescueCopy) {
  Write(kDiscardedFileName, "the last rescue copy");
  CaptureJournal journal(*files_);
  journal.Open();
  journal.Append("saved", kStart);
  journal.DropSaved("saved", 5);
  EXPECT_TRUE(journal.Discard());
  EXPECT_EQ(Bytes(kDiscardedFileName), "the last rescue copy");
}

TEST_F(CaptureJournalTest, ADiscardThatCannotMoveTheJournalKeepsTheTextAndSaysSo) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  journal.Append("kept", kStart);
  disk.failing = {"move"};
  EXPECT_FALSE(journal.Discard());
  const auto problem = journal.TakeProblem();
  ASSERT_TRUE(problem.has_value());
  EXPECT_NE(problem->find("comes back at the next start"), std::string::npos) << *problem;
  journal.Close();
  EXPECT_EQ(ReadBack(), "kept");
}

TEST_F(CaptureJournalTest, DiscardingAJournalThatFellBehindStillEmptiesIt) {
  FaultyFiles disk(*files_);
  CaptureJournal journal(disk);
  journal.Open();
  journal.Append("written", kStart);
  disk.failing = {"append"};
  journal.Append("not written", kStart);
  ASSERT_FALSE(journal.Writing());
  disk.failing.clear();
  EXPECT_TRUE(journal.Discard());
  EXPECT_TRUE(journal.Writing());
  EXPECT_EQ(ParseJournal(Bytes(kDiscardedFileName)).text, "written");
  journal.Close();
  EXPECT_EQ(ReadBack(), "");
}

TEST(RecoveryMessage, TellsHowManyCharactersCameBackAndThatSaveAsKeepsThem) {
  EXPECT_EQ(
      RecoveryMessage(1234),
      "Seamlog has recovered 1234 characters that were received but not saved before it last closed.\r\n"
      "Save As keeps them, together with the text received from now on.");
  EXPECT_NE(RecoveryMessage(1).find(" 1 character that was "), std::string::npos);
}

}  // namespace
}  // namespace seamlog::journal
