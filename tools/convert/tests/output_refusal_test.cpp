#include "output_refusal.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>

namespace seamlog::tools {
namespace {

namespace fs = std::filesystem;

TEST(LooksLikeReport, ALineBeginningWithARecordSeparatorIsAReportNotATable) {
  struct Case {
    const char* head;
    bool report;
  };
  const Case cases[] = {
      {"-------------------------------\r\n SPLICE RECORD", true},
      {"an earlier line\r\n-------------------------------\r\n", true},
      {"raw\r-------------------------------\r", true},
      {"\r\n\r\nNo.,Cut(L),Cut(R)\r\n,deg,deg\r\n1,1.7,1.7\r\n", false},
      {"12,0.1,,Site -------------------------------\r\n", false},
      {"------------------------------\r\n", false},  // 30 hyphens
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(LooksLikeReport(c.head), c.report) << c.head;
}

class RefuseOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / "seamlog-refuse-output";
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string Make(const char* name, const std::string& content) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  fs::path folder_;
};

TEST_F(RefuseOutputTest, AReportAsOutputIsRefusedUnlessForced) {
  const std::string input = Make("table.csv", "\r\n\r\nNo.,Cut(L)\r\n");
  const std::string report = Make("report.txt", "-------------------------------\r\n SPLICE RECORD\r\n");
  EXPECT_NE(RefuseOutput(input, report, false).find("looks like a splicer report"), std::string::npos);
  EXPECT_EQ(RefuseOutput(input, report, true), "");
  EXPECT_EQ(RefuseOutput(report, input, false), "");
  EXPECT_EQ(RefuseOutput(report, (folder_ / "new.csv").string(), false), "");
}

TEST_F(RefuseOutputTest, AFileNoStandardStreamWritesToIsNoneOfThem) {
  EXPECT_EQ(StandardStreamAt(Make("table.csv", "")), "");
  EXPECT_EQ(StandardStreamAt((folder_ / "missing.csv").string()), "");
}

TEST_F(RefuseOutputTest, AMissingOutputOrAnOrdinaryTableMayTakeTheTable) {
  const std::string input = Make("report.txt", "-------------------------------\r\n");
  EXPECT_EQ(RefuseOutput(input, (folder_ / "new.csv").string(), false), "");
  EXPECT_EQ(RefuseOutput(input, Make("old.csv", "\r\n\r\nNo.,Cut(L)\r\n"), false), "");
}

#ifndef _WIN32
TEST_F(RefuseOutputTest, FifosSocketsAndDanglingLinksAreRefusedByWhatTheyAre) {
  const std::string input = Make("report.txt", "-------------------------------\r\n");
  const std::string fifo = (folder_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(RefuseOutput(input, fifo, true).find("is a FIFO (named pipe), not a file"), std::string::npos);

  const std::string socketPath = (folder_ / "socket").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_NE(RefuseOutput(input, socketPath, true).find("is a socket, not a file"), std::string::npos);
  ::close(listener);

  EXPECT_NE(RefuseOutput(input, "/dev/null", true).find("is a device, not a file"), std::string::npos);

  const fs::path link = folder_ / "link.csv";
  fs::create_symlink(folder_ / "gone" / "table.csv", link);
  EXPECT_NE(RefuseOutput(input, link.string(), true).find("is a symbolic link to '"), std::string::npos);
  fs::create_symlink(link.filename(), folder_ / "loop.csv");
  fs::remove(link);
  fs::create_symlink("loop.csv", link);
  EXPECT_NE(RefuseOutput(input, link.string(), true).find("cannot examine OUTPUT"), std::string::npos);
}
#endif

}  // namespace
}  // namespace seamlog::tools
