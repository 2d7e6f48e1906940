#include "poll_timer.h"

namespace seamlog::link {
namespace {

// Periods this short need the system timer at its finest resolution; the
// multimedia timer functions are looked up at run time so the program does
// not import winmm.dll for them.
using TimePeriodFn = UINT(WINAPI*)(UINT);
constexpr DWORD kFinePeriodLimit = 10;

TimePeriodFn LookUpWinmm(const char* name) {
  static HMODULE winmm = LoadLibraryA("winmm.dll");
  if (winmm == nullptr) return nullptr;
  return reinterpret_cast<TimePeriodFn>(reinterpret_cast<void*>(GetProcAddress(winmm, name)));
}

}  // namespace

void PollTimer::Bind(HWND window, UINT message) {
  window_ = window;
  message_ = message;
}

VOID CALLBACK PollTimer::Fire(PVOID self, BOOLEAN) {
  auto* timer = static_cast<PollTimer*>(self);
  if (timer->outstanding_.exchange(true)) return;
  if (!PostMessageW(timer->window_, timer->message_, timer->generation_.load(), 0))
    timer->outstanding_.store(false);
}

bool PollTimer::Start(DWORD periodMs) {
  Stop();
  periodMs_ = periodMs;
  generation_.fetch_add(1);
  outstanding_.store(false);
  SetFineResolution(periodMs < kFinePeriodLimit);
  return CreateTimerQueueTimer(&timer_, nullptr, &PollTimer::Fire, this, periodMs, periodMs,
                               WT_EXECUTEINTIMERTHREAD) != FALSE;
}

void PollTimer::Stop() {
  if (timer_ != nullptr) {
    DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
    timer_ = nullptr;
  }
  // A tick already posted must not run after a stop.
  generation_.fetch_add(1);
  outstanding_.store(false);
  SetFineResolution(false);
}

void PollTimer::SetFineResolution(bool fine) {
  if (fine == fineResolution_) return;
  const TimePeriodFn fn = LookUpWinmm(fine ? "timeBeginPeriod" : "timeEndPeriod");
  if (fn == nullptr) return;
  fn(1);
  fineResolution_ = fine;
}

}  // namespace seamlog::link
