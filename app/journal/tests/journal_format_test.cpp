#include "seamlog/journal/journal_format.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

namespace seamlog::journal {
namespace {

std::string Journal(std::initializer_list<std::string_view> frames) {
  std::string bytes(kJournalMagic);
  for (const auto frame : frames) AppendFrames(bytes, frame);
  return bytes;
}

const std::string kTwoFrames = Journal({"Splice\r\n", std::string("A\0\xFF\r\n", 5)});
const std::string kBothTexts = "Splice\r\n" + std::string("A\0\xFF\r\n", 5);
const std::size_t kFirstFrameEnd = kJournalMagic.size() + kFrameHeaderSize + 8;

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

TEST_P(ParsingAJournal, KeepsEveryWholeFrameBeforeTheFirstBadOne) {
  const ParsedJournal parsed = ParseJournal(GetParam().file);
  EXPECT_EQ(parsed.condition, GetParam().condition);
  EXPECT_EQ(parsed.text, GetParam().text);
  EXPECT_EQ(parsed.trustedBytes, GetParam().trustedBytes);
}

std::string WithByteFlipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ParsingAJournal,
    ::testing::Values(
        ParseCase{"no bytes at all", "", JournalCondition::Empty, "", 0},
        ParseCase{"a first line cut off while being created", std::string(kJournalMagic.substr(0, 9)),
                  JournalCondition::Empty, "", 0},
        ParseCase{"only the first line", std::string(kJournalMagic), JournalCondition::Whole, "",
                  kJournalMagic.size()},
        ParseCase{"two whole frames, NUL and high bytes kept", kTwoFrames, JournalCondition::Whole, kBothTexts,
                  kTwoFrames.size()},
        ParseCase{"a last frame cut in its header", kTwoFrames.substr(0, kFirstFrameEnd + 5),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a last frame cut in its data", kTwoFrames.substr(0, kTwoFrames.size() - 1),
                  JournalCondition::Torn, "Splice\r\n", kFirstFrameEnd},
        ParseCase{"a zero-filled tail left by a power cut", kTwoFrames + std::string(4096, '\0'),
                  JournalCondition::Torn, kBothTexts, kTwoFrames.size()},
        ParseCase{"a data byte changed in the first frame", WithByteFlipped(kTwoFrames, kFirstFrameEnd - 2),
                  JournalCondition::Torn, "", kJournalMagic.size()},
        ParseCase{"a length beyond the largest frame",
                  std::string(kJournalMagic) + std::string("\xFF\xFF\xFF\x7F", 4) + std::string(4, '\0'),
                  JournalCondition::Torn, "", kJournalMagic.size()},
        ParseCase{"another first line", "Seamlog capture journal 2\r\n" + kTwoFrames.substr(kJournalMagic.size()),
                  JournalCondition::Garbage, "", 0},
        ParseCase{"plain report text", "-------------------------------\r\nSplice Data\r\n",
                  JournalCondition::Garbage, "", 0}),
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
  EXPECT_EQ(parsed.trustedBytes, kJournalMagic.size() + 3 * kFrameHeaderSize + text.size());
}

TEST(JournalFrames, TheChecksumIsTheCrc32OfZipAndPng) {
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
}

}  // namespace
}  // namespace seamlog::journal
