#include "gui_automation/screenshot.h"

#include <windows.h>

#include <fstream>

#include "gui_automation/controls.h"
#include "gui_automation/files.h"
#include "win32util/handles.h"

namespace automation {

bool Screenshot(const std::string& path) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  win32util::ClientDC screenDc;
  const HDC screen = screenDc.get();
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    {
      win32util::SelectedObject selected(memory, bitmap);
      BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
      GdiFlush();
    }
    const DWORD row = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD image = row * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), image);
    ok = static_cast<bool>(out);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  return ok;
}

void RequestScreenshot(const std::string& folder, const std::string& name) {
  if (folder.empty()) return;
  const std::string done = folder + "\\" + name + ".done";
  WriteWholeFile(folder + "\\" + name + ".request", name);
  WaitFor([&] { return FileExists(done); }, 20000, 50);
}

}  // namespace automation
