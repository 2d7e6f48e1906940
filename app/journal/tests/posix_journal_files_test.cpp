// The host's journal files over a recording system: which calls they make,
// in what order, and what they do when a call is interrupted or fails.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "seamlog/journal/posix_journal_files.h"

namespace seamlog::journal {
namespace {

namespace fs = std::filesystem;

class RecordingSystem final : public PosixSystem {
 public:
  explicit RecordingSystem(std::string folder) : folder_(std::move(folder)) {}

  std::vector<std::string> calls;  // "write NAME", "fsync folder", ...
  int interruptedWrites = 0;       // the next writes fail with EINTR
  int interruptedFsyncs = 0;       // the next fsyncs fail with EINTR
  std::string failingFsync;        // fsyncs of this file fail with EIO

  int Open(const char* path, int flags, mode_t mode) override {
    const int fd = PosixSystem::Open(path, flags, mode);
    names_[fd] = Name(path);
    calls.push_back("open " + Name(path) + ((flags & O_TRUNC) != 0 ? " truncated" : ""));
    return fd;
  }
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    if (interruptedWrites > 0) {
      --interruptedWrites;
      calls.push_back("write " + names_[fd] + " interrupted");
      errno = EINTR;
      return -1;
    }
    calls.push_back("write " + names_[fd]);
    return PosixSystem::Write(fd, data, size);
  }
  int Fsync(int fd) override {
    if (interruptedFsyncs > 0) {
      --interruptedFsyncs;
      calls.push_back("fsync " + names_[fd] + " interrupted");
      errno = EINTR;
      return -1;
    }
    calls.push_back("fsync " + names_[fd]);
    if (names_[fd] == failingFsync) {
      errno = EIO;
      return -1;
    }
    return PosixSystem::Fsync(fd);
  }
  int Rename(const char* from, const char* to) override {
    calls.push_back("rename " + Name(from) + " " + Name(to));
    return PosixSystem::Rename(from, to);
  }
  int Unlink(const char* path) override {
    calls.push_back("unlink " + Name(path));
    return PosixSystem::Unlink(path);
  }
  int Close(int fd) override {
    calls.push_back("close " + names_[fd]);
    return PosixSystem::Close(fd);
  }

 private:
  std::string Name(const std::string& path) const {
    return path.rfind(folder_, 0) == 0 && path.size() > folder_.size() ? path.substr(folder_.size())
                                                                       : "folder";
  }
  std::string folder_;
  std::map<int, std::string> names_;
};

class PosixJournalFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("seamlog-posix-journal-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    Write("Seamlog.journal", "old");
    system_ = std::make_unique<RecordingSystem>(folder_.string() + "/");
    files_ = MakePosixJournalFiles(folder_.string(), *system_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Bytes(const std::string& name) const {
    std::ifstream in(folder_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }

  fs::path folder_;
  std::unique_ptr<RecordingSystem> system_;
  std::unique_ptr<JournalFiles> files_;
};

TEST_F(PosixJournalFilesTest, AReplaceForcesTheNewFileOntoTheDiskBeforeTheRenameAndTheFolderAfterIt) {
  std::string error;
  ASSERT_TRUE(files_->Replace("Seamlog.journal", "new", error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "new");
  EXPECT_EQ(system_->calls,
            (std::vector<std::string>{"open Seamlog.journal.new truncated", "write Seamlog.journal.new",
                                      "fsync Seamlog.journal.new", "close Seamlog.journal.new",
                                      "rename Seamlog.journal.new Seamlog.journal", "open folder",
                                      "fsync folder", "close folder"}));
}

TEST_F(PosixJournalFilesTest, InterruptedWritesAndFlushesAreMadeAgain) {
  JournalFiles& files = *files_;
  system_->interruptedWrites = 2;
  system_->interruptedFsyncs = 2;
  std::string error;
  ASSERT_TRUE(files.Replace("Seamlog.journal", "new", error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "new");

  auto held = files.OpenHeld("Seamlog.journal", error);
  ASSERT_NE(held, nullptr) << error;
  system_->interruptedWrites = 1;
  system_->interruptedFsyncs = 1;
  EXPECT_TRUE(held->Append("+more", error)) << error;
  EXPECT_TRUE(held->Flush(error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "new+more");
}

TEST_F(PosixJournalFilesTest, ANewFileThatCannotBeForcedOntoTheDiskLeavesTheOldOneInPlace) {
  JournalFiles& files = *files_;
  system_->failingFsync = "Seamlog.journal.new";
  std::string error;
  EXPECT_FALSE(files.Replace("Seamlog.journal", "new", error));
  EXPECT_NE(error.find("cannot flush"), std::string::npos) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "old");
  EXPECT_FALSE(fs::exists(folder_ / "Seamlog.journal.new"));
  EXPECT_EQ(system_->calls.back(), "unlink Seamlog.journal.new");
}

TEST_F(PosixJournalFilesTest, AFolderThatCannotBeForcedOntoTheDiskFailsTheReplace) {
  JournalFiles& files = *files_;
  system_->failingFsync = "folder";
  std::string error;
  EXPECT_FALSE(files.Replace("Seamlog.journal", "new", error));
  EXPECT_NE(error.find("cannot flush the folder"), std::string::npos) << error;
}

TEST_F(PosixJournalFilesTest, AMoveOverReplacesTheTargetAndForcesTheFolderOntoTheDisk) {
  Write("Seamlog.journal.discarded", "older");
  JournalFiles& files = *files_;
  std::string error;
  ASSERT_TRUE(files.MoveOver("Seamlog.journal", "Seamlog.journal.discarded", error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal.discarded"), "old");
  EXPECT_FALSE(fs::exists(folder_ / "Seamlog.journal"));
  EXPECT_EQ(system_->calls, (std::vector<std::string>{"rename Seamlog.journal Seamlog.journal.discarded",
                                                      "open folder", "fsync folder", "close folder"}));
}

// A program started with its standard input closed gets descriptor 0 for the
// next file it opens: as good a descriptor as any other.
TEST_F(PosixJournalFilesTest, WithTheStandardInputClosedDescriptorZeroServesLikeAnyOther) {
  const int savedInput = ::dup(0);
  ASSERT_GE(savedInput, 0);
  ::close(0);
  std::string replaceError, openError, appendError;
  const bool replaced = files_->Replace("Seamlog.journal", "new", replaceError);
  auto held = files_->OpenHeld("Seamlog.journal", openError);
  const bool appended = held && held->Append("+more", appendError);
  held.reset();
  ::dup2(savedInput, 0);
  ::close(savedInput);
  EXPECT_TRUE(replaced) << replaceError;
  EXPECT_TRUE(appended) << openError << appendError;
  EXPECT_EQ(Bytes("Seamlog.journal"), "new+more");
}

}  // namespace
}  // namespace seamlog::journal
