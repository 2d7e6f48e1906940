#pragma once
// The main window's progress bar (InformationBar) during a save. A save
// converts without giving the message loop a turn, so the bar paints itself
// at once, but only as often as a painting is worth it.
#include <windows.h>

#include <cstdint>

namespace seamlog::shell {

class ProgressBar {
 public:
  void Attach(HWND bar) { bar_ = bar; }
  // In use or not: the bar's in-use state is its visibility.
  void Show(bool inUse);
  void Start(std::int16_t steps);
  void Set(std::int16_t value);

 private:
  void RepaintNow(int value);

  HWND bar_ = nullptr;
  int maximum_ = 1;
  int paintedPixel_ = 0;
  DWORD paintedAt_ = 0;  // GetTickCount of the last painting
};

}  // namespace seamlog::shell
