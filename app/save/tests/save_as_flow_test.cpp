#include "seamlog/save/save_as_flow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <vector>

#include "seamlog/reportgen/report_generator.h"

namespace seamlog::save {
namespace {

using convert::ConvertOutcome;
using convert::Model;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A MODEL-A record as the splicer sends it: the separator block and a body
// of 552 characters with the record number at its 35th character.
std::string ModelARecord(int number) {
  std::string body(552, ' ');
  const std::string no = std::to_string(number);
  body.replace(34, no.size(), no);
  body.replace(68, 3, "0.4");
  body.replace(550, 2, "\r\n");
  return std::string(31, '-') + "\r\n" + std::string(31, ' ') + "\r\n" + body;
}

// MODEL-C text ("Irregular" without a "Loss" after it) whose first record
// has no heading line: the converter stops.
const std::string kModelCWithoutHeadings = "Irregular splice report " + std::string(700, 'z');

// Collects rows in memory and logs the first close. It can fail a write, or
// throw from one, to walk the failure paths.
class MemoryFile : public convert::RowWriter {
 public:
  explicit MemoryFile(std::vector<std::string>& log) : log_(log) {}
  ~MemoryFile() override { log_.push_back("destroyed"); }
  bool WriteRow(std::string_view row) override {
    if (throwOnWrite) throw std::runtime_error("out of memory");
    if (failWrites) return false;
    rows.emplace_back(row);
    return true;
  }
  bool Close() override {
    if (closeCalls++ == 0) log_.push_back("close " + std::to_string(rows.size()) + " rows");
    return closeSucceeds;
  }
  bool Discard() override {
    log_.push_back("discard");
    return true;
  }
  std::string LastError() const override { return "disk full"; }
  bool closeSucceeds = true;
  bool failWrites = false;
  bool throwOnWrite = false;
  std::vector<std::string> rows;
  int closeCalls = 0;

 private:
  std::vector<std::string>& log_;
};

// One recorder for the window, the remembered folder, the dialog, the
// message box and the files, so that a test can check the order in which
// the flow touches them.
class FakeDesktop : public SaveWindow,
                    public SaveLocation,
                    public SaveFileDialog,
                    public MessageDisplay,
                    public OutputFiles {
 public:
  // SaveWindow
  void EnableSaveButton(bool enabled) override { log.push_back(enabled ? "enable" : "disable"); }
  void StartProgress(std::int16_t steps) override { log.push_back("progress " + std::to_string(steps)); }
  void SetProgress(std::int16_t) override {}
  void ShowConvertResult(const convert::ConvertResult& result, bool modelSwitched) override {
    log.push_back("result " + std::to_string(result.recordCount) + (modelSwitched ? " switched" : " kept"));
  }
  void RestoreCurrentDirectory() override { log.push_back("cwd"); }

  // SaveLocation
  std::string CsvDir() const override { return csvDir; }
  void ClearFileNames() override { log.push_back("clear names"); }
  bool RememberChosenFile(std::string_view path) override {
    if (!pathSplits) return false;
    csvDir = std::string(path.substr(0, path.rfind('\\')));
    ++remembered;
    return true;
  }

  // SaveFileDialog
  std::optional<std::string> AskForFile(const SaveDialogRequest& request) override {
    lastRequest = request;
    log.push_back("dialog");
    if (dialogThrows) throw std::runtime_error("dialog failed");
    return chosenPath;
  }

  // MessageDisplay
  void ShowMessage(std::string_view text, MessageIcon icon) override {
    log.push_back(std::string(icon == MessageIcon::Information ? "info " : "warn ") + std::string(text));
    if (onMessage) onMessage();
  }

  // OutputFiles
  std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path, TableState&,
                                                    std::string& error) override {
    log.push_back("open " + path);
    if (!openSucceeds) {
      error = "sharing violation";
      return nullptr;
    }
    auto file = std::make_unique<MemoryFile>(log);
    file->closeSucceeds = closeSucceeds;
    file->failWrites = failWrites;
    file->throwOnWrite = throwOnWrite;
    return file;
  }

