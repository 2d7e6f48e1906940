#include "received_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace seamlog::tools {
namespace {

TEST(ReadReceivedFile, TheBytesAreReadExactlyAsTheyAreOrWithLineFeedsAdded) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-file.txt").string();
  const std::string bytes("a\r\nb\n\x1A\0\xFF end\r", 13);
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadReceivedFile(path, text, error)) << error;
  EXPECT_EQ(text, bytes);
  EXPECT_EQ(WithLineFeeds(text), std::string("a\r\n\nb\n\x1A\0\xFF end\r\n", 15));
  std::filesystem::remove(path);
}

TEST(ReadReceivedFile, AFileLargerThanOneBlockArrivesWhole) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-large.txt").string();
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += "line " + std::to_string(i) + "\r";
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadReceivedFile(path, text, error)) << error;
  EXPECT_EQ(text, bytes);
  text = WithLineFeeds(text);
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(text, expected);
  std::filesystem::remove(path);
}

TEST(ReadReceivedFile, AFileOfTheLargestSizeIsReadAndOneByteMoreIsRefused) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-received-limit.txt").string();
  const std::string bytes(70000, 'x');
  { std::ofstream(path, std::ios::binary) << bytes; }
  std::string text;
  std::string error;
  EXPECT_TRUE(ReadReceivedFile(path, text, error, bytes.size())) << error;
  EXPECT_EQ(text, bytes);
  std::string refused = "kept";
  EXPECT_FALSE(ReadReceivedFile(path, refused, error, bytes.size() - 1));
  EXPECT_EQ(refused, "kept");
  EXPECT_NE(error.find("larger than 69999 bytes"), std::string::npos) << error;
  std::filesystem::remove(path);
}

TEST(ReadRawCapture, EveryCrGetsItsLfAsTheBlocksAreReadAndAPairAlreadyThereIsNoticed) {
  // Lines of 1 to 40 characters over several blocks, so that CRs fall on
  // every place of the sixteen-character steps and on the blocks' edges.
  std::string lines;
  for (std::size_t n = 0; lines.size() < 2 * kRawBlockSize + 1000; ++n)
    lines += std::string(n % 40, static_cast<char>('a' + n % 26)) + "\r";
  std::string pairAcrossBlocks(kRawBlockSize - 1, 'x');
  pairAcrossBlocks += "\r\nyz\r";
  std::string crOnBlockEdge(kRawBlockSize - 1, 'x');
  crOnBlockEdge += "\ryz\r";
  struct Case {
    const char* name;
    std::string bytes;
    bool holdsCrLf;
  };
  const Case cases[] = {
      {"lines over three blocks", lines, false},
      {"a pair whose CR ends the first block", pairAcrossBlocks, true},
      {"a CR that ends the first block alone", crOnBlockEdge, false},
      {"a pair inside a short capture", "ab\rc\r\nd", true},
      {"one CR", "\r", false},
  };
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-raw-capture.raw").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(path, std::ios::binary) << c.bytes; }
    ReceivedText text;
    bool holdsCrLf = !c.holdsCrLf;
    std::string error;
    ASSERT_TRUE(ReadRawCapture(path, text, holdsCrLf, error)) << error;
    EXPECT_TRUE(text.View() == WithLineFeeds(c.bytes));
    EXPECT_EQ(holdsCrLf, c.holdsCrLf);
  }
  std::filesystem::remove(path);
}

#ifndef _WIN32
// n characters that end where an unreadable page begins: touching one past
// them faults, which a sanitizer does not always see in a sixteen-byte load.
class FencedChars {
 public:
  explicit FencedChars(std::size_t n) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    size_ = ((n + page - 1) / page + 1) * page;
    base_ = static_cast<char*>(::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::mprotect(base_ + size_ - page, page, PROT_NONE);
    data = base_ + size_ - page - n;
  }
  ~FencedChars() { ::munmap(base_, size_); }
  FencedChars(const FencedChars&) = delete;
  FencedChars& operator=(const FencedChars&) = delete;
  char* data;

 private:
  char* base_;
  std::size_t size_;
};

