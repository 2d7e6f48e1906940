#include "ui.h"

#include <cstring>

namespace seamlog::shell {

using win32util::ClientDC;
using win32util::Font;
using win32util::SelectedObject;

int ScreenDpi() {
  ClientDC screen;
  const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSY);
  return dpi > 0 ? dpi : 96;
}

RECT TwipsRect(int left, int top, int width, int height, int dpi) {
  const int x = TwipsToPixels(left, dpi);
  const int y = TwipsToPixels(top, dpi);
  return RECT{x, y, x + TwipsToPixels(width, dpi), y + TwipsToPixels(height, dpi)};
}

Font MessageFont() {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof metrics;
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
    return Font(CreateFontIndirectA(&metrics.lfMessageFont));
  return Font(static_cast<HFONT>(nullptr));
}

namespace {

bool FaceIs(HFONT font, const char* face) {
  ClientDC screen;
  SelectedObject selected(screen.get(), font);
  char actual[LF_FACESIZE] = {};
  GetTextFaceA(screen.get(), LF_FACESIZE, actual);
  return lstrcmpiA(actual, face) == 0;
}

}  // namespace

Font FixedPitchFont(int pointSize, int dpi) {
  LOGFONTA wanted{};
  wanted.lfHeight = -MulDiv(pointSize, dpi, 72);
  wanted.lfWeight = FW_NORMAL;
  wanted.lfCharSet = DEFAULT_CHARSET;
  wanted.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
  std::strcpy(wanted.lfFaceName, "MS Gothic");
  Font font(CreateFontIndirectA(&wanted));
  if (font && FaceIs(font.get(), wanted.lfFaceName)) return font;

  // No MS Gothic here: any fixed-pitch font the mapper picks will do.
  wanted.lfFaceName[0] = '\0';
  return Font(CreateFontIndirectA(&wanted));
}

}  // namespace seamlog::shell
