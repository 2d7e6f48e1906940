#include "text_search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame.h"

namespace seamlog::convert::detail {
namespace {

TEST(To16, TakesEverySixteenBitValueAndRefusesTheFirstBeyondItOnEitherSide) {
  EXPECT_EQ(To16(INT16_MIN, "a value"), INT16_MIN);
  EXPECT_EQ(To16(INT16_MAX, "a value"), INT16_MAX);
  EXPECT_THROW(To16(std::int64_t{INT16_MIN} - 1, "a value"), ConversionError);
  EXPECT_THROW(To16(std::int64_t{INT16_MAX} + 1, "a value"), ConversionError);
}

TEST(FindNoCase, FindsTheFirstMatchAtOrAfterThePositionIgnoringLetterCase) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t from;
    std::string keyword;
    std::size_t found;
  };
  const Case cases[] = {
      {"at the start", "Loss here", 1, "loss", 1},
      {"not before from", "Loss Loss", 2, "LOSS", 6},
      {"exactly at from", "xxLoss", 3, "Loss", 3},
      {"missing", "Los", 1, "Loss", 0},
      {"from past the end", "Loss", 5, "Loss", 0},
      {"cut off at the end", "xxLos", 1, "Loss", 0},
      {"only ASCII letters fold", "\xC4", 1, "\xE4", 0},
      {"only letters fold after the first character too", "a`b", 1, "a@b", 0},
      {"only letters fold in a line ending keyword", "a`\r\n", 1, "a@\r\n", 0},
      {"line ending keyword", "a Loss\r\nb", 1, "loss\r\n", 3},
      {"line ending keyword needs the CR LF", "Loss \r\nLoss\r", 1, "Loss\r\n", 0},
      {"line ending keyword after an earlier line end", "x\r\nLOSS\r\n", 1, "Loss\r\n", 4},
      {"line ending keyword not before from", "Loss\r\nLoss\r\n", 2, "Loss\r\n", 7},
      {"line ending keyword exactly at from", "Loss\r\nLoss\r\n", 7, "Loss\r\n", 7},
      {"line ending keyword after a lone CR", "Loss\rLoss\r\n", 1, "Loss\r\n", 6},
      {"heading line", "Fb  Irregular\r\n01", 1, "Irregular\r\n", 5},
      {"a character that is no letter matches only itself", "Fiber\rSleeve fIBER-sLEEVE", 1, "Fiber-Sleeve",
       14},
      {"a keyword's non-letter does not fold either", "@[", 1, "`{", 0},
      // Long texts are searched 16 places a step, then place by place.
      {"a match past the first 16 places", std::string(20, '#') + "dAtE", 1, "Date", 21},
      {"a false start in a step before the match", std::string(3, '#') + "Dat" + std::string(12, '#') + "date",
       1, "Date", 19},
      {"a match in the last whole step", std::string(15, '#') + "Date", 1, "Date", 16},
      {"a match after the last whole step", std::string(16, '#') + "Date", 1, "Date", 17},
      {"a long text from a later position", "Date" + std::string(30, '#') + "Date", 2, "Date", 35},
      {"a long text without the keyword", std::string(40, 'D'), 1, "Date", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FindNoCase(c.text, c.from, c.keyword), c.found);
  }
}

TEST(FindCrLf, FindsTheFirstPairAtOrAfterThePosition) {
  EXPECT_EQ(FindCrLf("ab\r\n", 1), 3u);
  EXPECT_EQ(FindCrLf("ab\r\n", 3), 3u);
  EXPECT_EQ(FindCrLf("ab\r\n", 4), 0u);
  EXPECT_EQ(FindCrLf("\r\r\n", 1), 2u);
  EXPECT_EQ(FindCrLf("\n\r", 1), 0u);
  EXPECT_EQ(FindCrLf("", 1), 0u);
}

