#include "received_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace seamlog::tools {
namespace {

TEST(LineFeedAfterCarriageReturn, EveryCarriageReturnGetsALineFeedWhereverItFalls) {
  struct Case { std::string sent, received; };
  const Case cases[] = {
      {"", ""},
      {"AB\rCD", "AB\r\nCD"},
      {"\r", "\r\n"},
      {"\r\n", "\r\n\n"},  // an LF from the splicer stays a character of its own
      {"\r\r", "\r\n\r\n"},
      {"no line ends", "no line ends"},
      {std::string("\0\r\xFF", 3), std::string("\0\r\n\xFF", 4)},
  };
  for (const Case& c : cases) {
    std::string text = "before:";
    AppendAddingLineFeeds(text, c.sent);
    EXPECT_EQ(text, "before:" + c.received);
  }
}

TEST(ReadReceivedFile, TheBytesAreReadExactlyAsTheyAreOrWithLineFeedsAdded) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-file.txt").string();
  const std::string bytes("a\r\nb\n\x1A\0\xFF end\r", 13);
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadReceivedFile(path, ByteStream::AsReceived, text, error)) << error;
  EXPECT_EQ(text, bytes);
  ASSERT_TRUE(ReadReceivedFile(path, ByteStream::AsSentBySplicer, text, error)) << error;
  EXPECT_EQ(text, std::string("a\r\n\nb\n\x1A\0\xFF end\r\n", 15));
  std::filesystem::remove(path);
}

TEST(ReadReceivedFile, AFileLargerThanOneBlockArrivesWhole) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-large.txt").string();
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += "line " + std::to_string(i) + "\r";
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadReceivedFile(path, ByteStream::AsSentBySplicer, text, error)) << error;
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(text, expected);
  std::filesystem::remove(path);
}

TEST(ReadReceivedFile, AMissingFileOrADirectoryIsAnErrorThatNamesIt) {
  std::string text;
  std::string error;
  EXPECT_FALSE(ReadReceivedFile("no-such-report.txt", ByteStream::AsReceived, text, error));
  EXPECT_NE(error.find("no-such-report.txt"), std::string::npos) << error;
  const std::string directory = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(ReadReceivedFile(directory, ByteStream::AsReceived, text, error));
  EXPECT_NE(error.find(directory), std::string::npos) << error;
}

}  // namespace
}  // namespace seamlog::tools
