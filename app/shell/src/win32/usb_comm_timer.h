#pragma once
// The poll timer of the USB link. A timer-queue timer posts its ticks to the
// owner window as kTickMessage, one at a time (never two outstanding), so a
// 1 ms period really ticks about every millisecond and every tick runs on the
// window's thread; the window passes the message to Dispatch. Disabling and
// enabling restarts it, so the next tick comes one full period later.
#include <windows.h>

#include <utility>

#include "poll_timer.h"

namespace seamlog::shell {

class USBCommTimer {
 public:
  // The message that carries a tick to the owner window.
  static constexpr UINT kTickMessage = WM_APP + 0x51;

  explicit USBCommTimer(HWND owner) { timer_.Bind(owner, kTickMessage); }
  USBCommTimer(const USBCommTimer&) = delete;
  USBCommTimer& operator=(const USBCommTimer&) = delete;
  ~USBCommTimer() { Disable(); }

  void Enable();
  void Disable();
  // A running timer restarts with the new period.
  void SetInterval(UINT milliseconds);

  // Runs tick for a kTickMessage of the running timer; stale ticks are dropped.
  template <typename Tick>
  bool Dispatch(WPARAM wParam, Tick&& tick) {
    return timer_.Dispatch(wParam, std::forward<Tick>(tick));
  }

  bool Enabled() const { return enabled_; }
  UINT Interval() const { return interval_; }

 private:
  link::PollTimer timer_;
  UINT interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace seamlog::shell
