#include "received_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace seamlog::tools {
namespace {

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

TEST(IsWindowsDeviceName, TheReservedNamesAreDevicesInAnyFolderAndWithAnyExtension) {
  struct Case { const char* path; bool device; };
  const Case cases[] = {
      {"NUL", true},          {"nul", true},           {"AUX", true},
      {"con.csv", true},      {"C:\\Data\\PRN.txt", true}, {"D:/x/com1", true},
      {"LPT9", true},         {"NUL:", true},          {"CONOUT$", true},
      {"\\\\.\\COM12", true}, {"NUL .csv", true},
      {"COM0", false},        {"COM10", false},        {"nully.csv", false},
      {"C:\\NUL\\table.csv", false},               {"console.csv", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWindowsDeviceName(c.path), c.device) << c.path;
}

TEST(LineEnds, ACaptureWithOneKindOfLineEndAloneIsBroughtToCrLf) {
  struct Case { std::string text; LineEnds ends; std::string crlf; };
  const Case cases[] = {
      {"a\r\nb\r\n", LineEnds::CrLf, "a\r\nb\r\n"},
      {"a\nb\n\n", LineEnds::LfOnly, "a\r\nb\r\n\r\n"},
      {"a\rb\r", LineEnds::CrOnly, "a\r\nb\r\n"},
      {"a\n\rb", LineEnds::CrLf, "a\n\rb"},  // mixed: taken as it is
      {"no line end", LineEnds::None, "no line end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DetectLineEnds(c.text), c.ends);
    EXPECT_EQ(WithCrLf(c.text, c.ends), c.crlf);
  }
}

}  // namespace
}  // namespace seamlog::tools
