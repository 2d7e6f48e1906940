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

bool PollTimer::Start(DWORD period_ms) {
  Stop();
  period_ms_ = period_ms;
  generation_.fetch_add(1);
  outstanding_.store(false);
  SetFineResolution(period_ms < kFinePeriodLimit);
  return CreateTimerQueueTimer(&timer_, nullptr, &PollTimer::Fire, this, period_ms, period_ms,
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
  if (fine == fine_resolution_) return;
  const TimePeriodFn fn = LookUpWinmm(fine ? "timeBeginPeriod" : "timeEndPeriod");
  if (fn == nullptr) return;
  fn(1);
  fine_resolution_ = fine;
}

}  // namespace seamlog::link
