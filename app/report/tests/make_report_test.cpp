#include "seamlog/report/make_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace seamlog::report {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTable =
    "\r\n\r\nNo.,Cut(L),Cut(R),Offset,Deform,Ect(L),Ect(R),Core Offset,Arc Count,Estimation Loss,Align "
    "Method,"
    "Fiber,Date,Time,Memo\r\n,deg,deg,um,deg,um,um,um,Cnt,dB,,,dd/mm/yy,HH:MM,\r\n"
    "   1,1.7,1.7,0.2,0.0,0.0,0.3,0.1,2974, 0.44,Core,MM,03/03/22,20:38,Joint 17\r\n";

class MakeReportTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("seamlog-report-test-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const char* name) const { return (dir_ / name).string(); }
  void Write(const char* name, const std::string& text) const {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  std::string Read(const char* name) const {
    std::string bytes, error;
    EXPECT_TRUE(ReadWholeFile(Path(name), kMaxTableFileBytes, bytes, error)) << error;
    return bytes;
  }

  fs::path dir_;
};

TEST_F(MakeReportTest, AMissingTableIsAProblemAndTheOthersAreStillReported) {
  Write("a.csv", kTable);
  ReportRequest request;
  request.tables = {Path("missing.csv"), Path("a.csv")};
  request.output = Path("report.html");
  request.jsonOutput = Path("report.json");
  request.reportDate = "2026-12-08";
  const ReportOutcome outcome = MakeReport(request);
  ASSERT_TRUE(outcome.written) << outcome.failure;
  ASSERT_EQ(outcome.content.reading.problems.size(), 1u);
  EXPECT_EQ(outcome.content.reading.problems[0].source, Path("missing.csv"));
  EXPECT_EQ(outcome.content.summary.fail, 1);
  EXPECT_NE(Read("report.html").find("2026-12-08"), std::string::npos);
  EXPECT_NE(Read("report.json").find("\"fail\": 1"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("report.html.part")));
}

TEST_F(MakeReportTest, NothingIsWrittenWithoutRecordsOrOverATable) {
  Write("junk.csv", "a,b\r\n");
  Write("a.csv", kTable);
  Write("report.html", "old report");
  ReportRequest request;
  request.tables = {Path("junk.csv")};
  request.output = Path("report.html");
  ReportOutcome outcome = MakeReport(request);
  EXPECT_FALSE(outcome.written);
  EXPECT_NE(outcome.failure.find("no splice record"), std::string::npos);
  EXPECT_EQ(Read("report.html"), "old report");

  request.tables = {Path("a.csv")};
  request.output = Path("a.csv");
  outcome = MakeReport(request);
  EXPECT_FALSE(outcome.written);
  EXPECT_NE(outcome.failure.find("one of the tables read"), std::string::npos);
  EXPECT_EQ(Read("a.csv"), kTable);

  request.output = dir_.string();
  EXPECT_NE(MakeReport(request).failure.find("is a folder"), std::string::npos);
}

TEST_F(MakeReportTest, AnExistingReportIsReplacedWholeAndAnUnwritableOneLeavesNothing) {
  Write("a.csv", kTable);
  Write("report.html", "old report");
  ReportRequest request;
  request.tables = {Path("a.csv")};
  request.output = Path("report.html");
  ASSERT_TRUE(MakeReport(request).written);
  const std::string html = Read("report.html");
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("</html>"), std::string::npos);

  request.output = Path("no-such-folder/report.html");
  const ReportOutcome outcome = MakeReport(request);
  EXPECT_FALSE(outcome.written);
  EXPECT_NE(outcome.failure.find("cannot be written"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("no-such-folder")));
}

TEST_F(MakeReportTest, AFileLargerThanTheLimitIsNotRead) {
  Write("a.csv", kTable);
  std::string bytes, error;
  EXPECT_FALSE(ReadWholeFile(Path("a.csv"), 10, bytes, error));
  EXPECT_NE(error.find("larger than"), std::string::npos);
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(ReadWholeFile(dir_.string(), 10, bytes, error));
  EXPECT_NE(error.find("folder"), std::string::npos);
}

}  // namespace
}  // namespace seamlog::report
