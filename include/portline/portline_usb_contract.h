// The contract of the device access library PortlineUSB.dll: its four
// functions and every number they hand back. Seamlog's binding, the real
// library and the simulated splicer all take it from here.
//
// Every function uses the standard 32-bit calling convention (stdcall),
// returns a 32-bit signed integer and takes the caller's 32-bit handle cell
// by reference. The library is loaded by file name and each function looked
// up by its exported, undecorated name.
//
//   PortlineUsbCreateDevice(handle, status, found)
//     kCreateOpened (0): opened, *handle now names the device. Any other
//     result: not opened (the kCreate... codes below say why). *status and
//     *found are the library's own: the real library puts the Windows error
//     code of a failure in *status and the number of devices present in
//     *found. Seamlog passes both as 0 and never reads them.
//   PortlineUsbReadFile(handle, buffer)
//     buffer holds kReadBufferSize bytes. The number of bytes stored from its
//     start, 0 to kMaxTransfer (0: nothing has arrived; a read never waits
//     for data), or kDeviceFailure.
//   PortlineUsbWriteFile(handle, bytes, count)
//     Sends *count bytes (1 to kMaxTransfer). kDeviceFailure on failure; any
//     other value: sent (the real library returns the number sent).
//   PortlineUsbCloseDevice(handle)
//     Closes the device: 0, or kDeviceFailure for a handle that names no open
//     device. Seamlog does not look at the result.
#pragma once

#include <cstdint>

namespace portline {

// Largest read or write, in bytes.
inline constexpr std::int32_t kMaxTransfer = 64;
// A read buffer holds one byte more than the largest read.
inline constexpr std::int32_t kReadBufferSize = kMaxTransfer + 1;
// A read or write that failed: the device is gone or broken.
inline constexpr std::int32_t kDeviceFailure = 9999;

// Results of PortlineUsbCreateDevice.
inline constexpr std::int32_t kCreateOpened = 0;
// No splicer is attached (the simulator: it refuses this create).
inline constexpr std::int32_t kCreateNoDevice = 1;
// A splicer is attached but would not open (the simulator: already open).
inline constexpr std::int32_t kCreateOpenFailed = 2;
// The library already has as many devices open as it can hold.
inline constexpr std::int32_t kCreateTooManyOpen = 3;
// A null handle, status or found pointer.
inline constexpr std::int32_t kCreateBadArgument = 4;
// Every splicer present is held by another program (the real library: one
// splicer, one reader).
inline constexpr std::int32_t kCreateAllHeld = 5;
// The simulator's settings (PortlineSim.ini) or report cannot be used.
inline constexpr std::int32_t kCreateNotConfigured = 6;

}  // namespace portline

#if defined(_WIN32)
#define PORTLINE_USB_CALL __stdcall
#else
#define PORTLINE_USB_CALL
#endif

// The four exports. A library defines them; Seamlog looks them up by name
// and calls them through these pointer types.
extern "C" {
typedef std::int32_t(PORTLINE_USB_CALL* PortlineUsbCreateDeviceFn)(std::int32_t* handle, std::int32_t* status,
                                                                   std::int32_t* found);
typedef std::int32_t(PORTLINE_USB_CALL* PortlineUsbReadFileFn)(std::int32_t* handle, std::uint8_t* buffer);
typedef std::int32_t(PORTLINE_USB_CALL* PortlineUsbWriteFileFn)(std::int32_t* handle, std::uint8_t* bytes,
                                                                std::int32_t* count);
typedef std::int32_t(PORTLINE_USB_CALL* PortlineUsbCloseDeviceFn)(std::int32_t* handle);

std::int32_t PORTLINE_USB_CALL PortlineUsbCreateDevice(std::int32_t* handle, std::int32_t* status,
                                                       std::int32_t* found);
std::int32_t PORTLINE_USB_CALL PortlineUsbReadFile(std::int32_t* handle, std::uint8_t* buffer);
std::int32_t PORTLINE_USB_CALL PortlineUsbWriteFile(std::int32_t* handle, std::uint8_t* bytes, std::int32_t* count);
std::int32_t PORTLINE_USB_CALL PortlineUsbCloseDevice(std::int32_t* handle);
}
