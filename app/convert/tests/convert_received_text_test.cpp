#include "seamlog/convert/convert_received_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seamlog/convert/memory_row_writer.h"
#include "seamlog/reportgen/report_generator.h"
#include "test_support.h"

namespace seamlog::convert {
namespace {

TEST(ConvertReceivedText, TheRecognisedModelsConverterRunsAndCountsWithItsRecordLength) {
  struct Case { Model model; int records; };
  for (const Case c : {Case{Model::A, 7}, Case{Model::B, 9}, Case{Model::C, 5}}) {
    SCOPED_TRACE(ModelRowOf(c.model).name);
    const std::string text = reportgen::GenerateReport({c.model, c.records, 3, 0});
    MemoryRowWriter out;
    testing::RecordingProgress progress;
    const ConvertResult result = ConvertReceivedText(text, out, progress);
    EXPECT_EQ(result.model, c.model);
    EXPECT_EQ(result.outcome, ConvertOutcome::Completed);
    EXPECT_EQ(result.recordCount, c.records);
    EXPECT_TRUE(result.reason.empty());
    EXPECT_EQ(progress.values.back(), c.records);
    EXPECT_EQ(out.closeCalls(), 1);
  }
}

TEST(ConvertReceivedText, AnUnrecognisableTextIsMODELAWithAnEstimatedCount) {
  MemoryRowWriter out;
  NoProgress progress;
  const ConvertResult result = ConvertReceivedText(std::string(927, 'z'), out, progress);
  EXPECT_EQ(result.model, Model::A);
  EXPECT_EQ(result.recordCount, 2);  // 1.5 rounds to the even 2
  EXPECT_EQ(result.outcome, ConvertOutcome::Completed);
}

TEST(ConvertReceivedText, AStoppedMODELCRunNamesTheRecord) {
  std::string text = reportgen::GenerateReport({Model::C, 4, 8, 2});
  const std::size_t third = text.find("Splice No.    3");
  text.replace(text.find("Irregular\r\n", third), 9, "Irregulor");
  MemoryRowWriter out;
  NoProgress progress;
  const ConvertResult result = ConvertReceivedText(text, out, progress);
  EXPECT_EQ(result.model, Model::C);
  EXPECT_EQ(result.outcome, ConvertOutcome::Stopped);
  EXPECT_EQ(result.stoppedAtRecord, 3);
  EXPECT_EQ(out.rows().size(), 4u + 2u * 13u);
}

TEST(ConvertReceivedText, AFailingCloseTurnsACompletedRunIntoAFailure) {
  struct FailingClose final : RowWriter {
    bool WriteRow(std::string_view) override { return true; }
    bool Close() override { return false; }
    bool Discard() override { return true; }
    std::string LastError() const override { return "the network share went away"; }
  } out;
  NoProgress progress;
  const ConvertResult result = ConvertReceivedText("short", out, progress);
  EXPECT_EQ(result.outcome, ConvertOutcome::Failed);
  EXPECT_NE(result.reason.find("network share"), std::string::npos);
}

// The table in memory refuses rows once closed, as a file would.
TEST(MemoryRowWriter, ARowAfterCloseIsRefusedWithAReason) {
  MemoryRowWriter out;
  ASSERT_TRUE(out.WriteRow("first"));
  ASSERT_TRUE(out.Close());
  EXPECT_FALSE(out.WriteRow("late"));
  EXPECT_EQ(out.LastError(), "the table is already closed");
  EXPECT_EQ(out.rows(), std::vector<std::string>{"first"});
}

TEST(ConvertReceivedText, ACompletedSaveConsumesItsRecordsAndLeavesARecordStillArriving) {
  const std::string separator = "-------------------------------\r\n";
  struct Case { const char* what; std::string tail; std::size_t kept; };
  const Case cases[] = {
      {"nothing after the records", "", 0},
      {"the first hyphens of a record", "-----", 5},
      {"a separator line and a little more", separator + "  SPLICE", separator.size() + 8},
      {"stray line ends before a record start", "\r\n\r\n" + separator, separator.size()},
      {"stray line ends alone", "\r\n\r\n", 0},
      {"hyphens that do not begin a separator", "--x\r\n", 0},
  };
  for (const Model model : {Model::A, Model::B, Model::C}) {
    const std::string report = reportgen::GenerateReport({model, 3, 3, 0});
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(ModelRowOf(model).name) + ": " + c.what);
      const std::string text = report + c.tail;
      MemoryRowWriter out;
      NoProgress progress;
      const ConvertResult result = ConvertReceivedText(text, out, progress);
      ASSERT_EQ(result.outcome, ConvertOutcome::Completed) << result.reason;
      EXPECT_EQ(result.consumedLength, text.size() - c.kept);
    }
    // Half a record: the records before it are saved, it waits for the rest.
    const std::string half = report + report.substr(0, ModelRowOf(model).recordTextLength / 2);
    MemoryRowWriter out;
    NoProgress progress;
    EXPECT_EQ(ConvertReceivedText(half, out, progress).consumedLength, report.size());
  }
}

