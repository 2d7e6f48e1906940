#include "seamlog/save/save_as_flow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace seamlog::save {
namespace {

using convert::ConvertOutcome;
using convert::ConvertResult;
using convert::Model;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class MapIni : public shell::IniStore {
 public:
  std::string ReadIniString(const std::string& file, const std::string& section,
                            const std::string& key) override {
    auto it = values.find({file, section, key});
    return it == values.end() ? std::string() : it->second;
  }
  void WriteIniString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& value) override {
    values[{file, section, key}] = value;
    ++writes;
  }
  std::map<std::tuple<std::string, std::string, std::string>, std::string> values;
  int writes = 0;
};

// Collects rows in memory; "file" names the file it was opened for.
class MemoryFile : public convert::RowWriter {
 public:
  explicit MemoryFile(std::vector<std::string>& log) : log_(log) {}
  ~MemoryFile() override { log_.push_back("destroyed"); }
  bool WriteRow(std::string_view row) override {
    log_.push_back("row " + std::string(row));
    return true;
  }
  bool Close() override {
    log_.push_back("close");
    return closeSucceeds;
  }
  bool Discard() override {
    log_.push_back("discard");
    return true;
  }
  std::string LastError() const override { return "disk full"; }
  bool closeSucceeds = true;

 private:
  std::vector<std::string>& log_;
};

// One recorder for the window, the dialog, the message box and the files, so
// that a test can check the order in which the flow touches them.
class FakeDesktop : public SaveWindow, public SaveFileDialog, public MessageDisplay, public OutputFiles {
 public:
  // SaveWindow
  void EnableSaveButton(bool enabled) override { log.push_back(enabled ? "enable" : "disable"); }
  void StartProgress(std::int16_t steps) override { log.push_back("progress " + std::to_string(steps)); }
  bool HasReceivedText() const override { return !receivedText.empty(); }
  ConvertResult ConvertReceivedText(convert::RowWriter& out) override {
    log.push_back("convert");
    if (convertThrows) throw std::overflow_error("record count beyond 16 bits");
    out.WriteRow("");
    ConvertResult result{Model::A, 1, outcome, {}, 0};
    if (outcome == ConvertOutcome::Completed) result.consumedLength = receivedText.size() - stillArriving;
    return result;
  }
  void ClearReceivedText(std::size_t consumedLength) override {
    log.push_back("clear");
    receivedText.erase(0, consumedLength);
  }
  void RestoreCurrentDirectory() override { log.push_back("cwd"); }

  // SaveFileDialog
  std::optional<std::string> AskForFile(const SaveDialogRequest& request) override {
    lastRequest = request;
    log.push_back("dialog");
    if (dialogThrows) throw std::runtime_error("dialog failed");
    return chosenPath;
  }

  // MessageDisplay
  void ShowMessage(std::string_view text, MessageIcon icon) override {
    log.push_back(std::string(icon == MessageIcon::Information ? "info " : "warn ") +
                  std::string(text));
  }

  // OutputFiles
  std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path,
                                                    std::string& error) override {
    log.push_back("open " + path);
    if (!openSucceeds) {
      error = "sharing violation";
      return nullptr;
    }
    auto file = std::make_unique<MemoryFile>(log);
    file->closeSucceeds = closeSucceeds;
    return file;
  }

  std::string receivedText = "----- some splice records -----";
  std::optional<std::string> chosenPath = std::string("C:\\Data\\run1.CSV");
  ConvertOutcome outcome = ConvertOutcome::Completed;
  std::size_t stillArriving = 0;  // characters at the end of the text the converter leaves
  bool dialogThrows = false;
  bool convertThrows = false;
  bool openSucceeds = true;
  bool closeSucceeds = true;
  SaveDialogRequest lastRequest;
  std::vector<std::string> log;
};

class SaveAsFlowTest : public ::testing::Test {
 protected:
  SaveAsFlowTest() : settings(ini, "C:\\Program Files\\Seamlog") {
    ini.values[{iniPath, "System", "CsvDir"}] = "D:\\Old";
    settings.LoadSettings();
    ini.writes = 0;
  }
  SaveReport Run() { return SaveAsFlow(desk, desk, desk, desk, settings).Run(); }
  std::string CsvDirInFile() { return ini.values[{iniPath, "System", "CsvDir"}]; }

  const std::string iniPath = "C:\\Program Files\\Seamlog\\Benchkit.ini";
  MapIni ini;
  shell::Settings settings;
  FakeDesktop desk;
};

TEST_F(SaveAsFlowTest, a_completed_save_reports_then_empties_the_text_and_puts_the_window_back) {
  EXPECT_EQ(Run().outcome, SaveOutcome::Saved);
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "open C:\\Data\\run1.CSV", "convert",
                                    "row ", "close", "destroyed", "info Data save completed.",
                                    "clear", "enable", "progress 0"));
  EXPECT_THAT(desk.receivedText, IsEmpty());
}

TEST_F(SaveAsFlowTest, a_record_still_arriving_when_the_save_began_stays_for_the_next_save) {
  desk.stillArriving = 7;
  EXPECT_EQ(Run().outcome, SaveOutcome::Saved);
  EXPECT_EQ(desk.receivedText, "s -----");
}

