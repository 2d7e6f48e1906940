// Letting Windows take a splicer away. Each open device is registered for
// handle notifications (DBT_DEVTYP_HANDLE) with a hidden message-only window
// on the thread that opened it: Seamlog's one GUI thread, whose message loop
// dispatches the window's messages. When Windows asks whether the device may
// go (disabling it, updating its driver, a safe removal), the library closes
// its handle there and then, so the removal proceeds instead of asking for a
// restart.
#pragma once

#include <windows.h>

namespace portline {

class DeviceTable;

// One device's registration, keyed by the file handle it watches.
class DeviceNotice {
 public:
  DeviceNotice() = default;
  ~DeviceNotice() { Withdraw(); }
  DeviceNotice(const DeviceNotice&) = delete;
  DeviceNotice& operator=(const DeviceNotice&) = delete;

  // Registers `file` with `window`. The handle is remembered even when the
  // registration fails (the system then sends nothing for it).
  void Watch(HWND window, HANDLE file);
  // True while a notice naming `file` is for this device.
  bool Watches(HANDLE file) const { return file_ != nullptr && file == file_; }
  // Unregisters; done before the handle is closed.
  void Withdraw();

 private:
  HDEVNOTIFY registration_ = nullptr;
  HANDLE file_ = nullptr;
};

// A hidden message-only window on the calling thread whose WM_DEVICECHANGE
// handler closes the devices of `table` the notices name:
// - DBT_DEVICEQUERYREMOVE: the device's notice is withdrawn and its channel
//   closed (the pending read cancelled and waited for), so the removal can
//   go on; later calls on its handle fail (9999), and the program's own
//   reconnect opens the splicer again once it is back.
// - DBT_DEVICEREMOVEPENDING, DBT_DEVICEREMOVECOMPLETE: the same, if not done.
// - DBT_DEVICEQUERYREMOVEFAILED: nothing. The device was closed at the
//   query and reading it has already failed, so the program has closed its
//   handle or is about to, and its reconnect finds the splicer still there.
//   Opening it again here, behind a handle the program is giving up, would
//   only race that reconnect for the claim.
// Null when the window cannot be made.
HWND CreateNoticeWindow(DeviceTable& table);

}  // namespace portline
