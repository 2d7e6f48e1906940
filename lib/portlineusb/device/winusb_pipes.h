// The splicer through Microsoft's WinUSB driver (bound by PortlineWinUsb.inf).
// winusb.dll is loaded at run time, so the library still loads on Windows XP,
// which has no WinUSB.
#pragma once

#include <windows.h>

#include <memory>

#include "device_channel.h"

namespace portline {

// PipeIo for a device file opened with FILE_FLAG_OVERLAPPED and served by
// WinUSB: finds the interface's bulk IN and OUT pipes and sets their policies
// (IN never times out, OUT after 2 s). Null (with GetLastError) when WinUSB
// is not there or the device has no such pipes; the file is closed then.
std::unique_ptr<PipeIo> WinUsbPipes(HANDLE file);

}  // namespace portline
