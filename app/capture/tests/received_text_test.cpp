#include "seamlog/capture/received_text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <vector>

#include "seamlog/capture/capture.h"

namespace seamlog::capture {
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
        LineEndCase{"a line continued over chunks", {"Spl", "ice ", "12\r"}, "Splice 12\r\n"}),
    [](const auto& info) {
      // "a chunk ending in CR" -> "AChunkEndingInCR"
      std::string name;
      bool capital = true;
      for (const char c : std::string(info.param.what)) {
        if (c == ' ') {
          capital = true;
          continue;
        }
        name += capital ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        capital = false;
      }
      return name;
    });

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
  // Exactly as long as the view, line breaks and all: nothing is cut.
  EXPECT_EQ(LiveViewStart(Filler(50) + "\r\n" + Filler(kLiveViewLength - 52)), 0u);
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

// Records what a view of the capture hears.
class Recorder final : public CaptureObserver {
 public:
  void TextAppended(std::string_view text) override { events.push_back("+" + std::string(text)); }
  void TextDiscarded(std::size_t length) override { events.push_back("-" + std::to_string(length)); }
  void TextSaved(std::size_t length) override { events.push_back("saved " + std::to_string(length)); }
  std::vector<std::string> events;
};

TEST(Capture, BytesAreAppendedAsReceivedTextAndObserversSeeWhatWasAdded) {
  Capture capture(convert::Model::A);
  Recorder recorder;
  capture.AddObserver(recorder);
  const std::uint8_t bytes[] = {'A', 'B', '\r', 'C'};
  capture.AppendReceivedBytes(bytes, sizeof bytes);
  capture.AppendReceivedBytes(bytes, 0);
  capture.AppendText("D");
  EXPECT_EQ(capture.ReceivedText(), "AB\r\nCD");
  EXPECT_EQ(recorder.events, (std::vector<std::string>{"+AB\r\nC", "+D"}));
}

TEST(Capture, ASaveDiscardsOnlyWhatItConvertedAndKeepsTextThatArrivedMeanwhile) {
  Capture capture(convert::Model::A);
  Recorder recorder;
  capture.AddObserver(recorder);
  capture.AppendText("saved ");
  capture.MarkConverted(capture.ReceivedText().size());
  capture.AppendText("late");
  // A journal hears that the converted text is safe, never the late text.
  capture.ConvertedSaved();
  EXPECT_EQ(recorder.events.back(), "saved 6");
  capture.DiscardConverted();
  EXPECT_EQ(capture.ReceivedText(), "late");
  EXPECT_EQ(recorder.events.back(), "-6");
  // A second discard without a new save removes nothing.
  capture.DiscardConverted();
  EXPECT_EQ(capture.ReceivedText(), "late");
  capture.Clear();
  EXPECT_TRUE(capture.Empty());
  EXPECT_EQ(recorder.events.back(), "-4");
  // A removed observer hears nothing more.
  capture.RemoveObserver(recorder);
  capture.AppendText("x");
  EXPECT_EQ(recorder.events.back(), "-4");
}

TEST(Capture, SelectingAModelTakesItsRowAndTellsWhetherItChanged) {
  Capture capture(convert::Model::C);
  EXPECT_EQ(capture.ModelName(), "MODEL-C");
  EXPECT_EQ(capture.RecordTextLength(), 665);
  EXPECT_FALSE(capture.SelectModel(convert::Model::C));
  EXPECT_TRUE(capture.SelectModel(convert::Model::B));
  EXPECT_EQ(capture.ModelIndex(), convert::Model::B);
  EXPECT_EQ(capture.ModelName(), "MODEL-B");
  EXPECT_EQ(capture.RecordTextLength(), 378);
}

}  // namespace
}  // namespace seamlog::capture
