// One open device: its file handle, opened for overlapped I/O, with one 64-byte
// read kept pending between calls so that a poll never waits for the device.
#pragma once

#include <windows.h>

#include <cstdint>

#include "portline/portline_usb_contract.h"

namespace portline {

inline constexpr std::int32_t kFailure = kDeviceFailure;
inline constexpr DWORD kTransferSize = kMaxTransfer;

class DeviceChannel {
 public:
  DeviceChannel() = default;
  ~DeviceChannel() { Close(); }
  DeviceChannel(const DeviceChannel&) = delete;
  DeviceChannel& operator=(const DeviceChannel&) = delete;

  // Takes over a handle opened with FILE_FLAG_OVERLAPPED.
  bool Open(HANDLE file);
  bool IsOpen() const { return file_ != INVALID_HANDLE_VALUE; }

  // Bytes of a completed read copied to destination (0 to 64), 0 while the
  // read is still pending, kFailure when the device failed or is gone.
  std::int32_t Read(std::uint8_t* destination);
  // Sends up to 64 bytes and waits for them to go out (at most timeout_ms).
  // The number of bytes sent, or kFailure.
  std::int32_t Write(const std::uint8_t* source, std::int32_t count, DWORD timeout_ms = 2000);
  // Cancels the pending read, waits until it has finished with the buffer,
  // and closes the handle.
  void Close();

 private:
  // Issues the next read. False when the device refused it.
  bool StartRead();
  // Waits for an issued operation to end after cancelling it.
  void CancelAndWait(OVERLAPPED& operation);

  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE read_event_ = nullptr;
  HANDLE write_event_ = nullptr;
  OVERLAPPED read_{};
  bool read_pending_ = false;
  std::uint8_t read_buffer_[kTransferSize] = {};
  std::uint8_t write_buffer_[kTransferSize] = {};
};

}  // namespace portline
