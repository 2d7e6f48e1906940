// A fast timer for the poll cycle that keeps every tick on the window's thread.
// A timer-queue timer fires on a pool thread and posts one message to the
// window; no further message is posted until that one has been handled, so
// ticks never pile up or overlap. Restarting the timer discards a tick that is
// still on its way, so the next tick comes one full new period later.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace seamlog::link {

class PollTimer {
 public:
  PollTimer() = default;
  ~PollTimer() { Stop(); }
  PollTimer(const PollTimer&) = delete;
  PollTimer& operator=(const PollTimer&) = delete;

  // Ticks arrive as `message` posted to `window`; hand them to Dispatch.
  void Bind(HWND window, UINT message);
  // Stops the timer and starts it again with the given period in ms.
  bool Start(DWORD periodMs);
  // Stops the timer; returns once no callback runs any more.
  void Stop();

  // Call from the window procedure with the message's wParam. Runs tick when
  // the message belongs to the running timer, then allows the next post.
  template <typename Tick>
  bool Dispatch(WPARAM wparam, Tick&& tick) {
    if (static_cast<std::uint32_t>(wparam) != generation_.load()) return false;
    tick();
    if (static_cast<std::uint32_t>(wparam) == generation_.load()) outstanding_.store(false);
    return true;
  }

  DWORD Period() const { return periodMs_; }
  bool Running() const { return timer_ != nullptr; }

 private:
  static VOID CALLBACK Fire(PVOID self, BOOLEAN timerOrWaitFired);
  void SetFineResolution(bool fine);

  HWND window_ = nullptr;
  UINT message_ = 0;
  HANDLE timer_ = nullptr;
  DWORD periodMs_ = 0;
  bool fineResolution_ = false;
  std::atomic<bool> outstanding_{false};
  std::atomic<std::uint32_t> generation_{0};
};

}  // namespace seamlog::link
