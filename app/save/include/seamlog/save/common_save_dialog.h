#pragma once
// The common Save dialog (GetSaveFileNameA) and the application's message
// boxes, for the Save As flow on Windows.
#include <windows.h>

#include "seamlog/save/save_as_flow.h"

namespace seamlog::save {

class CommonSaveDialog final : public SaveFileDialog {
 public:
  explicit CommonSaveDialog(HWND owner) : owner_(owner) {}
  std::optional<std::string> AskForFile(const SaveDialogRequest& request) override;

 private:
  HWND owner_;
};

class ApplicationMessageBox final : public MessageDisplay {
 public:
  explicit ApplicationMessageBox(HWND owner) : owner_(owner) {}
  void ShowMessage(std::string_view text, MessageIcon icon) override;

 private:
  HWND owner_;
};

// "Name(*.x)|*.x" as the dialog wants it: NUL-separated, doubly terminated.
std::string DialogFilter(std::string_view barSeparated);

}  // namespace seamlog::save
