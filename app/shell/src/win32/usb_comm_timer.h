#pragma once
// The poll timer of the USB link. A timer-queue timer posts its ticks to the
// owner window as kTickMessage, one at a time (never two outstanding), so a
// 1 ms period really ticks about every millisecond and every tick runs on the
// window's thread; the window passes the message to Dispatch. Disabling and
// enabling restarts it, so the next tick comes one full period later.
#include <windows.h>

#include <cstdlib>
#include <utility>

#include "poll_timer.h"

namespace seamlog::shell {

#ifdef SEAMLOG_TEST_HOOK
// The test build only: SEAMLOG_TEST_TICK_MS (say 15.6) in the environment lets
// a poll tick run only when that many milliseconds have passed since the last
// one was due, as on a system whose timer stays at its coarse resolution
// (Windows 11 with the window minimised). Earlier ticks are dropped; due
// times do not pile up behind a long tick. Kept out of the class, whose
// layout the shipped build shares.
inline bool TestTickDue() {
  static const LONGLONG period = [] {
    char value[32] = {};
    const DWORD length = GetEnvironmentVariableA("SEAMLOG_TEST_TICK_MS", value, sizeof value);
    LARGE_INTEGER frequency;
    if (length == 0 || length >= sizeof value || !QueryPerformanceFrequency(&frequency)) return LONGLONG{0};
    const double milliseconds = std::strtod(value, nullptr);
    return milliseconds > 0
               ? static_cast<LONGLONG>(milliseconds * static_cast<double>(frequency.QuadPart) / 1000.0)
               : LONGLONG{0};
  }();
  static LONGLONG due = 0;
  if (period == 0) return true;
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (now.QuadPart < due) return false;
  due = now.QuadPart - due < period ? due + period : now.QuadPart + period;
  return true;
}
#endif

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
#ifdef SEAMLOG_TEST_HOOK
    return timer_.Dispatch(wParam, [&] {
      if (TestTickDue()) tick();
    });
#else
    return timer_.Dispatch(wParam, std::forward<Tick>(tick));
#endif
  }

  bool Enabled() const { return enabled_; }
  UINT Interval() const { return interval_; }

 private:
  link::PollTimer timer_;
  UINT interval_ = 1000;
  bool enabled_ = false;
};

}  // namespace seamlog::shell
