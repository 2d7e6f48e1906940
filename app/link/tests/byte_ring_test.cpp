#include "seamlog/link/byte_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace seamlog::link {
namespace {

std::vector<std::uint8_t> Sequence(int n, std::uint8_t first = 1) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

std::vector<std::uint8_t> TakeAll(ByteRing& ring, std::int16_t n) {
  std::vector<std::uint8_t> out(65, 0);
  out.resize(static_cast<std::size_t>(ring.Take(out.data(), n)));
  return out;
}

// Fills and drains a ring until its write index stands at `index`, empty.
void MoveWriteIndexTo(ByteRing& ring, int index) {
  const auto bytes = Sequence(index);
  ring.Push(bytes.data(), static_cast<std::int16_t>(index));
  std::uint8_t sink[256];
  ring.Take(sink, 256);
}

TEST(ByteRing, PushingTenBytesIntoAnEmptyRingFillsSlotsZeroToNine) {
  ByteRing ring;
  const auto bytes = Sequence(10, 0x41);
  EXPECT_EQ(ring.Push(bytes.data(), 10), 10);
  EXPECT_EQ(ring.WriteIndex(), 10);
  EXPECT_EQ(ring.Count(), 10);
  for (std::int16_t i = 0; i < 10; ++i) EXPECT_EQ(ring.Slot(i), bytes[static_cast<std::size_t>(i)]);
  EXPECT_EQ(TakeAll(ring, 64), bytes);
  EXPECT_EQ(ring.Count(), 0);
}

TEST(ByteRing, APushIntoANearlyFullRingStoresWhatFitsAndDropsTheRest) {
  ByteRing ring;
  const auto first = Sequence(250);
  ASSERT_EQ(ring.Push(first.data(), 250), 250);
  const auto second = Sequence(10, 0xA0);
  EXPECT_EQ(ring.Push(second.data(), 10), 6);
  EXPECT_EQ(ring.Count(), 256);
  EXPECT_EQ(ring.Push(second.data(), 1), 0) << "a full ring takes nothing more";
  std::vector<std::uint8_t> all(256);
  ASSERT_EQ(ring.Take(all.data(), 256), 256);
  EXPECT_EQ(std::vector<std::uint8_t>(all.begin() + 250, all.end()),
            std::vector<std::uint8_t>(second.begin(), second.begin() + 6));
}

TEST(ByteRing, APushWrapsFromTheLastSlotToTheFirst) {
  ByteRing ring;
  MoveWriteIndexTo(ring, 250);
  ASSERT_EQ(ring.WriteIndex(), 250);
  ASSERT_EQ(ring.Count(), 0);
  const auto bytes = Sequence(10, 0x30);
  EXPECT_EQ(ring.Push(bytes.data(), 10), 10);
  EXPECT_EQ(ring.WriteIndex(), 4);
  EXPECT_EQ(ring.Slot(250), 0x30);
  EXPECT_EQ(ring.Slot(255), 0x35);
  EXPECT_EQ(ring.Slot(0), 0x36);
  EXPECT_EQ(ring.Slot(3), 0x39);
  EXPECT_EQ(TakeAll(ring, 64), bytes);
}

TEST(ByteRing, ATakeOfSixtyFourFromAHundredLeavesThirtySixInOrder) {
  ByteRing ring;
  const auto bytes = Sequence(100);
  ring.Push(bytes.data(), 100);
  EXPECT_EQ(TakeAll(ring, 64), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 64));
  EXPECT_EQ(ring.Count(), 36);
  EXPECT_EQ(TakeAll(ring, 64), std::vector<std::uint8_t>(bytes.begin() + 64, bytes.end()));
  EXPECT_EQ(ring.WriteIndex(), 100) << "taking never moves the write index";
}

TEST(ByteRing, ATakeFromARingWithOneByteReturnsThatByte) {
  ByteRing ring;
  const std::uint8_t byte = 0xEE;
  ring.Push(&byte, 1);
  EXPECT_EQ(TakeAll(ring, 64), std::vector<std::uint8_t>{0xEE});
}

TEST(ByteRing, ATakeFromAnEmptyRingReturnsZeroAndChangesNothing) {
  ByteRing ring;
  MoveWriteIndexTo(ring, 17);
  std::uint8_t destination[65];
  std::fill(std::begin(destination), std::end(destination), 0x55);
  EXPECT_EQ(ring.Take(destination, 64), 0);
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(ring.WriteIndex(), 17);
  EXPECT_EQ(destination[0], 0x55);
}

TEST(ByteRing, CountsBelowOneMoveNothing) {
  ByteRing ring;
  const auto bytes = Sequence(5);
  EXPECT_EQ(ring.Push(bytes.data(), 0), 0);
  EXPECT_EQ(ring.Push(bytes.data(), -3), 0);
  ring.Push(bytes.data(), 5);
  std::uint8_t destination[8];
  EXPECT_EQ(ring.Take(destination, 0), 0);
  EXPECT_EQ(ring.Take(destination, -1), 0);
  EXPECT_EQ(ring.Count(), 5);
}

TEST(ByteRing, ThousandsOfChunksComeOutExactlyAsTheyWentIn) {
  ByteRing ring;
  std::vector<std::uint8_t> sent, received;
  std::uint8_t next = 0;
  for (int round = 0; round < 5000; ++round) {
    const int n = 1 + (round * 37) % 64;
    std::uint8_t chunk[64];
    for (int i = 0; i < n; ++i) chunk[i] = next++;
    ASSERT_EQ(ring.Push(chunk, static_cast<std::int16_t>(n)), n);
    sent.insert(sent.end(), chunk, chunk + n);
    const auto out = TakeAll(ring, 64);
    received.insert(received.end(), out.begin(), out.end());
    ASSERT_EQ(ring.Count(), 0);
  }
  EXPECT_EQ(received, sent);
}

TEST(DeviceRings, ResetEmptiesBothRingsWhateverTheyHeld) {
  DeviceRings rings;
  const auto bytes = Sequence(200);
  rings.PushReceived(bytes.data(), 200);
  rings.PushTransmit(bytes.data(), 77);
  rings.ResetRings();
  EXPECT_EQ(rings.ReceivedCount(), 0);
  EXPECT_EQ(rings.TransmitCount(), 0);
  EXPECT_EQ(rings.Receive().WriteIndex(), 0);
  EXPECT_EQ(rings.Transmit().WriteIndex(), 0);
  EXPECT_EQ(rings.Receive().Slot(5), 0);
  EXPECT_EQ(rings.Transmit().Slot(5), 0);
}

TEST(DeviceRings, TheTwoRingsAreIndependent) {
  DeviceRings rings;
  const auto bytes = Sequence(3, 7);
  rings.PushTransmit(bytes.data(), 3);
  std::uint8_t destination[65];
  EXPECT_EQ(rings.TakeReceived(destination, 64), 0);
  EXPECT_EQ(rings.TakeTransmit(destination, 64), 3);
  EXPECT_EQ(destination[2], 9);
}

}  // namespace
}  // namespace seamlog::link
