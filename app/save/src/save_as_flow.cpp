#include "seamlog/save/save_as_flow.h"

#include <cctype>
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

std::string DialogDirectory(std::string_view csvDir) {
  const bool bareDrive = csvDir.size() == 2 && std::isalpha(static_cast<unsigned char>(csvDir[0])) &&
                         csvDir[1] == ':';
  return bareDrive ? std::string(csvDir) + '\\' : std::string(csvDir);
}

bool SaveAsFlow::ChooseSaveFile() {
  chosenFilePath_.clear();
  location_.ClearFileNames();
  bool chosen = false;
  try {
    const SaveDialogRequest request{"Write File", "SaveFile(*.csv)|*.csv", "csv",
                                    DialogDirectory(location_.CsvDir())};
    if (const auto path = dialog_.AskForFile(request)) {
      // The path is taken as the dialog returned it; a path that cannot be
      // split counts as a cancel and leaves the remembered folder alone.
      chosen = location_.RememberChosenFile(*path);
      if (chosen) chosenFilePath_ = *path;
    }
  } catch (const std::exception&) {
    chosen = false;
  }
  window_.RestoreCurrentDirectory();
  return chosen;
}

SaveReport SaveAsFlow::Convert() {
  std::string error;
  auto file = files_.OpenForAppend(chosenFilePath_, error);
  if (!file) return {SaveOutcome::Failed, "cannot open " + chosenFilePath_ + ": " + error, {}};

  // The model is recognised once, by the engine; the capture and the window
  // follow what it found.
  const convert::ConvertResult result =
      convert::ConvertReceivedText(capture_.ReceivedText(), *file, window_);
  // A record still arriving when the save began is not converted: it stays,
  // with whatever arrives meanwhile, for the next save.
  capture_.MarkConverted(result.consumedLength);
  window_.ShowConvertResult(result, capture_.SelectModel(result.model));
  // Closing flushes: a table that did not reach the disk is no save.
  const bool closed = file->Close();
  if (result.outcome != convert::ConvertOutcome::Completed)
    return {SaveOutcome::Failed, OutcomeReason(result), result};
  if (!closed) return {SaveOutcome::Failed, "cannot close the file: " + file->LastError(), result};
  return {SaveOutcome::Saved, {}, result};
}

SaveReport SaveAsFlow::Run() {
  window_.EnableSaveButton(false);
  SaveReport report;
  try {
    if (capture_.Empty()) {
      report = {SaveOutcome::Failed, "nothing received", {}};
    } else if (!ChooseSaveFile()) {
      report = {SaveOutcome::Cancelled, {}, {}};
    } else {
      report = Convert();
    }
  } catch (const std::exception& e) {
    report = {SaveOutcome::Failed, e.what(), {}};
  }

  try {
    if (report.outcome == SaveOutcome::Saved) {
      // The table is on disk: the journal may forget it before the message,
      // which keeps receiving while it is open.
      capture_.ConvertedSaved();
      messages_.ShowMessage(kSaveCompleted, MessageIcon::Information);
      // Text that arrived while the message was open stays for the next save.
      capture_.DiscardConverted();
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
