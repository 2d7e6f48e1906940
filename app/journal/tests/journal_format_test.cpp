#include "seamlog/journal/journal_format.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace seamlog::journal {
namespace {

constexpr std::uint32_t kGeneration = 0x2A000001;

std::string Journal(std::initializer_list<std::string_view> frames, std::uint32_t generation = kGeneration) {
  std::string bytes = JournalStart(generation);
  FramePosition next{generation, 0};
  for (const auto frame : frames) AppendFrames(bytes, frame, next);
  return bytes;
}

std::string JournalV1(std::initializer_list<std::string_view> frames) {
  std::string bytes(kJournalLineV1);
  for (const auto frame : frames) AppendFramesV1(bytes, frame);
  return bytes;
}

// Frames as a journal of generation would hold them from sequence on.
std::string Frames(std::string_view text, std::uint32_t generation, std::uint32_t sequence) {
  std::string bytes;
  FramePosition next{generation, sequence};
  AppendFrames(bytes, text, next);
  return bytes;
}

const std::string kSecondText("A\0\xFF\r\n", 5);
const std::string kTwoFrames = Journal({"Splice\r\n", kSecondText});
const std::string kBothTexts = "Splice\r\n" + kSecondText;
const std::size_t kFirstFrameEnd = kJournalStartSize + kFrameHeaderSize + 8;
const std::string kTwoFramesV1 = JournalV1({"Splice\r\n", kSecondText});
const std::size_t kFirstFrameEndV1 = kJournalLineV1.size() + kFrameHeaderSizeV1 + 8;

struct ParseCase {
  const char* what;
  std::string file;
  JournalCondition condition;
  std::string text;
  std::size_t trustedBytes;
};

// Test names and failure reports show the case by its name, not its bytes.
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.what; }

class ParsingAJournal : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParsingAJournal, KeepsEveryWholeFrameOfItsGenerationBeforeTheFirstBadOne) {
  const ParsedJournal parsed = ParseJournal(GetParam().file);
  EXPECT_EQ(parsed.condition, GetParam().condition);
  EXPECT_EQ(parsed.text, GetParam().text);
  EXPECT_EQ(parsed.trustedBytes, GetParam().trustedBytes);
}

TEST_P(ParsingAJournal, GivesTheSameResultWhenTheFileComesInSmallBlocks) {
  for (const std::size_t block : {1, 7, 4096}) {
    JournalReader reader;
    const std::string& file = GetParam().file;
    for (std::size_t at = 0; at < file.size() && reader.Read(std::string_view(file).substr(at, block));
         at += block) {
    }
    const ParsedJournal parsed = reader.Finish();
    EXPECT_EQ(parsed.condition, GetParam().condition) << "blocks of " << block;
    EXPECT_EQ(parsed.text, GetParam().text) << "blocks of " << block;
    EXPECT_EQ(parsed.trustedBytes, GetParam().trustedBytes) << "blocks of " << block;
  }
}

std::string WithByteFlipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ParsingAJournal,
    ::testing::Values(
        ParseCase{"no bytes at all", "", JournalCondition::Empty, "", 0},
        ParseCase{"a first line cut off while being created", std::string(kJournalLine.substr(0, 9)),
                  JournalCondition::Empty, "", 0},
        ParseCase{"only the first line", std::string(kJournalLine), JournalCondition::Empty, "", 0},
        ParseCase{"a start record cut off", JournalStart(kGeneration).substr(0, kJournalStartSize - 1),
                  JournalCondition::Empty, "", 0},
        ParseCase{"a start record that never reached the disk",
                  std::string(kJournalLine) + std::string(8, '\0'), JournalCondition::Empty, "", 0},
        ParseCase{"a start and no frames", JournalStart(kGeneration), JournalCondition::Whole, "",
                  kJournalStartSize},
        ParseCase{"two whole frames, NUL and high bytes kept", kTwoFrames, JournalCondition::Whole,
                  kBothTexts, kTwoFrames.size()},
        ParseCase{"one stray byte after the last frame", kTwoFrames + "\r", JournalCondition::Torn,
                  kBothTexts, kTwoFrames.size()},
        ParseCase{"a last frame cut in its header", kTwoFrames.substr(0, kFirstFrameEnd + 5),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a last frame cut in its data", kTwoFrames.substr(0, kTwoFrames.size() - 1),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a zero-filled tail left by a power cut", kTwoFrames + std::string(4096, '\0'),
                  JournalCondition::Torn, kBothTexts, kTwoFrames.size()},
        ParseCase{"a data byte changed in the first frame", WithByteFlipped(kTwoFrames, kFirstFrameEnd - 2),
                  JournalCondition::Torn, "", kJournalStartSize},
        ParseCase{"a sequence byte changed in the second frame",
                  WithByteFlipped(kTwoFrames, kFirstFrameEnd + 8), JournalCondition::Torn, "Splice\r\n",
                  kFirstFrameEnd},
        ParseCase{"a length beyond the largest frame",
                  JournalStart(kGeneration) + std::string("\xFF\xFF\xFF\x7F", 4) + std::string(12, '\0'),
                  JournalCondition::Torn, "", kJournalStartSize},
        ParseCase{"frames of the generation before, left behind by a cut-back",
                  JournalStart(kGeneration) + Frames(kBothTexts, kGeneration - 1, 0), JournalCondition::Torn,
                  "", kJournalStartSize},
        ParseCase{"a frame of the generation before after frames of this one",
                  Journal({"Splice\r\n"}) + Frames(kSecondText, kGeneration - 1, 1), JournalCondition::Torn,
                  "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a frame repeated", Journal({"Splice\r\n"}) + Frames("Splice\r\n", kGeneration, 0),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a frame missing", Journal({"Splice\r\n"}) + Frames(kSecondText, kGeneration, 2),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a damaged start record before frames",
                  WithByteFlipped(kTwoFrames, kJournalLine.size() + 1), JournalCondition::Garbage, "", 0},
        ParseCase{"another first line",
                  "Seamlog capture journal 3\r\n" + kTwoFrames.substr(kJournalLine.size()),
                  JournalCondition::Garbage, "", 0},
        ParseCase{"plain report text", "-------------------------------\r\nSplice Data\r\n",
                  JournalCondition::Garbage, "", 0},
        ParseCase{"version 1: only the first line", std::string(kJournalLineV1), JournalCondition::Whole, "",
                  kJournalLineV1.size()},
        ParseCase{"version 1: two whole frames", kTwoFramesV1, JournalCondition::Whole, kBothTexts,
                  kTwoFramesV1.size()},
        ParseCase{"version 1: one stray byte after the last frame", kTwoFramesV1 + "\r",
                  JournalCondition::Torn, kBothTexts, kTwoFramesV1.size()},
        ParseCase{"version 1: a last frame cut in its data", kTwoFramesV1.substr(0, kTwoFramesV1.size() - 1),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEndV1},
        ParseCase{"version 1: a data byte changed", WithByteFlipped(kTwoFramesV1, kFirstFrameEndV1 - 2),
                  JournalCondition::Torn, "", kJournalLineV1.size()}),
    [](const auto& info) {
      std::string name;
      bool upper = true;
      for (const char* c = info.param.what; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)) == 0) {
          upper = true;
          continue;
        }
        name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
        upper = false;
      }
      return name;
    });

