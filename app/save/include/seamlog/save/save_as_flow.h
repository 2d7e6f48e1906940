#pragma once
// The Save As flow of the main window: choose a file, convert the captured
// text into it, report the outcome. The window, the remembered folder, the
// dialog, the message box and the file system are reached through the small
// interfaces below; the received text comes from the capture.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/capture/capture.h"
#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/progress.h"
#include "seamlog/convert/row_writer.h"
#include "seamlog/save/save_intent.h"

namespace seamlog::save {

inline constexpr std::string_view kSaveCompleted = "Data save completed.";
inline constexpr std::string_view kSaveFailed = "Data save failed.";

enum class MessageIcon { Information, Exclamation };

// Modal message box with an OK button and the application's title.
class MessageDisplay {
 public:
  virtual ~MessageDisplay() = default;
  virtual void ShowMessage(std::string_view text, MessageIcon icon) = 0;
};

struct SaveDialogRequest {
  std::string title;             // "Write File"
  std::string filter;            // "SaveFile(*.csv)|*.csv"
  std::string defaultExtension;  // "csv"
  std::string initialDirectory;  // CsvDir, with the backslash of a drive root ("C:\")
};

// The folder the dialog opens in for a remembered CsvDir: a bare drive ("C:")
// would mean that drive's current folder, so its root is passed instead.
std::string DialogDirectory(std::string_view csvDir);

// Where the folder of the chosen file is remembered between saves and runs.
class SaveLocation {
 public:
  virtual ~SaveLocation() = default;
  // The folder of the last saved file, without its last backslash.
  virtual std::string CsvDir() const = 0;
  // Forgets the file chosen by the previous save; CsvDir stays.
  virtual void ClearFileNames() = 0;
  // Takes over a path the dialog returned: its folder becomes CsvDir and is
  // remembered for the next run. False, with nothing changed, when the path
  // has no backslash or its file name no dot.
  virtual bool RememberChosenFile(std::string_view fullPath) = 0;
};

// The common Save dialog. Empty when the operator cancelled or the dialog
// failed; otherwise the full path chosen.
class SaveFileDialog {
 public:
  virtual ~SaveFileDialog() = default;
  virtual std::optional<std::string> AskForFile(const SaveDialogRequest& request) = 0;
};

// The output file as a save found it.
struct TableState {
  std::uint64_t length = 0;
  bool created = false;  // the save created it
};

// Opens the output file for appending, held by this save alone, and says how
// it found it; empty (with a reason) on failure. A file not closed cleanly is
// returned to its state before the save.
class OutputFiles {
 public:
  virtual ~OutputFiles() = default;
  virtual std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path, TableState& before,
                                                            std::string& error) = 0;
};

// What the flow needs of the main window. The converter moves its progress
// bar through the ProgressSink.
class SaveWindow : public convert::ProgressSink {
 public:
  virtual void EnableSaveButton(bool enabled) = 0;
  // The conversion has ended; modelSwitched when the text showed another
  // model than the one selected, which the capture now holds.
  virtual void ShowConvertResult(const convert::ConvertResult& result, bool modelSwitched) = 0;
  // Makes AppDirectory the current directory again after the dialog.
  virtual void RestoreCurrentDirectory() = 0;
};

// Whether the splicer may still be sending the end of the received text.
// While it may, a last record that is not whole yet stays for the next save;
// once it cannot (the link closed, or the splicer has been quiet for long), a
// record cut short is saved as far as the rules convert it.
class ArrivalState {
 public:
  virtual ~ArrivalState() = default;
  virtual bool MayStillArrive() const = 0;
};

enum class SaveOutcome {
  Saved,
  Cancelled,
  Failed,
  Stopped,  // MODEL-C: the records before a record without its heading lines were saved
};

// The operator's message for a stopped save: which records were saved, and
// which record stopped it.
std::string StoppedMessage(const convert::ConvertResult& result);

struct SaveReport {
  SaveOutcome outcome = SaveOutcome::Failed;
  std::string reason;                                // why a save failed, for the curious; never shown
  std::optional<convert::ConvertResult> conversion;  // when the converter ran
};

class SaveAsFlow {
 public:
  // Without an arrival state, the splicer is taken to be still sending.
  // The intent store, when there is one, keeps what the save is doing on the
  // disk while it does it.
  SaveAsFlow(capture::Capture& capture, SaveWindow& window, SaveLocation& location, SaveFileDialog& dialog,
             MessageDisplay& messages, OutputFiles& files, const ArrivalState* arrival = nullptr,
             IntentStore* intents = nullptr)
      : capture_(capture),
        window_(window),
        location_(location),
        dialog_(dialog),
        messages_(messages),
        files_(files),
        arrival_(arrival),
        intents_(intents) {}

  // The whole click on Save As. Every path ends with the file closed, the
  // button enabled again and the progress bar emptied.
  SaveReport Run();

  // How much of text this save converts: all of it, but for a last record
  // that is not whole yet while the splicer may still be sending it.
  std::size_t ConvertibleLength(std::string_view text) const;

  // Lets the operator pick the file; remembers its directory at once.
  // False when cancelled or when the chosen path cannot be split.
  bool ChooseSaveFile();
  // The file chosen by the last ChooseSaveFile; empty until one is chosen.
  const std::string& ChosenFilePath() const { return chosenFilePath_; }

 private:
  SaveReport Convert();

  capture::Capture& capture_;
  SaveWindow& window_;
  SaveLocation& location_;
  SaveFileDialog& dialog_;
  MessageDisplay& messages_;
  OutputFiles& files_;
  const ArrivalState* arrival_;
  IntentStore* intents_;
  bool intentRecorded_ = false;
  std::string chosenFilePath_;
};

}  // namespace seamlog::save
