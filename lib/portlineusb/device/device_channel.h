// One open device with a queue of 64-byte reads kept in flight between calls,
// so that a poll never waits for the device and the device never waits for a
// poll. The pipes themselves are reached through a PipeIo: the Portline
// driver's file handle, or WinUSB.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "portline/portline_usb_contract.h"
#include "win32util/handles.h"

namespace portline {

inline constexpr std::int32_t kFailure = kDeviceFailure;
inline constexpr DWORD kTransferSize = kMaxTransfer;
// How long a write may take, and how long closing waits for the queued reads
// after cancelling them.
inline constexpr DWORD kWriteTimeoutMs = 2000;
inline constexpr DWORD kCloseWaitMs = 1000;
// Reads kept in flight. A poll timer throttled to 15.6 ms (a minimised window
// on Windows 11) still finds up to this many packets waiting at each tick:
// 128 x 64 bytes per tick is about 520 KB/s.
inline constexpr std::size_t kReadsQueued = 128;

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

  // Bytes of the oldest queued read copied to destination (0 to 64), once it
  // has completed; 0 while it is still under way. Reads are handed out in the
  // order they were issued, one a call. kFailure when the oldest read failed
  // or none could be issued: the reads behind it are cancelled and the halted
  // pipe cleared first.
  std::int32_t Read(std::uint8_t* destination);
  // Sends up to 64 bytes and waits for them to go out (at most timeoutMs).
  // The number of bytes sent, or kFailure.
  std::int32_t Write(const std::uint8_t* source, std::int32_t count, DWORD timeoutMs = kWriteTimeoutMs);
  // Cancels the queued reads, waits at most kCloseWaitMs for them to end, and
  // closes the device. A read that still has not ended has its block given up.
  void Close();

 private:
  std::unique_ptr<Transfer>& Slot(std::size_t age) { return reads_[(oldest_ + age) % kReadsQueued]; }
  // Issues reads until kReadsQueued are in flight; false when the device
  // refused one (the reads already issued stay queued).
  bool FillQueue();
  // Asks the device to end every queued read that has not ended yet.
  void CancelQueued();
  // Waits for the queued reads to end, waitMs in all; true when all did.
  // With abandon the queue is emptied, and the blocks of reads still under
  // way are given up.
  bool WaitQueued(DWORD waitMs, bool abandon);
  // Cancels a transfer and waits up to waitMs for it; false if it is still
  // under way.
  bool CancelAndWait(Transfer& transfer, DWORD waitMs);

  std::unique_ptr<PipeIo> pipes_;
  // A ring of transfer blocks: queued_ reads in flight from oldest_ on.
  std::unique_ptr<Transfer> reads_[kReadsQueued];
  std::size_t oldest_ = 0;
  std::size_t queued_ = 0;
  std::unique_ptr<Transfer> write_;
};

// PipeIo over a file handle opened with FILE_FLAG_OVERLAPPED: the Portline
// driver's device interface (or, in tests, a named pipe). A failed transfer
// is followed by the driver's pipe reset control.
std::unique_ptr<PipeIo> FilePipes(HANDLE file);

}  // namespace portline
