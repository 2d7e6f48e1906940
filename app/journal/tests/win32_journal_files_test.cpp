// The Windows journal files over a recording system: which calls they make,
// in what order, and what they do when forcing a file onto the disk fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "seamlog/journal/win32_journal_files.h"

namespace seamlog::journal {
namespace {

namespace fs = std::filesystem;

class RecordingSystem final : public Win32System {
 public:
  explicit RecordingSystem(std::string folder) : folder_(std::move(folder)) {}

  std::vector<std::string> calls;  // "write NAME", "flush NAME", ...
  std::string failingFlush;        // flushes of this file fail

  HANDLE Create(const char* path, DWORD access, DWORD share, DWORD disposition) override {
    const HANDLE file = Win32System::Create(path, access, share, disposition);
    names_[file] = Name(path);
    calls.push_back("create " + Name(path) + (disposition == CREATE_ALWAYS ? " emptied" : ""));
    return file;
  }
  BOOL Write(HANDLE file, const void* data, DWORD size, DWORD* written) override {
    calls.push_back("write " + names_[file]);
    return Win32System::Write(file, data, size, written);
  }
  BOOL Flush(HANDLE file) override {
    calls.push_back("flush " + names_[file]);
    if (names_[file] == failingFlush) {
      SetLastError(ERROR_WRITE_FAULT);
      return FALSE;
    }
    return Win32System::Flush(file);
  }
  BOOL Move(const char* from, const char* to, DWORD flags) override {
    calls.push_back("move " + Name(from) + " " + Name(to) +
                    ((flags & MOVEFILE_REPLACE_EXISTING) != 0 ? " replacing" : "") +
                    ((flags & MOVEFILE_WRITE_THROUGH) != 0 ? " write-through" : ""));
    return Win32System::Move(from, to, flags);
  }
  BOOL Delete(const char* path) override {
    calls.push_back("delete " + Name(path));
    return Win32System::Delete(path);
  }

 private:
  std::string Name(const std::string& path) const {
    return path.rfind(folder_, 0) == 0 ? path.substr(folder_.size()) : path;
  }
  std::string folder_;
  std::map<HANDLE, std::string> names_;
};

class Win32JournalFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("seamlog-win32-journal-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    Write("Seamlog.journal", "old");
    system_ = std::make_unique<RecordingSystem>(folder_.string() + "\\");
    files_ = MakeWin32JournalFiles(folder_.string(), *system_);
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

TEST_F(Win32JournalFilesTest, AReplaceForcesTheNewFileOntoTheDiskBeforeMovingItIntoPlace) {
  std::string error;
  ASSERT_TRUE(files_->Replace("Seamlog.journal", "new", error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "new");
  EXPECT_EQ(system_->calls,
            (std::vector<std::string>{"create Seamlog.journal.new emptied", "write Seamlog.journal.new",
                                      "flush Seamlog.journal.new",
                                      "move Seamlog.journal.new Seamlog.journal replacing write-through"}));
}

TEST_F(Win32JournalFilesTest, ANewFileThatCannotBeForcedOntoTheDiskLeavesTheOldOneInPlace) {
  system_->failingFlush = "Seamlog.journal.new";
  std::string error;
  EXPECT_FALSE(files_->Replace("Seamlog.journal", "new", error));
  EXPECT_NE(error.find("cannot flush"), std::string::npos) << error;
  EXPECT_EQ(Bytes("Seamlog.journal"), "old");
  EXPECT_FALSE(fs::exists(folder_ / "Seamlog.journal.new"));
  EXPECT_EQ(system_->calls.back(), "delete Seamlog.journal.new");
}

TEST_F(Win32JournalFilesTest, AHeldJournalIsReadAnywhereAppendedAtTheEndAndForcedOntoTheDisk) {
  std::string error;
  auto held = files_->OpenHeld("Seamlog.journal", error);
  ASSERT_NE(held, nullptr) << error;
  std::string start;
  EXPECT_TRUE(held->Read(0, 2, start, error)) << error;
  EXPECT_EQ(start, "ol");
  EXPECT_TRUE(held->Append("+more", error)) << error;  // at the end all the same
  EXPECT_TRUE(held->Flush(error)) << error;
  system_->failingFlush = "Seamlog.journal";
  EXPECT_FALSE(held->Flush(error));
  EXPECT_EQ(system_->calls, (std::vector<std::string>{"create Seamlog.journal", "write Seamlog.journal",
                                                      "flush Seamlog.journal", "flush Seamlog.journal"}));
  held.reset();
  EXPECT_EQ(Bytes("Seamlog.journal"), "old+more");
}

TEST_F(Win32JournalFilesTest, AMoveOverReplacesTheTargetWritingThrough) {
  Write("Seamlog.journal.discarded", "older");
  std::string error;
  ASSERT_TRUE(files_->MoveOver("Seamlog.journal", "Seamlog.journal.discarded", error)) << error;
  EXPECT_EQ(Bytes("Seamlog.journal.discarded"), "old");
  EXPECT_FALSE(fs::exists(folder_ / "Seamlog.journal"));
  EXPECT_EQ(system_->calls,
            (std::vector<std::string>{"move Seamlog.journal Seamlog.journal.discarded replacing "
                                      "write-through"}));
}

}  // namespace
}  // namespace seamlog::journal