TEST(CopyWithLineFeeds, NothingIsReadPastTheBytesOrWrittenPastTwiceThemAndSixteen) {
  for (std::size_t n = 0; n <= 80; ++n) {
    for (const std::size_t crEvery : {0u, 1u, 3u, 16u, 17u}) {
      std::string bytes(n, 'x');
      for (std::size_t at = 0; crEvery != 0 && at < n; at += crEvery) bytes[at] = '\r';
      SCOPED_TRACE(testing::PrintToString(bytes));
      FencedChars in(n);
      std::memcpy(in.data, bytes.data(), n);
      FencedChars out(2 * n + 16);
      const std::size_t written = CopyWithLineFeeds({in.data, n}, out.data);
      EXPECT_EQ(std::string(out.data, written), WithLineFeeds(bytes));
      EXPECT_EQ(HoldsCrLf({in.data, n}), false);
    }
  }
}

TEST(ReadRawCapture, ACaptureOfUnknownSizeGrowsTheTextWithoutLosingWhatCameBefore) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-raw-capture.fifo").string();
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string bytes;
  for (std::size_t n = 0; bytes.size() < 3 * kRawBlockSize; ++n) bytes += std::to_string(n) + "\r";
  std::thread writer([&] { std::ofstream(path, std::ios::binary) << bytes; });
  ReceivedText text;
  bool holdsCrLf = true;
  std::string error;
  EXPECT_TRUE(ReadRawCapture(path, text, holdsCrLf, error)) << error;
  writer.join();
  EXPECT_TRUE(text.View() == WithLineFeeds(bytes));
  EXPECT_FALSE(holdsCrLf);
  std::filesystem::remove(path);
}
#endif

