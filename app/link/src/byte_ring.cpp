#include "seamlog/link/byte_ring.h"

namespace seamlog::link {

void ByteRing::Reset() {
  slots_.fill(0);
  writeIndex_ = 0;
  count_ = 0;
}

std::int16_t ByteRing::Push(const std::uint8_t* source, std::int16_t n) {
  std::int16_t stored = 0;
  for (std::int16_t i = 0; i < n && count_ < kCapacity; ++i) {
    slots_[static_cast<std::size_t>(writeIndex_)] = source[i];
    writeIndex_ = static_cast<std::int16_t>((writeIndex_ + 1) % kCapacity);
    ++count_;
    ++stored;
  }
  return stored;
}

std::int16_t ByteRing::Take(std::uint8_t* destination, std::int16_t n) {
  std::int16_t taken = 0;
  for (std::int16_t i = 0; i < n && count_ > 0; ++i) {
    destination[i] = slots_[static_cast<std::size_t>(OldestIndex())];
    --count_;
    ++taken;
  }
  return taken;
}

}  // namespace seamlog::link
