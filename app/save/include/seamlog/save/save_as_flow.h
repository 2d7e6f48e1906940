#pragma once
// The Save As flow of the main window: choose a file, append the converted
// table to it, report the outcome. The window, the dialog, the message box
// and the file system are reached through the small interfaces below.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "seamlog/convert/convert_received_text.h"
#include "seamlog/convert/row_writer.h"
#include "seamlog/shell/settings.h"

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
  std::string initialDirectory;  // CsvDir
};

// The common Save dialog. Empty when the operator cancelled or the dialog
// failed; otherwise the full path chosen.
class SaveFileDialog {
 public:
  virtual ~SaveFileDialog() = default;
  virtual std::optional<std::string> AskForFile(const SaveDialogRequest& request) = 0;
};

// Opens the output file for appending, held by this save alone; empty (with
// a reason) on failure. A file not closed cleanly is returned to its state
// before the save.
class OutputFiles {
 public:
  virtual ~OutputFiles() = default;
  virtual std::unique_ptr<convert::RowWriter> OpenForAppend(const std::string& path,
                                                            std::string& error) = 0;
};

// What the flow needs of the main window.
class SaveWindow {
 public:
  virtual ~SaveWindow() = default;
  virtual void EnableSaveButton(bool enabled) = 0;
  virtual void StartProgress(std::int16_t steps) = 0;
  virtual bool HasReceivedText() const = 0;
  // Recognises the model, brings the window in line with it and converts.
  virtual convert::ConvertResult ConvertReceivedText(convert::RowWriter& out) = 0;
  // Empties LiveText and removes the first consumedLength characters of
  // ReceivedText: what the save dealt with. The rest (a record still arriving
  // when the save began, and whatever arrived during it) stays and is shown.
  virtual void ClearReceivedText(std::size_t consumedLength) = 0;
  // Makes AppDirectory the current directory again after the dialog.
  virtual void RestoreCurrentDirectory() = 0;
};

enum class SaveOutcome { Saved, Cancelled, Failed };

struct SaveReport {
  SaveOutcome outcome = SaveOutcome::Failed;
  std::string reason;  // why a save failed, for the curious; never shown
  std::size_t consumedLength = 0;  // Saved: the characters of ReceivedText it dealt with
};

class SaveAsFlow {
 public:
  SaveAsFlow(SaveWindow& window, SaveFileDialog& dialog, MessageDisplay& messages,
             OutputFiles& files, shell::Settings& settings)
      : window_(window), dialog_(dialog), messages_(messages), files_(files), settings_(settings) {}

  // The whole click on Save As. Every path ends with the file closed, the
  // button enabled again and the progress bar emptied.
  SaveReport Run();

  // Lets the operator pick the file; remembers its directory at once.
  // False when cancelled or when the chosen path cannot be split.
  bool ChooseSaveFile();

 private:
  SaveReport Convert();

  SaveWindow& window_;
  SaveFileDialog& dialog_;
  MessageDisplay& messages_;
  OutputFiles& files_;
  shell::Settings& settings_;
};

}  // namespace seamlog::save
