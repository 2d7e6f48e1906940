// What the poll cycle asks of the device access library PortlineUSB.dll.
// Every call takes the 32-bit handle cell by reference, as the library does.
#pragma once

#include <cstdint>

#include "portline/portline_usb_contract.h"

namespace seamlog::link {

using portline::kDeviceFailure;
using portline::kMaxTransfer;
using portline::kReadBufferSize;

class DeviceLibrary {
 public:
  virtual ~DeviceLibrary() = default;

  // 0: opened, handle identifies the device. Anything else: not opened.
  virtual std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& extra1, std::int32_t& extra2) = 0;
  // Bytes stored at buffer[0..], 0 to 64; 0 when nothing waits; 9999 on failure.
  virtual std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) = 0;
  // Sends count bytes (1 to 64). 9999 on failure; anything else: sent.
  virtual std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) = 0;
  virtual std::int32_t CloseDevice(std::int32_t& handle) = 0;
};

}  // namespace seamlog::link