  std::string csvDir = "D:\\Old";
  bool pathSplits = true;
  int remembered = 0;
  std::optional<std::string> chosenPath = std::string("C:\\Data\\run1.CSV");
  bool dialogThrows = false;
  bool openSucceeds = true;
  bool closeSucceeds = true;
  bool failWrites = false;
  bool throwOnWrite = false;
  std::function<void()> onMessage;
  SaveDialogRequest lastRequest;
  std::vector<std::string> log;
};

class SaveAsFlowTest : public ::testing::Test {
 protected:
  SaveAsFlowTest() { capture.AppendText(ModelARecord(1) + ModelARecord(2)); }
  SaveReport Run() { return SaveAsFlow(capture, desk, desk, desk, desk, desk).Run(); }

  capture::Capture capture{Model::A};
  FakeDesktop desk;
};

TEST_F(SaveAsFlowTest, ACompletedSaveReportsThenEmptiesTheTextAndPutsTheWindowBack) {
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Saved);
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "open C:\\Data\\run1.CSV",
                                    "progress 2", "close 6 rows", "result 2 kept", "destroyed",
                                    "info Data save completed.", "enable", "progress 0"));
  EXPECT_THAT(capture.ReceivedText(), IsEmpty());
  ASSERT_TRUE(report.conversion.has_value());
  EXPECT_EQ(report.conversion->model, Model::A);
}

TEST_F(SaveAsFlowTest, ARecordStillArrivingWhenTheSaveBeganStaysForTheNextSave) {
  const std::string stillArriving = std::string(31, '-') + "\r\n" + std::string(31, ' ') + "\r\n   12";
  capture.AppendText(stillArriving);
  EXPECT_EQ(Run().outcome, SaveOutcome::Saved);
  EXPECT_EQ(capture.ReceivedText(), stillArriving);
}

TEST_F(SaveAsFlowTest, TheDialogAsksForACsvFileInTheRememberedDirectory) {
  Run();
  EXPECT_EQ(desk.lastRequest.title, "Write File");
  EXPECT_EQ(desk.lastRequest.filter, "SaveFile(*.csv)|*.csv");
  EXPECT_EQ(desk.lastRequest.defaultExtension, "csv");
  EXPECT_EQ(desk.lastRequest.initialDirectory, "D:\\Old");
}

struct DialogDirectoryCase {
  const char* name;
  const char* csvDir;
  const char* shown;
};

class DialogDirectoryTest : public ::testing::TestWithParam<DialogDirectoryCase> {};

TEST_P(DialogDirectoryTest, ABareDriveOpensAtItsRootAndAnyOtherFolderAsItIs) {
  EXPECT_EQ(DialogDirectory(GetParam().csvDir), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    CsvDirs, DialogDirectoryTest,
    ::testing::Values(DialogDirectoryCase{"ABareDrive", "C:", "C:\\"},
                      DialogDirectoryCase{"ABareDriveInSmallLetters", "e:", "e:\\"},
                      DialogDirectoryCase{"AFolder", "C:\\Data", "C:\\Data"},
                      DialogDirectoryCase{"NothingRemembered", "", ""},
                      DialogDirectoryCase{"ADigitIsNoDrive", "1:", "1:"},
                      DialogDirectoryCase{"ANetworkShare", "\\\\server\\share", "\\\\server\\share"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SaveAsFlowTest, AfterASaveIntoADriveRootTheNextDialogOpensAtThatRoot) {
  desk.chosenPath = "C:\\x.csv";
  Run();
  EXPECT_EQ(desk.CsvDir(), "C:");
  capture.AppendText(ModelARecord(3));
  Run();
  EXPECT_EQ(desk.lastRequest.initialDirectory, "C:\\");
}

TEST_F(SaveAsFlowTest, TheChosenDirectoryIsRememberedBeforeTheFileIsOpened) {
  desk.openSucceeds = false;
  SaveAsFlow flow(capture, desk, desk, desk, desk, desk);
  flow.Run();
  EXPECT_EQ(desk.CsvDir(), "C:\\Data");
  EXPECT_EQ(desk.remembered, 1);
  EXPECT_EQ(flow.ChosenFilePath(), "C:\\Data\\run1.CSV");
}

TEST_F(SaveAsFlowTest, NothingReceivedFailsAtOnceWithoutADialog) {
  capture.Clear();
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ElementsAre("disable", "warn Data save failed.", "enable", "progress 0"));
  EXPECT_EQ(desk.remembered, 0);
}

TEST_F(SaveAsFlowTest, ACancelledDialogEndsSilentlyAndKeepsEverything) {
  desk.chosenPath.reset();
  EXPECT_EQ(Run().outcome, SaveOutcome::Cancelled);
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "enable", "progress 0"));
  EXPECT_EQ(desk.CsvDir(), "D:\\Old");
  EXPECT_FALSE(capture.Empty());
}

