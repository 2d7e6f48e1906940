#include "seamlog/save/save_as_flow.h"

#include <exception>

namespace seamlog::save {
namespace {

std::string OutcomeReason(const convert::ConvertResult& result) {
  if (!result.reason.empty()) return result.reason;
  if (result.outcome == convert::ConvertOutcome::Stopped)
    return "conversion stopped at record " + std::to_string(result.stoppedAtRecord);
  return "conversion failed";
}

}  // namespace

bool SaveAsFlow::ChooseSaveFile() {
  settings_.ClearFileNames();
  bool chosen = false;
  try {
    const SaveDialogRequest request{"Write File", "SaveFile(*.csv)|*.csv", "csv",
                                    settings_.CsvDir()};
    if (const auto path = dialog_.AskForFile(request)) {
      // The path is split as the dialog returned it; a path that cannot be
      // split counts as a cancel and leaves the remembered directory alone.
      chosen = settings_.SplitFilePath(*path) && settings_.RememberFileLocation("csv");
    }
  } catch (const std::exception&) {
    chosen = false;
  }
  window_.RestoreCurrentDirectory();
  return chosen;
}

SaveReport SaveAsFlow::Convert() {
  std::string error;
  auto file = files_.OpenForAppend(settings_.ChosenFilePath(), error);
  if (!file) return {SaveOutcome::Failed, "cannot open " + settings_.ChosenFilePath() + ": " + error};

  const convert::ConvertResult result = window_.ConvertReceivedText(*file);
  // Closing flushes: a table that did not reach the disk is no save.
  const bool closed = file->Close();
  if (result.outcome != convert::ConvertOutcome::Completed)
    return {SaveOutcome::Failed, OutcomeReason(result)};
  if (!closed) return {SaveOutcome::Failed, "cannot close the file: " + file->LastError()};
  return {SaveOutcome::Saved, {}, result.consumedLength};
}

SaveReport SaveAsFlow::Run() {
  window_.EnableSaveButton(false);
  SaveReport report;
  try {
    if (!window_.HasReceivedText()) {
      report = {SaveOutcome::Failed, "nothing received"};
    } else if (!ChooseSaveFile()) {
      report = {SaveOutcome::Cancelled, {}};
    } else {
      report = Convert();
    }
  } catch (const std::exception& e) {
    report = {SaveOutcome::Failed, e.what()};
  }

  try {
    if (report.outcome == SaveOutcome::Saved) {
      messages_.ShowMessage(kSaveCompleted, MessageIcon::Information);
      window_.ClearReceivedText(report.consumedLength);
    } else if (report.outcome == SaveOutcome::Failed) {
      messages_.ShowMessage(kSaveFailed, MessageIcon::Exclamation);
    }
  } catch (const std::exception&) {
    // The outcome stands; the button and the bar are put back below.
  }
  window_.EnableSaveButton(true);
  window_.StartProgress(0);
  return report;
}

}  // namespace seamlog::save
