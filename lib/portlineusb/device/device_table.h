// The library's table of open devices. A handle names a slot and the
// generation of what the slot holds, so a handle kept after its close never
// reaches the next device put in that slot. Every call takes the table's lock
// only while it looks at the table: a read or write holds its own slot's lock
// while it uses the device, so a call that waits holds up no call on another
// device, and a device that is being closed has already left the table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "device_channel.h"
#include "device_claim.h"
#include "device_notice.h"
#include "lock.h"

namespace portline {

struct OpenDevice {
  DeviceClaim claim;  // released after the channel has closed
  DeviceChannel channel;
  DeviceNotice notice;  // withdrawn before the channel closes
};

class DeviceTable {
 public:
  static constexpr std::size_t kSlots = 8;

  DeviceTable() = default;
  ~DeviceTable();
  DeviceTable(const DeviceTable&) = delete;
  DeviceTable& operator=(const DeviceTable&) = delete;

  // Puts an open device in a free slot: its handle (never 0 nor negative), or
  // 0 when the table is full.
  std::int32_t Add(std::unique_ptr<OpenDevice> device);
  // Runs use(channel) on the device a handle names, under that slot's lock
  // only; kFailure when it names none.
  template <typename Use>
  std::int32_t With(std::int32_t handle, Use use) {
    Slot* slot = Locate(handle);
    if (slot == nullptr) return kFailure;
    Held busy(slot->use);
    // Closed while this call waited for the slot.
    if (Locate(handle) != slot) return kFailure;
    return use(slot->device->channel);
  }
  // Takes the device a handle names out of the table (null when none), once
  // a call using it has ended; the caller closes it outside every lock.
  std::unique_ptr<OpenDevice> Remove(std::int32_t handle);

  // The window that receives this table's device notices (device_notice.h),
  // made on the calling thread when there is none, or when the thread that
  // had it has ended. Null when it cannot be made.
  HWND NoticeWindow();
  // With no device left open, destroys the notice window, from the thread
  // that made it: a library that is unloaded leaves no window behind whose
  // procedure has gone with it.
  void DropIdleNoticeWindow();
  // Closes, in place, the device whose notice names `file`: the notice is
  // withdrawn, then the channel closed, under that slot's lock. The handle
  // keeps naming the slot, so its calls fail until the caller closes it.
  // False when no open device watches `file`.
  bool CloseNotified(HANDLE file);

 private:
  struct Slot {
    std::unique_ptr<OpenDevice> device;
    std::uint32_t generation = 0;
    Lock use;  // held while a call uses the device
  };
  // Find under the table lock.
  Slot* Locate(std::int32_t handle);
  // The occupied slot a handle names, or null.
  Slot* Find(std::int32_t handle);

  Lock lock_;
  std::array<Slot, kSlots> slots_;
  Lock windowLock_;
  HWND window_ = nullptr;
};

}  // namespace portline
