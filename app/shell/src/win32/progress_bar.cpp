#include "progress_bar.h"

#include <windows.h>

#include <commctrl.h>

#include "seamlog/shell/status.h"

namespace seamlog::shell {
namespace {

// The bar is painted at most this often while a save runs.
constexpr DWORD kPaintEveryMs = 40;

}  // namespace

void ProgressBar::Show(bool inUse) { ShowWindow(bar_, inUse ? SW_SHOW : SW_HIDE); }

void ProgressBar::Start(std::int16_t steps) {
  const ProgressRange range = StartProgressRange(steps);
  ShowWindow(bar_, SW_SHOW);
  SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(range.value), 0);
  SendMessageA(bar_, PBM_SETRANGE32, static_cast<WPARAM>(range.minimum), range.maximum);
  maximum_ = range.maximum;
  RepaintNow(range.value);
  paintedPixel_ = 0;
  paintedAt_ = GetTickCount();
}

// Painting the bar costs about a millisecond, converting a record a few
// microseconds: painting every pixel of a 32,000-record save took longer
// than the conversion and the file together. So the bar is painted when its
// edge moves by a pixel and the last painting is kPaintEveryMs old, and
// always at the end of the run.
void ProgressBar::Set(std::int16_t value) {
  const bool last = value >= maximum_;
  const DWORD now = GetTickCount();
  if (!last && now - paintedAt_ < kPaintEveryMs) return;
  RECT bar;
  GetClientRect(bar_, &bar);
  const int pixel = MulDiv(value, bar.right - bar.left, maximum_);
  if (pixel == paintedPixel_ && !last) return;
  RepaintNow(value);
  paintedPixel_ = pixel;
  paintedAt_ = now;
}

// A themed bar animates forward steps from its own timer, which would not run
// during a save; a step back is drawn immediately, so the bar goes one past
// the value and then back to it.
void ProgressBar::RepaintNow(int value) {
  if (value >= maximum_) SendMessageA(bar_, PBM_SETRANGE32, 0, maximum_ + 1);
  SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(value + 1), 0);
  SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(value), 0);
  if (value >= maximum_) SendMessageA(bar_, PBM_SETRANGE32, 0, maximum_);
  UpdateWindow(bar_);
}

}  // namespace seamlog::shell
