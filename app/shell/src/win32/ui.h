#pragma once
// Layout in twips and the fonts of Seamlog's windows.
#include <windows.h>

#include "win32util/handles.h"

namespace seamlog::shell {

inline constexpr int kTwipsPerInch = 1440;

// The screen's dots per inch; the program is system DPI-aware.
int ScreenDpi();

inline int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, kTwipsPerInch); }

// A rectangle given in twips (left, top, width, height), in pixels.
RECT TwipsRect(int left, int top, int width, int height, int dpi);

// The system's message-box font, for buttons and labels.
win32util::Font MessageFont();

// "MS Gothic", or whatever fixed-pitch font the font mapper offers when it
// is missing.
win32util::Font FixedPitchFont(int pointSize, int dpi);

inline void SetFont(HWND control, HFONT font) {
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

}  // namespace seamlog::shell
