#include "seamlog/save/save_as_flow.h"

#include <cctype>
#include <exception>

#include "seamlog/convert/arriving_record.h"

namespace seamlog::save {
namespace {

std::string OutcomeReason(const convert::ConvertResult& result) {
  if (!result.reason.empty()) return result.reason;
  if (result.outcome == convert::ConvertOutcome::Stopped)
    return "conversion stopped at record " + std::to_string(result.stoppedAtRecord);
  return "conversion failed";
}

}  // namespace

std::string StoppedMessage(const convert::ConvertResult& result) {
  const int stopped = result.stoppedAtRecord;
  std::string text = "Data save stopped at record " + std::to_string(stopped) +
                     ": it has no \"Irregular\" or \"Loss\" heading line.\r\n";
  if (stopped <= 1)
    text += "No record was saved.";
  else if (stopped == 2)
    text += "Record 1 was saved.";
  else
    text += "Records 1 to " + std::to_string(stopped - 1) + " were saved.";
  text += " Record " + std::to_string(stopped) + " and the records after it were kept, not saved.";
  return text;
}

std::string DialogDirectory(std::string_view csvDir) {
  const bool bareDrive =
      csvDir.size() == 2 && std::isalpha(static_cast<unsigned char>(csvDir[0])) && csvDir[1] == ':';
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
  TableState before;
  auto file = files_.OpenForAppend(chosenFilePath_, before, error);
  if (!file) return {SaveOutcome::Failed, "cannot open " + chosenFilePath_ + ": " + error, {}};

  // The model is recognised once, by the engine; the capture and the window
  // follow what it found. A record still arriving is not converted: it stays,
  // with whatever arrives meanwhile, for the next save.
  const std::string_view text = capture_.ReceivedText();
  const std::size_t length = ConvertibleLength(text);
  // Before the first row: should the program be killed while it writes, the
  // next start finds the half table by this and takes it back.
  SaveIntent intent{
      chosenFilePath_, before.length, before.created, length, TextDigest(text.substr(0, length)), false, 0};
  intentRecorded_ = intents_ != nullptr && intents_->Record(intent, error);
  const convert::ConvertResult result = convert::ConvertReceivedText(text.substr(0, length), *file, window_);
  // Completed: all the text it was given is dealt with, a record cut short
  // included. Stopped: the records before the stopped one are in the file.
  const bool completed = result.outcome == convert::ConvertOutcome::Completed;
  const bool stopped = result.outcome == convert::ConvertOutcome::Stopped;
  capture_.MarkConverted(completed ? length : stopped ? result.consumedLength : 0);
  window_.ShowConvertResult(result, capture_.SelectModel(result.model));
  // Closing forces the table onto the disk: a table that did not reach it is
  // no save.
  const bool closed = file->Close();
  if (!completed && !stopped) return {SaveOutcome::Failed, OutcomeReason(result), result};
  if (!closed) {
    capture_.MarkConverted(0);
    return {SaveOutcome::Failed, "cannot close the file: " + file->LastError(), result};
  }
  // The table is whole on the disk; the journal forgets its text next.
  intent.written = true;
  intent.savedLength = capture_.ConvertedLength();
  if (intentRecorded_) intentRecorded_ = intents_->Record(intent, error);
  if (stopped) return {SaveOutcome::Stopped, OutcomeReason(result), result};
  return {SaveOutcome::Saved, {}, result};
}

std::size_t SaveAsFlow::ConvertibleLength(std::string_view text) const {
  if (arrival_ != nullptr && !arrival_->MayStillArrive()) return text.size();
  return convert::ArrivingRecordStart(convert::RecogniseModel(text), text);
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
    // The table is on disk: the journal may forget it before the message,
    // which keeps receiving while it is open.
    if (report.outcome == SaveOutcome::Saved || report.outcome == SaveOutcome::Stopped)
      capture_.ConvertedSaved();
    if (intentRecorded_) {
      std::string error;
      intents_->Clear(error);
      intentRecorded_ = false;
    }
    if (report.outcome == SaveOutcome::Saved || report.outcome == SaveOutcome::Stopped) {
      if (report.outcome == SaveOutcome::Saved)
        messages_.ShowMessage(kSaveCompleted, MessageIcon::Information);
      else
        messages_.ShowMessage(StoppedMessage(*report.conversion), MessageIcon::Exclamation);
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
