#include "device_table.h"

namespace portline {
namespace {

// A handle: the slot number (1 to 8) in its low 4 bits, the slot's generation
// (1 to 2^27 - 1) above them.
constexpr std::uint32_t kSlotBits = 4;
constexpr std::uint32_t kGenerationLimit = 1u << 27;

}  // namespace

std::int32_t DeviceTable::Add(std::unique_ptr<OpenDevice> device) {
  Held held(lock_);
  for (std::size_t i = 0; i < kSlots; ++i) {
    Slot& slot = slots_[i];
    if (slot.device != nullptr) continue;
    slot.generation = slot.generation + 1 < kGenerationLimit ? slot.generation + 1 : 1;
    slot.device = std::move(device);
    return static_cast<std::int32_t>(slot.generation << kSlotBits | static_cast<std::uint32_t>(i + 1));
  }
  return 0;
}

DeviceTable::Slot* DeviceTable::Find(std::int32_t handle) {
  if (handle <= 0) return nullptr;
  const auto bits = static_cast<std::uint32_t>(handle);
  const std::uint32_t number = bits & ((1u << kSlotBits) - 1);
  if (number < 1 || number > kSlots) return nullptr;
  Slot& slot = slots_[number - 1];
  return slot.device != nullptr && slot.generation == bits >> kSlotBits ? &slot : nullptr;
}

DeviceTable::Slot* DeviceTable::Locate(std::int32_t handle) {
  Held held(lock_);
  return Find(handle);
}

DeviceTable::~DeviceTable() {
  if (window_ != nullptr) DestroyWindow(window_);
}

HWND DeviceTable::NoticeWindow() {
  Held held(windowLock_);
  if (window_ == nullptr || !IsWindow(window_)) window_ = CreateNoticeWindow(*this);
  return window_;
}

void DeviceTable::DropIdleNoticeWindow() {
  Held held(windowLock_);
  if (window_ == nullptr) return;
  {
    Held table(lock_);
    for (const Slot& slot : slots_)
      if (slot.device != nullptr) return;
  }
  // Fails on another thread's window, which then stays for the next device.
  if (DestroyWindow(window_) || !IsWindow(window_)) window_ = nullptr;
}

bool DeviceTable::CloseNotified(HANDLE file) {
  for (Slot& slot : slots_) {
    auto watching = [&] {
      Held held(lock_);
      return slot.device != nullptr && slot.device->notice.Watches(file);
    };
    if (!watching()) continue;
    Held busy(slot.use);
    // Closed or replaced while this waited for the slot.
    if (!watching()) continue;
    slot.device->notice.Withdraw();
    slot.device->channel.Close();
    return true;
  }
  return false;
}

std::unique_ptr<OpenDevice> DeviceTable::Remove(std::int32_t handle) {
  Slot* slot = Locate(handle);
  if (slot == nullptr) return nullptr;
  Held busy(slot->use);
  Held held(lock_);
  // Another close may have taken it while this one waited.
  return Find(handle) == slot ? std::move(slot->device) : nullptr;
}

}  // namespace portline
