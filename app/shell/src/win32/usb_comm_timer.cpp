#include "usb_comm_timer.h"

namespace seamlog::shell {

void USBCommTimer::Enable() {
  // SetTimer on an existing identifier replaces the timer and restarts it.
  enabled_ = SetTimer(owner_, id_, interval_, nullptr) != 0;
}

void USBCommTimer::Disable() {
  if (enabled_) KillTimer(owner_, id_);
  enabled_ = false;
}

void USBCommTimer::SetInterval(UINT milliseconds) {
  interval_ = milliseconds;
  if (enabled_) Enable();
}

}  // namespace seamlog::shell
