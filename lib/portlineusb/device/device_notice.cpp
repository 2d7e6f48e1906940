#include "device_notice.h"

#include <dbt.h>

#include "device_table.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module, for its window class

namespace portline {
namespace {

constexpr wchar_t kWindowClass[] = L"PortlineUSBNotice";

// The file handle a handle notice names, or null for any other notice.
HANDLE NoticeFile(LPARAM parameter) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(parameter);
  if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_HANDLE ||
      header->dbch_size < sizeof(DEV_BROADCAST_HANDLE) - 1)
    return nullptr;
  return reinterpret_cast<const DEV_BROADCAST_HANDLE*>(parameter)->dbch_handle;
}

LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM event, LPARAM parameter) {
  if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, event, parameter);
  auto* table = reinterpret_cast<DeviceTable*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (event) {
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
      if (HANDLE file = NoticeFile(parameter); table != nullptr && file != nullptr)
        table->CloseNotified(file);
      break;
    default:
      break;
  }
  return TRUE;  // never vetoes a removal
}

bool RegisterNoticeClass() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = NoticeProc;
  windowClass.hInstance = reinterpret_cast<HINSTANCE>(&__ImageBase);
  windowClass.lpszClassName = kWindowClass;
  return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void DeviceNotice::Watch(HWND window, HANDLE file) {
  Withdraw();
  file_ = file;
  if (window == nullptr) return;
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = file;
  registration_ = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void DeviceNotice::Withdraw() {
  if (registration_ != nullptr) UnregisterDeviceNotification(registration_);
  registration_ = nullptr;
  file_ = nullptr;
}

HWND CreateNoticeWindow(DeviceTable& table) {
  static const bool registered = RegisterNoticeClass();
  if (!registered) return nullptr;
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr);
  if (window != nullptr) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&table));
  return window;
}

}  // namespace portline
