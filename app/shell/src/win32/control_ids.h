#pragma once
// Control identifiers of Seamlog's windows. The GUI test driver finds the
// controls by these numbers as well.

namespace seamlog::shell::ids {

// SelectModelDialog: OK and Cancel carry the standard dialog identifiers, so
// Enter and Escape work as on any dialog.
inline constexpr int kSplModelFrame = 101;
inline constexpr int kSplModelCombo = 102;
inline constexpr int kOKButton = 1;      // IDOK
inline constexpr int kCancelButton = 2;  // IDCANCEL

// MainForm
inline constexpr int kUSBConnectPicture0 = 1001;
inline constexpr int kUSBConnectPicture1 = 1002;
inline constexpr int kInformationLabel = 1003;
inline constexpr int kCmdSaveAsCmd = 1004;
inline constexpr int kLiveText = 1005;
inline constexpr int kInformationBar = 1006;
inline constexpr int kEndCommand = 1007;

// Window classes
inline constexpr const char* kSelectModelDialogClass = "SeamlogSelectModelDialog";
inline constexpr const char* kMainFormClass = "SeamlogMainForm";

// The test build of the program (SeamlogTestHook.exe) takes received text
// from the GUI test driver by WM_COPYDATA with this tag. Seamlog.exe itself
// has no such entry.
inline constexpr unsigned long kTestReceivedTextTag = 0x534C5254;  // "SLRT"
// Posted to the test build's main window, this registered message makes its
// handler fail, so that the tests can watch the run-time error path.
inline constexpr const char* kTestRunTimeErrorMessage = "SeamlogTestRunTimeError";

}  // namespace seamlog::shell::ids
