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
    std::string text = c.sent;
    AddLineFeedAfterEveryCarriageReturn(text);
    EXPECT_EQ(text, c.received);
  }
}

TEST(ReadReceivedFile, TheBytesAreReadExactlyAsTheyAre) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-file.txt").string();
  const std::string bytes("a\r\nb\n\x1A\0\xFF end", 12);
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadReceivedFile(path, text, error)) << error;
  EXPECT_EQ(text, bytes);
  std::filesystem::remove(path);
}

TEST(ReadReceivedFile, AMissingFileOrADirectoryIsAnErrorThatNamesIt) {
  std::string text;
  std::string error;
  EXPECT_FALSE(ReadReceivedFile("no-such-report.txt", text, error));
  EXPECT_NE(error.find("no-such-report.txt"), std::string::npos) << error;
  const std::string directory = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(ReadReceivedFile(directory, text, error));
  EXPECT_NE(error.find(directory), std::string::npos) << error;
}

}  // namespace
}  // namespace seamlog::tools
