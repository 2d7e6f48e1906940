#include "link/received_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace seamlog::link {
namespace {

std::string Converted(const std::vector<std::string>& chunks) {
  std::string text;
  for (const auto& chunk : chunks)
    AppendReceivedBytes(text, reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
  return text;
}

struct LineEndCase {
  const char* what;
  std::vector<std::string> chunks;
  std::string expected;
};

class LineEnds : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(LineEnds, EveryCrGetsAnLfWhereverItFalls) {
  EXPECT_EQ(Converted(GetParam().chunks), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, LineEnds,
    ::testing::Values(
        LineEndCase{"a CR inside a chunk", {"AB\rCD"}, "AB\r\nCD"},
        LineEndCase{"a chunk ending in CR", {"AB\r", "CD"}, "AB\r\nCD"},
        LineEndCase{"a chunk starting with CR", {"AB", "\rCD"}, "AB\r\nCD"},
        LineEndCase{"CR LF from the splicer", {"x\r\ny"}, "x\r\n\ny"},
        LineEndCase{"CR and LF split across chunks", {"x\r", "\ny"}, "x\r\n\ny"},
        LineEndCase{"a lone LF stays alone", {"a\nb"}, "a\nb"},
        LineEndCase{"several CRs in a row", {"\r\r\r"}, "\r\n\r\n\r\n"},
        LineEndCase{"one byte", {"Z"}, "Z"},
        LineEndCase{"an empty chunk", {""}, ""},
        LineEndCase{"a line continued over chunks", {"Spl", "ice ", "12\r"}, "Splice 12\r\n"}));

TEST(ReceivedBytes, NulAndHighBytesAreKeptByteForByte) {
  const std::uint8_t bytes[] = {'A', 0x00, 0xB0, 0xFF, '\r', 0x00};
  std::string text = "old";
  EXPECT_EQ(AppendReceivedBytes(text, bytes, sizeof bytes), 7u);
  EXPECT_EQ(text, std::string("oldA\0\xB0\xFF\r\n\0", 10));
}

std::string Filler(std::size_t n) { return std::string(n, 'x'); }

TEST(LiveView, AShortTextIsShownWhole) {
  EXPECT_EQ(LiveViewStart(""), 0u);
  EXPECT_EQ(LiveViewStart("a\r\nb"), 0u);
  EXPECT_EQ(LiveViewStart(Filler(kLiveViewLength)), 0u);
}

TEST(LiveView, ALongTextIsCutAtTheFirstLineBreakOfItsLastTwentyThousand) {
  // 20001 characters; the last 20000 hold their first CR LF at their 51st.
  std::string text = Filler(1 + 50) + "\r\n" + Filler(kLiveViewLength - 52);
  ASSERT_EQ(text.size(), kLiveViewLength + 1);
  EXPECT_EQ(LiveViewStart(text), 1u + 50u + 2u);
  EXPECT_EQ(text[LiveViewStart(text) - 1], '\n');
}

TEST(LiveView, WithoutALineBreakTheViewIsTheWholeTail) {
  const std::string text = Filler(kLiveViewLength + 500);
  EXPECT_EQ(LiveViewStart(text), 500u);
}

TEST(LiveView, APairStraddlingTheCutDoesNotCount) {
  // The CR lies just before the last 20000 characters, its LF is their first.
  std::string text = Filler(9) + "\r\n" + Filler(100) + "\r\n" + Filler(kLiveViewLength - 103);
  ASSERT_EQ(text.size(), kLiveViewLength + 10);
  EXPECT_EQ(LiveViewStart(text), 9u + 2u + 100u + 2u);
}

TEST(LiveView, TheViewNeverExceedsTwentyThousandCharacters) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "Splice " + std::to_string(i) + "\r\n";
  const std::size_t start = LiveViewStart(text);
  EXPECT_LE(text.size() - start, kLiveViewLength);
  EXPECT_EQ(text.substr(start - 2, 2), "\r\n");
}

}  // namespace
}  // namespace seamlog::link
