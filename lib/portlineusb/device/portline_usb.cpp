// PortlineUSB.dll for the real splicer: finds the splicers through SetupAPI,
// skips those another program holds, and moves bytes through the driver that
// serves the device: the Portline driver or WinUSB. An open device lets
// Windows take it away (device_notice.h). DeviceHandle names a slot of this library's own table
// (device_table.h), so it fits the caller's 32-bit cell on every platform.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "device_channel.h"
#include "device_table.h"
#include "splicer_finder.h"
#include "winusb_pipes.h"
#ifdef PORTLINEUSB_TEST_SEAM
#include "device_list_seam.h"
#endif

namespace portline {
namespace {

// Never destroyed: at process detach Windows holds the loader lock, and
// closing a device there would call winusb.dll and wait for cancelled reads.
// Devices still open when the library is unloaded stay open until the
// process ends (Seamlog never unloads it); the system closes them then.
DeviceTable& table = *new DeviceTable;

// The splicer's pipes; `file` receives the device handle they use, for its
// notices.
std::unique_ptr<PipeIo> OpenPipes(const FoundSplicer& splicer, HANDLE& file) {
  file = CreateFileW(splicer.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return splicer.backend == Backend::WinUsb ? WinUsbPipes(file) : FilePipes(file);
}

// The splicers present; in the test build, those PORTLINEUSB_DEVICES lists
// when it is set.
std::vector<FoundSplicer> Splicers() {
#ifdef PORTLINEUSB_TEST_SEAM
  if (std::vector<FoundSplicer> listed; SplicersFromEnvironment(listed)) return listed;
#endif
  return FindSplicers();
}

}  // namespace
}  // namespace portline

using namespace portline;

// Opens the first splicer that no other program holds. 0: opened, *handle
// names it. Otherwise 1 no splicer present, 2 none would open, 3 too many
// open, 4 a null argument, 5 every splicer present is held by another program.
// *status receives the Windows error code of a failure (0 on success) and
// *found the number of splicers present.
extern "C" std::int32_t __stdcall PortlineUsbCreateDevice(std::int32_t* handle, std::int32_t* status,
                                                          std::int32_t* found) {
  if (handle == nullptr || status == nullptr || found == nullptr) return kCreateBadArgument;
  *status = 0;
  const std::vector<FoundSplicer> splicers = Splicers();
  *found = static_cast<std::int32_t>(splicers.size());
  if (splicers.empty()) {
    *status = static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND);
    return kCreateNoDevice;
  }
  std::size_t held = 0;
  DWORD error = ERROR_FILE_NOT_FOUND;
  for (const FoundSplicer& splicer : splicers) {
    auto device = std::make_unique<OpenDevice>();
    if (!device->claim.Take(splicer.path)) {
      // Held by another program of this user: skipped. A claim name taken by
      // something else is a failure to open, reported with kClaimNameTaken.
      error = GetLastError();
      if (error == ERROR_BUSY) ++held;
      continue;
    }
    HANDLE file = nullptr;
    if (!device->channel.Open(OpenPipes(splicer, file))) {
      error = GetLastError();
      continue;
    }
    // So that the device can be disabled or its driver updated while the
    // program runs: the handle is closed when Windows asks to remove it.
    device->notice.Watch(table.NoticeWindow(), file);
    const std::int32_t opened = table.Add(std::move(device));
    if (opened == 0) {
      *status = static_cast<std::int32_t>(ERROR_TOO_MANY_OPEN_FILES);
      return kCreateTooManyOpen;
    }
    *handle = opened;
    return kCreateOpened;
  }
  *status = static_cast<std::int32_t>(error);
  return held == splicers.size() ? kCreateAllHeld : kCreateOpenFailed;
}

// Up to 64 bytes into buffer: their number, 0 while nothing has arrived,
// 9999 on failure (unplugged, stalled, unknown handle).
extern "C" std::int32_t __stdcall PortlineUsbReadFile(std::int32_t* handle, std::uint8_t* buffer) {
  if (handle == nullptr || buffer == nullptr) return kFailure;
  return table.With(*handle, [&](DeviceChannel& channel) { return channel.Read(buffer); });
}

// Sends the first min(*count, 64) bytes: their number, or 9999 on failure.
extern "C" std::int32_t __stdcall PortlineUsbWriteFile(std::int32_t* handle, std::uint8_t* bytes,
                                                       std::int32_t* count) {
  if (handle == nullptr || bytes == nullptr || count == nullptr) return kFailure;
  return table.With(*handle, [&](DeviceChannel& channel) { return channel.Write(bytes, *count); });
}

// Closes the device: 0, or 9999 for a handle that names no open device. The
// close itself happens outside the table lock.
extern "C" std::int32_t __stdcall PortlineUsbCloseDevice(std::int32_t* handle) {
  if (handle == nullptr) return kFailure;
  std::unique_ptr<OpenDevice> device = table.Remove(*handle);
  if (device == nullptr) return kFailure;
  *handle = 0;
  device.reset();
  table.DropIdleNoticeWindow();
  return 0;
}