TEST(RecordStartIn, FindsTheSeparatorLineOrTheBeginningOfOneAtTheEnd) {
  const std::string line = std::string(kSeparatorLine);
  struct Case {
    const char* what;
    std::string tail;
    std::size_t start;
  };
  const Case cases[] = {
      {"a whole line after text", "ab-c" + line, 4},
      {"a run one hyphen short, then a line", std::string(30, '-') + "\r\n" + line, 32},
      {"a run broken early, a line right after it", "--x" + line, 3},
      {"one hyphen more than a line begins one later", "-" + line + "x", 1},
      {"the beginning of a line at the end", "text\r\n---", 6},
      {"a line without its LF at the end", "x" + line.substr(0, 32), 1},
      {"a run without its CR LF is no line", std::string(31, '-') + "x", 32},
      {"no hyphen", "text", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(RecordStartIn(c.tail), c.start);
  }
}

TEST(Mid, FollowsTheSubstringRules) {
  EXPECT_EQ(Mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Mid("abcdef", 5, 4), "ef");
  EXPECT_EQ(Mid("abcdef", 7, 1), "");
  EXPECT_EQ(Mid("abcdef", 3, 0), "");
  EXPECT_EQ(Mid("abcdef", 0, 2), "");  // positions count from 1
  EXPECT_EQ(LeftTrimBlanks("  a b  "), "a b  ");
  EXPECT_EQ(LeftTrimBlanks("   "), "");
  EXPECT_EQ(LeftTrimBlanks("\ta"), "\ta");
}

// Every CR LF pair and the first whole separator line, one character at a time.
std::size_t ScanOneByOne(std::string_view text, std::size_t separatorFrom, std::size_t keepBelow,
                         std::vector<std::uint32_t>& crlfs) {
  for (std::size_t q = 0; q + 1 < text.size(); ++q) {
    if (text[q] != '\r' || text[q + 1] != '\n') continue;
    if (q < keepBelow) crlfs.push_back(static_cast<std::uint32_t>(q));
    if (q >= separatorFrom + kHyphenRun.size() &&
        text.substr(q - kHyphenRun.size(), kHyphenRun.size()) == kHyphenRun)
      return q - kHyphenRun.size();
  }
  return text.size();
}

TEST(ScanLineEnds, FindsEveryLineEndAndTheFirstSeparatorLineWhereverTheyFallInABlock) {
  std::vector<std::string> texts = {"",
                                    "\r",
                                    "\r\n",
                                    "\r\r\n\n\r",
                                    std::string(kSeparatorLine),
                                    "x" + std::string(kHyphenRun) + "\r",
                                    "-" + std::string(kSeparatorLine)};
  // A separator line, a line end and a CR cut off at every offset around
  // the 8- and 16-character steps, among other lines.
  for (std::size_t at = 0; at < 40; ++at) {
    const std::string lead = std::string(at, 'a') + "\r\nb\r\n";
    texts.push_back(lead + std::string(kSeparatorLine) + "c\r\n" + std::string(kSeparatorLine));
    texts.push_back(lead + std::string(kHyphenRun.substr(1)) + "\r\n" + std::string(at % 7, '-') + "\r");
    texts.push_back(std::string(at, '\r') + std::string(at % 5, '\n') + "\r\n");
  }
  for (const std::string& text : texts) {
    for (const std::size_t separatorFrom : {std::size_t{0}, std::size_t{1}, std::size_t{9}}) {
      for (const std::size_t keepBelow : {std::size_t{0}, std::size_t{10}, text.size()}) {
        std::vector<std::uint32_t> expected, wide, words;
        const std::size_t end = ScanOneByOne(text, separatorFrom, keepBelow, expected);
        EXPECT_EQ(ScanLineEnds(text, separatorFrom, keepBelow, wide), end) << text;
        EXPECT_EQ(wide, expected) << text;
        EXPECT_EQ(ScanLineEndsByWords(text, separatorFrom, keepBelow, words), end) << text;
        EXPECT_EQ(words, expected) << text;
      }
    }
  }
}

}  // namespace
}  // namespace seamlog::convert::detail