TEST_F(SaveAsFlowTest, AFailingDialogCountsAsACancel) {
  desk.dialogThrows = true;
  EXPECT_EQ(Run().outcome, SaveOutcome::Cancelled);
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "enable", "progress 0"));
}

TEST_F(SaveAsFlowTest, APathTheLocationRefusesCountsAsACancel) {
  desk.pathSplits = false;
  SaveAsFlow flow(capture, desk, desk, desk, desk, desk);
  EXPECT_EQ(flow.Run().outcome, SaveOutcome::Cancelled);
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "enable", "progress 0"));
  EXPECT_EQ(flow.ChosenFilePath(), "");
}

TEST_F(SaveAsFlowTest, AFileThatCannotBeOpenedFailsAndKeepsTheText) {
  desk.openSucceeds = false;
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_THAT(report.reason, ::testing::HasSubstr("sharing violation"));
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "open C:\\Data\\run1.CSV",
                                    "warn Data save failed.", "enable", "progress 0"));
  EXPECT_FALSE(capture.Empty());
}

TEST_F(SaveAsFlowTest, TextOfAnotherModelSwitchesTheCaptureAndTellsTheWindow) {
  capture.Clear();
  capture.AppendText(kModelCWithoutHeadings);
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Stopped);
  EXPECT_EQ(capture.ModelIndex(), Model::C);
  EXPECT_THAT(desk.log, ::testing::Contains("result 1 switched"));
  // A second save of the same model keeps it.
  desk.log.clear();
  Run();
  EXPECT_THAT(desk.log, ::testing::Contains("result 1 kept"));
}

// A MODEL-C record without its heading lines stops the run: the records
// before it stay in the file and leave the text, so that saving again never
// writes them twice, and the message says which records were saved.
TEST_F(SaveAsFlowTest, AStoppedSaveKeepsTheRecordsBeforeTheStopOnceAndSaysWhichTheyAre) {
  struct Case {
    const char* what;
    int goodRecords;
    const char* message;
  };
  const Case cases[] = {
      {"stopped at the first record", 0, "No record was saved."},
      {"stopped at the second record", 1, "Record 1 was saved."},
      {"stopped at the fourth record", 3, "Records 1 to 3 were saved."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    capture.Clear();
    desk.log.clear();
    const std::string good = reportgen::GenerateReport({Model::C, c.goodRecords, 5, 2});
    const std::string bad = std::string(31, '-') + "\r\n" + kModelCWithoutHeadings;
    capture.AppendText(good + bad);
    // The splicer is done: the last record is no longer taken to be arriving.
    struct Finished final : ArrivalState {
      bool MayStillArrive() const override { return false; }
    } finished;
    const SaveReport report = SaveAsFlow(capture, desk, desk, desk, desk, desk, &finished).Run();
    EXPECT_EQ(report.outcome, SaveOutcome::Stopped);
    ASSERT_TRUE(report.conversion.has_value());
    EXPECT_EQ(report.conversion->stoppedAtRecord, c.goodRecords + 1);
    EXPECT_THAT(desk.log, ::testing::Contains(::testing::HasSubstr(c.message)));
    EXPECT_THAT(desk.log, ::testing::Contains("close " + std::to_string(4 + 13 * c.goodRecords) + " rows"));
    EXPECT_EQ(capture.ReceivedText(), bad);
  }
}

TEST_F(SaveAsFlowTest, AFailedWriteClosesTheFileAndKeepsTheText) {
  desk.failWrites = true;
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ::testing::IsSupersetOf({"close 0 rows", "warn Data save failed."}));
  EXPECT_FALSE(capture.Empty());
  EXPECT_EQ(desk.CsvDir(), "C:\\Data");
}

