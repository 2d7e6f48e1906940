#include "usb_comm_timer.h"

namespace seamlog::shell {

void USBCommTimer::Enable() { enabled_ = timer_.Start(interval_); }

void USBCommTimer::Disable() {
  timer_.Stop();
  enabled_ = false;
}

void USBCommTimer::SetInterval(UINT milliseconds) {
  interval_ = milliseconds;
  if (enabled_) Enable();
}

}  // namespace seamlog::shell
