#include "seamlog/save/table_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "seamlog/convert/convert_received_text.h"

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
  EXPECT_TRUE(file->Close());
  EXPECT_EQ(Contents(PathOf("new.csv")), "a,b,\r\n\r\n\xE9\xFF,\n\r\n");
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
  EXPECT_EQ(Contents(PathOf("closed.csv")), "");
}

TEST_F(TableFileTest, AFullDiskIsAFailureNeverSilence) {
#ifdef _WIN32
  GTEST_SKIP() << "no device that is always full on Windows";
#else
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is missing";
  std::string error;
  auto file = TableFile::OpenForAppend("/dev/full", error);
  ASSERT_TRUE(file) << error;
  bool allWritten = true;
  for (int i = 0; i < 100000 && allWritten; ++i) allWritten = file->WriteRow("row,row,row,row");
  const bool closed = file->Close();
  EXPECT_FALSE(allWritten && closed);
  EXPECT_NE(file->LastError().find("/dev/full"), std::string::npos) << file->LastError();
  EXPECT_FALSE(file->Close());  // the second close repeats the first result
#endif
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

TEST_F(TableFileTest, AFullDiskDuringConversionFailsTheSave) {
#ifdef _WIN32
  GTEST_SKIP() << "no device that is always full on Windows";
#else
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "/dev/full is missing";
  std::string error;
  auto file = TableFile::OpenForAppend("/dev/full", error);
  ASSERT_TRUE(file) << error;
  convert::NoProgress progress;
  const auto result = convert::ConvertReceivedText("nothing much", *file, progress);
  EXPECT_EQ(result.outcome, convert::ConvertOutcome::Failed);
  EXPECT_FALSE(result.reason.empty());
#endif
}

}  // namespace
}  // namespace seamlog::save
