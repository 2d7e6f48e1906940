// PortlineUSB.dll for the real splicer: finds the Portline driver's device
// interface through SetupAPI and moves bytes with overlapped reads and writes.
// DeviceHandle holds an index into this library's own table of open devices
// (1-based, 0 is never handed out), so it fits the caller's 32-bit cell on
// every platform.
#include <windows.h>
#include <initguid.h>
#include <setupapi.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "PortlinePublic.h"
#include "device_channel.h"

namespace portline {
namespace {

// Results of PortlineUsbCreateDevice besides 0 (opened).
constexpr std::int32_t kNoDevice = kCreateNoDevice;
constexpr std::int32_t kOpenFailed = kCreateOpenFailed;
constexpr std::int32_t kTableFull = kCreateTooManyOpen;
constexpr std::int32_t kBadArgument = kCreateBadArgument;

constexpr std::size_t kMaxDevices = 8;

std::mutex table_lock;
std::array<std::unique_ptr<DeviceChannel>, kMaxDevices> table;

// The channel a handle cell names, or null.
DeviceChannel* Lookup(const std::int32_t* handle) {
  if (handle == nullptr || *handle < 1 || *handle > static_cast<std::int32_t>(kMaxDevices)) return nullptr;
  DeviceChannel* channel = table[static_cast<std::size_t>(*handle - 1)].get();
  return channel != nullptr && channel->IsOpen() ? channel : nullptr;
}

// The interface path of the first present Portline device, or empty; sets
// found to the number of Portline interfaces present.
std::wstring FirstDevicePath(std::int32_t& found) {
  found = 0;
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_PORTLINE, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::wstring path;
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_PORTLINE, i, &iface); ++i) {
    ++found;
    if (!path.empty()) continue;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<std::uint8_t> storage(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, needed, nullptr, nullptr)) path = detail->DevicePath;
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

}  // namespace
}  // namespace portline

using namespace portline;

// Opens the first Portline device. 0: opened, *handle names it. Otherwise
// 1 no device present, 2 the device would not open, 3 too many open.
// *status receives the Windows error code of a failure (0 on success) and
// *found the number of Portline devices present.
extern "C" std::int32_t __stdcall PortlineUsbCreateDevice(std::int32_t* handle, std::int32_t* status,
                                                          std::int32_t* found) {
  if (handle == nullptr || status == nullptr || found == nullptr) return kBadArgument;
  *status = 0;
  const std::wstring path = FirstDevicePath(*found);
  if (path.empty()) {
    *status = static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND);
    return kNoDevice;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *status = static_cast<std::int32_t>(GetLastError());
    return kOpenFailed;
  }
  std::lock_guard<std::mutex> guard(table_lock);
  for (std::size_t slot = 0; slot < kMaxDevices; ++slot) {
    if (table[slot] != nullptr) continue;
    auto channel = std::make_unique<DeviceChannel>();
    if (!channel->Open(file)) {
      *status = static_cast<std::int32_t>(GetLastError());
      return kOpenFailed;
    }
    table[slot] = std::move(channel);
    *handle = static_cast<std::int32_t>(slot + 1);
    return 0;
  }
  CloseHandle(file);
  *status = static_cast<std::int32_t>(ERROR_TOO_MANY_OPEN_FILES);
  return kTableFull;
}

// Up to 64 bytes into buffer: their number, 0 while nothing has arrived,
// 9999 on failure (unplugged, unknown handle).
extern "C" std::int32_t __stdcall PortlineUsbReadFile(std::int32_t* handle, std::uint8_t* buffer) {
  std::lock_guard<std::mutex> guard(table_lock);
  DeviceChannel* channel = Lookup(handle);
  if (channel == nullptr || buffer == nullptr) return kFailure;
  return channel->Read(buffer);
}

// Sends the first min(*count, 64) bytes: their number, or 9999 on failure.
extern "C" std::int32_t __stdcall PortlineUsbWriteFile(std::int32_t* handle, std::uint8_t* bytes,
                                                       std::int32_t* count) {
  std::lock_guard<std::mutex> guard(table_lock);
  DeviceChannel* channel = Lookup(handle);
  if (channel == nullptr || bytes == nullptr || count == nullptr) return kFailure;
  return channel->Write(bytes, *count);
}

// Closes the device: 0, or 9999 for a handle that names no open device.
extern "C" std::int32_t __stdcall PortlineUsbCloseDevice(std::int32_t* handle) {
  std::lock_guard<std::mutex> guard(table_lock);
  if (Lookup(handle) == nullptr) return kFailure;
  table[static_cast<std::size_t>(*handle - 1)].reset();
  *handle = 0;
  return 0;
}