TEST(ConvertReceivedText, AFailedRunDiscardsItsTableAndAStoppedOneKeepsTheRecordsBeforeTheStop) {
  MemoryRowWriter failing(5);
  NoProgress progress;
  const ConvertResult failed =
      ConvertReceivedText(reportgen::GenerateReport({Model::A, 3, 3, 0}), failing, progress);
  EXPECT_EQ(failed.outcome, ConvertOutcome::Failed);
  EXPECT_TRUE(failing.Discarded());
  EXPECT_EQ(failed.consumedLength, 0u);

  std::string text = reportgen::GenerateReport({Model::C, 3, 8, 2});
  text.replace(text.find("Irregular\r\n", text.find("Splice No.    2")), 9, "Irregulor");
  MemoryRowWriter out;
  const ConvertResult stopped = ConvertReceivedText(text, out, progress);
  EXPECT_EQ(stopped.outcome, ConvertOutcome::Stopped);
  EXPECT_FALSE(out.Discarded());
  // The first record is in the table; the text from the second on is not.
  EXPECT_EQ(stopped.consumedLength, text.find("-------------------------------\r\n", 1));
}

// The splicer went away in the middle of a record and sent its report anew:
// the record cut short is converted as far as it goes (MODEL-A, MODEL-B) or
// left out (MODEL-C, without its heading lines), and every record after it
// is converted whole.
TEST(ConvertReceivedText, ARecordCutShortNeverTakesTheStartOfTheRecordAfterIt) {
  struct Case {
    Model model;
    std::size_t cutAt;  // characters of the first record that arrived
    std::size_t rowsPerRecord;
  };
  const Case cases[] = {{Model::A, 600, 1}, {Model::A, 100, 1}, {Model::B, 350, 5},
                        {Model::B, 40, 5},  {Model::C, 620, 13}, {Model::C, 90, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(ModelRowOf(c.model).name) + " cut at " + std::to_string(c.cutAt));
    const std::string report = reportgen::GenerateReport({c.model, 3, 21, 1});
    const std::string text = report.substr(0, c.cutAt) + report;
    MemoryRowWriter whole;
    MemoryRowWriter out;
    NoProgress progress;
    ASSERT_EQ(ConvertReceivedText(report, whole, progress).outcome, ConvertOutcome::Completed);
    const ConvertResult result = ConvertReceivedText(text, out, progress);
    ASSERT_EQ(result.outcome, ConvertOutcome::Completed) << result.reason;
    EXPECT_EQ(result.consumedLength, text.size());
    // The whole report's rows end the table, unshifted.
    ASSERT_GE(out.rows().size(), whole.rows().size());
    const std::vector<std::string> tail(out.rows().end() - (whole.rows().size() - 4), out.rows().end());
    EXPECT_EQ(tail, std::vector<std::string>(whole.rows().begin() + 4, whole.rows().end()));
    const std::size_t extra = out.rows().size() - whole.rows().size();
    if (c.model == Model::C) {
      EXPECT_EQ(extra, 0u);
      EXPECT_EQ(result.skippedRecords, std::vector<int>{1});
    } else {
      EXPECT_EQ(extra, c.cutAt > 66 ? c.rowsPerRecord : 0u);
    }
  }
}

}  // namespace
}  // namespace seamlog::convert
