#include "win32util/run_time_error.h"

#include <atomic>
#include <string>

namespace win32util {
namespace {

std::atomic<HWND> owner{nullptr};

}  // namespace

void SetRunTimeErrorOwner(HWND window) { owner.store(window); }

void ShowRunTimeError(int number, std::string_view description) {
  static std::atomic<bool> ending{false};
  if (ending.exchange(true)) return;
  const std::string heading = number == 0 ? "Run-time error:" : "Run-time error '" + std::to_string(number) + "':";
  const std::string text = heading + "\r\n\r\n" + std::string(description);
  HWND boxOwner = owner.load();
  if (boxOwner == nullptr || !IsWindow(boxOwner)) boxOwner = GetActiveWindow();
  MessageBoxA(boxOwner, text.c_str(), "Seamlog", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
  ExitProcess(static_cast<UINT>(number == 0 ? 1 : number));
}

}  // namespace win32util