TEST_F(SaveAsFlowTest, the_dialog_asks_for_a_csv_file_in_the_remembered_directory) {
  Run();
  EXPECT_EQ(desk.lastRequest.title, "Write File");
  EXPECT_EQ(desk.lastRequest.filter, "SaveFile(*.csv)|*.csv");
  EXPECT_EQ(desk.lastRequest.defaultExtension, "csv");
  EXPECT_EQ(desk.lastRequest.initialDirectory, "D:\\Old");
}

TEST_F(SaveAsFlowTest, the_chosen_directory_is_remembered_and_written_before_the_file_is_opened) {
  desk.openSucceeds = false;
  Run();
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
  EXPECT_EQ(CsvDirInFile(), "C:\\Data");
  EXPECT_EQ(settings.ChosenFilePath(), "C:\\Data\\run1.CSV");
}

TEST_F(SaveAsFlowTest, nothing_received_fails_at_once_without_a_dialog) {
  desk.receivedText.clear();
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ElementsAre("disable", "warn Data save failed.", "enable", "progress 0"));
  EXPECT_EQ(ini.writes, 0);
}

TEST_F(SaveAsFlowTest, a_cancelled_dialog_ends_silently_and_keeps_everything) {
  desk.chosenPath.reset();
  EXPECT_EQ(Run().outcome, SaveOutcome::Cancelled);
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "enable", "progress 0"));
  EXPECT_EQ(settings.CsvDir(), "D:\\Old");
  EXPECT_EQ(ini.writes, 0);
  EXPECT_FALSE(desk.receivedText.empty());
}

TEST_F(SaveAsFlowTest, a_failing_dialog_counts_as_a_cancel) {
  desk.dialogThrows = true;
  EXPECT_EQ(Run().outcome, SaveOutcome::Cancelled);
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "enable", "progress 0"));
}

TEST_F(SaveAsFlowTest, paths_that_cannot_be_split_count_as_a_cancel_and_keep_csv_dir) {
  for (const char* path : {"run1.csv", "C:\\Data\\run1", "C:\\a.b\\noext"}) {
    SCOPED_TRACE(path);
    desk.log.clear();
    desk.chosenPath = path;
    EXPECT_EQ(Run().outcome, SaveOutcome::Cancelled);
    EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "enable", "progress 0"));
    EXPECT_EQ(settings.CsvDir(), "D:\\Old");
    EXPECT_EQ(ini.writes, 0);
  }
}

TEST_F(SaveAsFlowTest, a_file_in_a_drive_root_stores_the_bare_drive) {
  desk.chosenPath = "E:\\x.csv";
  Run();
  EXPECT_EQ(settings.CsvDir(), "E:");
  EXPECT_EQ(CsvDirInFile(), "E:");
  EXPECT_THAT(desk.log, ::testing::Contains("open E:\\x.csv"));
}

TEST_F(SaveAsFlowTest, a_file_that_cannot_be_opened_fails_and_keeps_the_text) {
  desk.openSucceeds = false;
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_THAT(report.reason, ::testing::HasSubstr("sharing violation"));
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "open C:\\Data\\run1.CSV",
                                    "warn Data save failed.", "enable", "progress 0"));
  EXPECT_FALSE(desk.receivedText.empty());
}

TEST_F(SaveAsFlowTest, a_conversion_that_stops_short_is_reported_as_a_failure) {
  desk.outcome = ConvertOutcome::Stopped;
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "open C:\\Data\\run1.CSV", "convert",
                                    "row ", "close", "destroyed", "warn Data save failed.",
                                    "enable", "progress 0"));
  EXPECT_FALSE(desk.receivedText.empty());
}

TEST_F(SaveAsFlowTest, a_failed_conversion_closes_the_file_and_keeps_the_text) {
  desk.outcome = ConvertOutcome::Failed;
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ::testing::IsSupersetOf({"close", "warn Data save failed."}));
  EXPECT_FALSE(desk.receivedText.empty());
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
}

TEST_F(SaveAsFlowTest, an_error_thrown_while_converting_takes_the_failure_path_with_the_file_closed) {
  desk.convertThrows = true;
  EXPECT_EQ(Run().outcome, SaveOutcome::Failed);
  EXPECT_THAT(desk.log, ElementsAre("disable", "dialog", "cwd", "open C:\\Data\\run1.CSV", "convert",
                                    "destroyed", "warn Data save failed.", "enable", "progress 0"));
}

TEST_F(SaveAsFlowTest, a_table_that_cannot_be_flushed_on_close_is_no_save) {
  desk.closeSucceeds = false;
  const SaveReport report = Run();
  EXPECT_EQ(report.outcome, SaveOutcome::Failed);
  EXPECT_THAT(report.reason, ::testing::HasSubstr("disk full"));
  EXPECT_FALSE(desk.receivedText.empty());
}

TEST_F(SaveAsFlowTest, each_save_starts_with_the_previous_choice_forgotten) {
  Run();
  desk.receivedText = "more";
  desk.chosenPath.reset();
  Run();
  EXPECT_EQ(settings.ChosenFilePath(), "");
  EXPECT_EQ(settings.CsvDir(), "C:\\Data");
}

}  // namespace
}  // namespace seamlog::save