TEST_F(SaveAsFlowTest, AnErrorThrownWhileConvertingTakesTheFailurePathWithTheFileClosed) {
  desk.throwOnWrite = true;
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ElementsAre("disable", "clear names", "dialog", "cwd", "open C:\\Data\\run1.CSV",
                                    "progress 2", "destroyed", "warn Data save failed.", "enable",
                                    "progress 0"));
  EXPECT_FALSE(capture.Empty());
}

TEST_F(SaveAsFlowTest, ATableThatCannotBeFlushedOnCloseIsNoSave) {
  desk.closeSucceeds = false;
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_THAT(report.reason, ::testing::HasSubstr("disk full"));
  EXPECT_FALSE(capture.Empty());
}

// What a journal of the capture hears, in the desk's log.
class CaptureEvents final : public capture::CaptureObserver {
 public:
  explicit CaptureEvents(std::vector<std::string>& log) : log_(log) {}
  void TextAppended(std::string_view text) override { log_.push_back("+" + std::string(text)); }
  void TextDiscarded(std::size_t length) override { log_.push_back("-" + std::to_string(length)); }
  void TextSaved(std::size_t length) override { log_.push_back("saved " + std::to_string(length)); }

 private:
  std::vector<std::string>& log_;
};

TEST_F(SaveAsFlowTest, TextThatArrivesWhileTheCompletionMessageIsOpenStays) {
  CaptureEvents events(desk.log);
  capture.AddObserver(events);
  const std::size_t converted = capture.ReceivedText().size();
  desk.onMessage = [this] { capture.AppendText("late"); };
  EXPECT_EQ(Run().outcome, SaveOutcome::Saved);
  EXPECT_EQ(capture.ReceivedText(), "late");
  // The saved text is declared safe before the message, and removed after
  // it; what arrived in between is appended, never declared saved.
  const std::string saved = "saved " + std::to_string(converted);
  const std::string removed = "-" + std::to_string(converted);
  EXPECT_THAT(desk.log, testing::IsSupersetOf({saved, removed}));
  const auto at = [&](const std::string& entry) { return std::find(desk.log.begin(), desk.log.end(), entry); };
  EXPECT_LT(at(saved), at("info Data save completed."));
  EXPECT_LT(at("info Data save completed."), at("+late"));
  EXPECT_LT(at("+late"), at(removed));
  capture.RemoveObserver(events);
}

TEST_F(SaveAsFlowTest, AFailedSaveDeclaresNothingSaved) {
  CaptureEvents events(desk.log);
  capture.AddObserver(events);
  desk.failWrites = true;
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_EQ(std::count_if(desk.log.begin(), desk.log.end(),
                          [](const std::string& e) { return e.rfind("saved", 0) == 0 || e[0] == '-'; }),
            0);
  capture.RemoveObserver(events);
}

TEST_F(SaveAsFlowTest, EachSaveStartsWithThePreviousChoiceForgotten) {
  SaveAsFlow flow(capture, desk, desk, desk, desk, desk);
  flow.Run();
  capture.AppendText("more");
  desk.chosenPath.reset();
  flow.Run();
  EXPECT_EQ(flow.ChosenFilePath(), "");
  EXPECT_EQ(desk.CsvDir(), "C:\\Data");
}

}  // namespace
}  // namespace seamlog::save
