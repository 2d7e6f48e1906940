// One open device with one 64-byte read kept pending between calls, so that a
// poll never waits for the device. The pipes themselves are reached through a
// PipeIo: the Portline driver's file handle, or WinUSB.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "portline/portline_usb_contract.h"
#include "win32util/handles.h"

namespace portline {

inline constexpr std::int32_t kFailure = kDeviceFailure;
inline constexpr DWORD kTransferSize = kMaxTransfer;
// How long a write may take, and how long closing waits for the pending read
// after cancelling it.
inline constexpr DWORD kWriteTimeoutMs = 2000;
inline constexpr DWORD kCloseWaitMs = 1000;

// The bulk pipes of one device. Operations are overlapped: each completes by
// signalling the event in its OVERLAPPED.
class PipeIo {
 public:
  virtual ~PipeIo() = default;
  // Issue a transfer; false (with GetLastError) when it was refused at once.
  virtual bool StartRead(std::uint8_t* buffer, DWORD length, OVERLAPPED& operation) = 0;
  virtual bool StartWrite(const std::uint8_t* bytes, DWORD length, OVERLAPPED& operation) = 0;
  // An issued transfer's outcome; false with ERROR_IO_INCOMPLETE while it is
  // still under way.
  virtual bool Result(OVERLAPPED& operation, DWORD& moved) = 0;
  // Ask the device to end an issued transfer early.
  virtual void Cancel(OVERLAPPED& operation) = 0;
  // After a failed transfer: clear a halted (stalled) pipe so that the device
  // can be read again after the next open. inbound: the read pipe failed.
  virtual void Recover(bool inbound) = 0;
  // Close the device; whatever is still issued gets cancelled.
  virtual void Release() = 0;
};

// A buffer with the OVERLAPPED that is using it. Kept on the heap: after a
// close that could not see a transfer end, the block is given up rather than
// freed under the device's feet.
struct Transfer {
  OVERLAPPED operation{};
  win32util::KernelHandle event;  // manual reset; signalled when the transfer ends
  std::uint8_t bytes[kTransferSize] = {};
};

class DeviceChannel {
 public:
  DeviceChannel() = default;
  ~DeviceChannel() { Close(); }
  DeviceChannel(const DeviceChannel&) = delete;
  DeviceChannel& operator=(const DeviceChannel&) = delete;

  // Takes over the pipes of an opened device.
  bool Open(std::unique_ptr<PipeIo> pipes);
  bool IsOpen() const { return pipes_ != nullptr; }

  // Bytes of a completed read copied to destination (0 to 64), 0 while the
  // read is still pending, kFailure when the device failed or is gone (after
  // clearing a halted pipe).
  std::int32_t Read(std::uint8_t* destination);
  // Sends up to 64 bytes and waits for them to go out (at most timeoutMs).
  // The number of bytes sent, or kFailure.
  std::int32_t Write(const std::uint8_t* source, std::int32_t count, DWORD timeoutMs = kWriteTimeoutMs);
  // Cancels the pending read, waits at most kCloseWaitMs for it to end, and
  // closes the device.
  void Close();

 private:
  bool StartRead();
  // Cancels a transfer and waits up to waitMs for it; false if it is still
  // under way.
  bool CancelAndWait(Transfer& transfer, DWORD waitMs);

  std::unique_ptr<PipeIo> pipes_;
  std::unique_ptr<Transfer> read_;
  std::unique_ptr<Transfer> write_;
  bool readPending_ = false;
};

// PipeIo over a file handle opened with FILE_FLAG_OVERLAPPED: the Portline
// driver's device interface (or, in tests, a named pipe). A failed transfer
// is followed by the driver's pipe reset control.
std::unique_ptr<PipeIo> FilePipes(HANDLE file);

}  // namespace portline
