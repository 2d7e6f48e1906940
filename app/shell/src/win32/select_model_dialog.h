#pragma once
// The first window: the operator names the splicer model.
#include <optional>

#include "win32util/handles.h"
#include "seamlog/convert/models.h"
#include "window.h"

namespace seamlog::shell {

class SelectModelDialog final : public Window {
 public:
  // Shows the dialog and waits. The chosen model, or nothing when the
  // operator cancelled, closed the dialog or typed a name that is no model.
  std::optional<convert::Model> Run();

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Load();
  void OKClick();
  void Finish(std::optional<convert::Model> choice);

  HWND splModelFrame_ = nullptr;
  HWND splModelCombo_ = nullptr;
  HWND okButton_ = nullptr;
  HWND cancelButton_ = nullptr;
  win32util::Font font_;
  std::optional<convert::Model> choice_;
  bool done_ = false;
};

}  // namespace seamlog::shell
