#include "seamlog/save/common_save_dialog.h"

#include <commdlg.h>

#include <vector>

namespace seamlog::save {

std::string DialogFilter(std::string_view barSeparated) {
  std::string filter(barSeparated);
  for (char& c : filter)
    if (c == '|') c = '\0';
  filter.append(2, '\0');
  return filter;
}

std::optional<std::string> CommonSaveDialog::AskForFile(const SaveDialogRequest& request) {
  const std::string filter = DialogFilter(request.filter);
  std::vector<char> fileName(32768, '\0');  // starts empty

  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner_;
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = fileName.data();
  dialog.nMaxFile = static_cast<DWORD>(fileName.size());
  dialog.lpstrInitialDir = request.initialDirectory.empty() ? nullptr : request.initialDirectory.c_str();
  dialog.lpstrTitle = request.title.c_str();
  dialog.lpstrDefExt = request.defaultExtension.c_str();
  // The table is appended to an existing file, never replaces it, so there
  // is no overwrite question.
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;

  // FALSE is a cancel or a failure of the dialog; both end the choice.
  if (!GetSaveFileNameA(&dialog)) return std::nullopt;
  return std::string(fileName.data());
}

void ApplicationMessageBox::ShowMessage(std::string_view text, MessageIcon icon) {
  const std::string message(text);
  const UINT style = MB_OK | (icon == MessageIcon::Information ? MB_ICONINFORMATION : MB_ICONEXCLAMATION);
  MessageBoxA(owner_, message.c_str(), "Seamlog", style);
}

}  // namespace seamlog::save
