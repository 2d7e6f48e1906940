// A fixed 256-byte ring without a read index: the oldest waiting byte sits
// `count` slots before the write index. Counts and indices are 16-bit, as the
// rest of the link's bookkeeping.
#pragma once

#include <array>
#include <cstdint>

namespace seamlog::link {

class ByteRing {
 public:
  static constexpr std::int16_t kCapacity = 256;

  // Empties the ring and zeroes every slot.
  void Reset();

  // Appends up to n bytes from source; bytes that do not fit are dropped.
  // Returns the number stored.
  std::int16_t Push(const std::uint8_t* source, std::int16_t n);

  // Removes up to n of the oldest bytes into destination, in arrival order.
  // Returns the number removed. The write index never moves here.
  std::int16_t Take(std::uint8_t* destination, std::int16_t n);

  std::int16_t Count() const { return count_; }
  std::int16_t WriteIndex() const { return writeIndex_; }
  std::uint8_t Slot(std::int16_t index) const { return slots_[static_cast<std::size_t>(index) & 0xFF]; }

 private:
  std::int16_t OldestIndex() const {
    return static_cast<std::int16_t>((writeIndex_ + kCapacity - count_) % kCapacity);
  }

  std::array<std::uint8_t, kCapacity> slots_{};
  std::int16_t writeIndex_ = 0;
  std::int16_t count_ = 0;
};

// The two rings between the device library and the text: bytes read from the
// splicer wait in the receive ring, bytes to send in the transmit ring.
class DeviceRings {
 public:
  void ResetRings() {
    receive_.Reset();
    transmit_.Reset();
  }
  std::int16_t PushReceived(const std::uint8_t* source, std::int16_t n) { return receive_.Push(source, n); }
  std::int16_t TakeReceived(std::uint8_t* destination, std::int16_t n) { return receive_.Take(destination, n); }
  std::int16_t ReceivedCount() const { return receive_.Count(); }
  std::int16_t TakeTransmit(std::uint8_t* destination, std::int16_t n) { return transmit_.Take(destination, n); }
  std::int16_t TransmitCount() const { return transmit_.Count(); }

  // Nothing in the program queues bytes for the splicer; tests and tools may.
  std::int16_t PushTransmit(const std::uint8_t* source, std::int16_t n) { return transmit_.Push(source, n); }

  const ByteRing& Receive() const { return receive_; }
  const ByteRing& Transmit() const { return transmit_; }

 private:
  ByteRing receive_;
  ByteRing transmit_;
};

}  // namespace seamlog::link