TEST(JournalFrames, TextLongerThanOneFrameComesBackWholeFromSeveral) {
  std::string text;
  for (std::size_t i = 0; text.size() < 2 * kMaxFrameData + 1234; ++i) text += static_cast<char>(i * 7);
  const ParsedJournal parsed = ParseJournal(Journal({text}));
  EXPECT_EQ(parsed.condition, JournalCondition::Whole);
  EXPECT_EQ(parsed.text, text);
  EXPECT_EQ(parsed.trustedBytes, kJournalStartSize + 3 * kFrameHeaderSize + text.size());
  EXPECT_EQ(parsed.next.generation, kGeneration);
  EXPECT_EQ(parsed.next.sequence, 3u) << "an append goes on after the three frames";
}

TEST(JournalFrames, AJournalGoesOnWhereReadingItBackEnded) {
  std::string file = Journal({"one", "two"});
  FramePosition next = ParseJournal(file).next;
  AppendFrames(file, "three", next);
  EXPECT_EQ(ParseJournal(file).condition, JournalCondition::Whole);
  EXPECT_EQ(ParseJournal(file).text, "onetwothree");
}

struct LimitCase {
  const char* what;
  std::size_t maxText;
  JournalCondition condition;
  std::string text;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.what; }

class ReadingUpToTheLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ReadingUpToTheLimit, StopsBeforeTheFirstFrameThatWouldPassIt) {
  for (const std::string& file : {Journal({"1234", "5678", "9"}), JournalV1({"1234", "5678", "9"})}) {
    const ParsedJournal parsed = ParseJournal(file, GetParam().maxText);
    EXPECT_EQ(parsed.condition, GetParam().condition) << "version " << parsed.version;
    EXPECT_EQ(parsed.text, GetParam().text) << "version " << parsed.version;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ReadingUpToTheLimit,
    ::testing::Values(LimitCase{"ExactlyTheText", 9, JournalCondition::Whole, "123456789"},
                      LimitCase{"OneCharacterShort", 8, JournalCondition::TooLarge, "12345678"},
                      LimitCase{"WithinAFrame", 6, JournalCondition::TooLarge, "1234"},
                      LimitCase{"WithinTheFirstFrame", 3, JournalCondition::TooLarge, ""}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(JournalFrames, TheChecksumIsTheCrc32OfZipAndPng) {
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  // Every byte value once: each entry of the table takes part.
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  EXPECT_EQ(Crc32(everyByte), 0x29058C73u);
}

TEST(JournalFrames, TheStartAndTheFramesAreLaidOutAsDocumented) {
  const std::string file = Journal({"ab"}, 0x04030201);
  std::string line(kJournalLine);
  const std::string generation("\x01\x02\x03\x04", 4);
  std::string frame = std::string("\x02\0\0\0", 4) + generation + std::string(4, '\0');
  ASSERT_EQ(file.size(), kJournalStartSize + kFrameHeaderSize + 2);
  EXPECT_EQ(file.substr(0, kJournalLine.size() + 4), line + generation);
  const auto crcAt = [&](std::size_t at) {
    return std::uint32_t(static_cast<unsigned char>(file[at])) |
           std::uint32_t(static_cast<unsigned char>(file[at + 1])) << 8 |
           std::uint32_t(static_cast<unsigned char>(file[at + 2])) << 16 |
           std::uint32_t(static_cast<unsigned char>(file[at + 3])) << 24;
  };
  EXPECT_EQ(crcAt(kJournalLine.size() + 4), Crc32(line + generation));
  EXPECT_EQ(file.substr(kJournalStartSize, 12), frame);
  EXPECT_EQ(crcAt(kJournalStartSize + 12), Crc32(frame + "ab"));
  EXPECT_EQ(file.substr(kJournalStartSize + 16), "ab");
}

}  // namespace
}  // namespace seamlog::journal
