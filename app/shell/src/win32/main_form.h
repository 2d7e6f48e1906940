#pragma once
// The main window: connection indicator, record count, live view of the
// received text, Save As, progress bar and Exit.
#include <cstdint>
#include <memory>
#include <string>

#include "handles.h"
#include "link/poll_cycle.h"
#include "live_text_control.h"
#include "live_text_view.h"
#include "portline_library.h"
#include "private_profile.h"
#include "seamlog/convert/models.h"
#include "seamlog/save/save_as_flow.h"
#include "seamlog/shell/settings.h"
#include "usb_comm_timer.h"
#include "window.h"

namespace seamlog::shell {

class MainForm final : public Window, private save::SaveWindow {
 public:
  explicit MainForm(convert::Model model);
  ~MainForm() override;

  // Creates the window and runs its load: settings, state, timers, set-up.
  void Load();

  // Model state, as chosen in the dialog or switched by a save.
  convert::Model ModelIndex() const { return modelIndex_; }
  const std::string& ModelName() const { return modelName_; }
  std::int16_t RecordTextLength() const { return recordTextLength_; }
  bool Connected() const { return connected_; }

  // All text received since the last successful save (bytes as received,
  // every CR followed by an LF).
  std::string ReceivedText;

  // Appends received text and refreshes the live view with its tail.
  void AppendLiveText(std::string_view text);

  // Status display.
  void DisableInformation(bool flag);
  void StartProgress(std::int16_t steps) override;
  void SetProgress(std::int16_t value);
  void SetConnected(bool flag);

 protected:
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void CreateControls();
  void SetupMainWindow();
  void SetModel(convert::Model model);
  void ShowLiveView();
  void DisplayTimerTick();
  void OnUSBCommTick();
  void OnUnloadLink();
  void CmdSaveAsClick();
  void RequestClose();
  void Unload();
  void DrawPicture(const DRAWITEMSTRUCT& item);
  void RepaintProgressNow(int value);

  // save::SaveWindow
  void EnableSaveButton(bool enabled) override;
  bool HasReceivedText() const override { return !ReceivedText.empty(); }
  convert::ConvertResult ConvertReceivedText(convert::RowWriter& out) override;
  void ClearReceivedText(std::size_t consumedLength) override;
  void RestoreCurrentDirectory() override;

  convert::Model modelIndex_;
  std::string modelName_;
  std::int16_t recordTextLength_;
  bool connected_ = false;

  PrivateProfileStore ini_;
  std::unique_ptr<Settings> settings_;

  HWND usbConnectPicture_[2] = {};
  HWND informationLabel_ = nullptr;
  HWND cmdSaveAsCmd_ = nullptr;
  HWND liveText_ = nullptr;
  HWND informationBar_ = nullptr;
  HWND endCommand_ = nullptr;
  std::unique_ptr<USBCommTimer> usbCommTimer_;
  // The USB link: PortlineUSB.dll, the poll cycle and the live view.
  link::PortlineLibrary portlineLibrary_;
  link::PollCycle pollCycle_{portlineLibrary_};
  link::LiveTextView liveView_;
  int progressMaximum_ = 1;
  int paintedPixel_ = 0;

  Font controlFont_;
  Font liveTextFont_;
  Icon pictures_[2];

  bool saving_ = false;
  bool closeAfterSave_ = false;
  bool askingToClose_ = false;
};

}  // namespace seamlog::shell
