#pragma once
// The poll timer of the USB link. Its ticks arrive at the owner window as
// WM_TIMER with the timer's identifier. Disabling and enabling restarts it,
// so the next tick comes one full period later.
#include <windows.h>

namespace seamlog::shell {

class USBCommTimer {
 public:
  USBCommTimer(HWND owner, UINT_PTR id) : owner_(owner), id_(id) {}
  USBCommTimer(const USBCommTimer&) = delete;
  USBCommTimer& operator=(const USBCommTimer&) = delete;
  ~USBCommTimer() { Disable(); }

  void Enable();
  void Disable();
  // A running timer restarts with the new period.
  void SetInterval(UINT milliseconds);

  bool Enabled() const { return enabled_; }
  UINT Interval() const { return interval_; }
  UINT_PTR Id() const { return id_; }

 private:
  HWND owner_;
  UINT_PTR id_;
  UINT interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace seamlog::shell