TEST(ReadRawCapture, ATooLargeCaptureIsRefusedAndAMissingOneNamed) {
  const auto path = (std::filesystem::temp_directory_path() / "seamlog-raw-limit.raw").string();
  { std::ofstream(path, std::ios::binary) << std::string(70000, '\r'); }
  ReceivedText text;
  bool holdsCrLf = false;
  std::string error;
  EXPECT_TRUE(ReadRawCapture(path, text, holdsCrLf, error, 70000)) << error;
  EXPECT_EQ(text.View(), WithLineFeeds(std::string(70000, '\r')));
  EXPECT_FALSE(ReadRawCapture(path, text, holdsCrLf, error, 69999));
  EXPECT_NE(error.find("larger than 69999 bytes"), std::string::npos) << error;
  EXPECT_EQ(text.View().size(), 140000u);  // the text read before is kept
  EXPECT_FALSE(ReadRawCapture("no-such-capture.raw", text, holdsCrLf, error));
  EXPECT_NE(error.find("no-such-capture.raw"), std::string::npos) << error;
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

TEST(IsWindowsDeviceName, TheReservedNamesAreDevicesInAnyFolderAndWithAnyExtension) {
  struct Case {
    const char* path;
    bool device;
  };
  const Case cases[] = {
      {"NUL", true},
      {"nul", true},
      {"AUX", true},
      {"con.csv", true},
      {"C:\\Data\\PRN.txt", true},
      {"D:/x/com1", true},
      {"LPT9", true},
      {"NUL:", true},
      {"CONOUT$", true},
      {"\\\\.\\COM12", true},
      {"NUL .csv", true},
      {"COM0", false},
      {"COM10", false},
      {"nully.csv", false},
      {"C:\\NUL\\table.csv", false},
      {"console.csv", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsWindowsDeviceName(c.path), c.device) << c.path;
}

TEST(LineEnds, ACaptureWithOneKindOfLineEndAloneIsBroughtToCrLf) {
  struct Case {
    std::string text;
    LineEnds ends;
    std::string crlf;
  };
  const Case cases[] = {
      {"a\r\nb\r\n", LineEnds::CrLf, "a\r\nb\r\n"},
      {"a\nb\n\n", LineEnds::LfOnly, "a\r\nb\r\n\r\n"},
      {"a\rb\r", LineEnds::CrOnly, "a\r\nb\r\n"},
      {"a\n\rb", LineEnds::CrLf, "a\n\rb"},  // mixed: taken as it is
      {"no line end", LineEnds::None, "no line end"},
      {"\n\nab\nc", LineEnds::LfOnly, "\r\n\r\nab\r\nc"},
      {"\rab\r\rc", LineEnds::CrOnly, "\r\nab\r\n\r\nc"},
      {"0123456789abcdefghij\rklmnopqrs\r01234567\r", LineEnds::CrOnly,
       "0123456789abcdefghij\r\nklmnopqrs\r\n01234567\r\n"},
      {"0123456789abcdefghij\nklmnopqrs\n\n0123456789abcdefg", LineEnds::LfOnly,
       "0123456789abcdefghij\r\nklmnopqrs\r\n\r\n0123456789abcdefg"},
      // Sixteen at a time from the back: line ends first, last and twice
      // among sixteen, and sixteen with none.
      {"\r123456789abcde\r0123456789abcdef0123456789abcde\r", LineEnds::CrOnly,
       "\r\n123456789abcde\r\n0123456789abcdef0123456789abcde\r\n"},
      {"x\n12345\n789abcdef0123456789abcdef", LineEnds::LfOnly,
       "x\r\n12345\r\n789abcdef0123456789abcdef"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DetectLineEnds(c.text), c.ends);
    EXPECT_EQ(WithCrLf(c.text, c.ends), c.crlf);
    std::string inPlace = c.text;
    MakeCrLfInPlace(inPlace, c.ends);
    EXPECT_EQ(inPlace, c.crlf);
  }
}

TEST(StrayLineEnds, ALoneCrOrLfInACrLfTextIsFoundWithItsOffsetAndLine) {
  struct Case {
    std::string text;
    std::size_t count;
    char first;
    std::size_t offset;
    std::size_t line;
  };
  const Case cases[] = {
      {"a\r\nb\r\n", 0, 0, 0, 0},
      {"a\r\nb\r", 0, 0, 0, 0},  // cut off before its last LF
      {"a\r\nb\nc\r\n", 1, '\n', 4, 2},
      {"\na\r\n", 1, '\n', 0, 1},
      {"a\r\nb\r\nc\rd\r\ne\nf\r\n", 2, '\r', 7, 3},
      {"a\r\r\n", 1, '\r', 1, 1},
      {"a\n\r", 1, '\n', 1, 1},
      // Longer texts are counted eight characters at a time: pairs and
      // strays across and inside those steps, and bytes that differ from a
      // CR or LF only in their top bit.
      {"1234567\r\n89abcdef\r\n", 0, 0, 0, 0},
      {"1234567\rx9abcdef\r\n", 1, '\r', 7, 1},
      {"1234567\r\r\nabcdef\r\n", 1, '\r', 7, 1},
      {"12345678\n\r\nbcdef\r\n", 1, '\n', 8, 1},
      {"abcdefg\r\nhijklm\r", 0, 0, 0, 0},
      {"abc\x8D\x8A"
       "def\r\n12345\r\n",
       0, 0, 0, 0},
      {"abc\r\ndef\r\n12\n345678\r\n", 1, '\n', 12, 3},
      // Sixteen at a time: a pair and a stray across those steps, and more
      // strays than the byte counters of 255 steps hold (256 in each).
      {"0123456789abcde\r\n123456789abcdef\r\n", 0, 0, 0, 0},
      {"0123456789abcde\rx123456789abcdef\r\n", 1, '\r', 15, 1},
      {"0123456789abcdef\n123456789abcde\r\n", 1, '\n', 16, 1},
      {"x" + std::string(4096, '\n') + "x", 4096, '\n', 1, 1},
      {std::string(4500, '\r') + "\r\n", 4500, '\r', 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const StrayLineEnds stray = FindStrayLineEnds(c.text);
    EXPECT_EQ(stray.count, c.count);
    if (c.count == 0) continue;
    EXPECT_EQ(stray.first, c.first);
    EXPECT_EQ(stray.firstOffset, c.offset);
    EXPECT_EQ(stray.firstLine, c.line);
  }
}

TEST(StrayLineEnds, ACrLfPairIsWhatARawByteStreamNeverHolds) {
  EXPECT_TRUE(HoldsCrLf("a\r\n"));
  EXPECT_FALSE(HoldsCrLf("a\rb\r"));
  EXPECT_FALSE(HoldsCrLf("a\n\rb"));
  // A pair at every place around the eight-character steps, and none.
  for (std::size_t at = 0; at < 20; ++at) {
    std::string text(20, '\r');
    EXPECT_FALSE(HoldsCrLf(text));
    text.insert(at + 1, 1, '\n');
    EXPECT_TRUE(HoldsCrLf(text)) << at;
  }
}

}  // namespace
}  // namespace seamlog::tools
