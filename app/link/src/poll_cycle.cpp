#include "seamlog/link/poll_cycle.h"

#include <algorithm>
#include <array>

namespace seamlog::link {
namespace {

using TransferBuffer = std::array<std::uint8_t, kReadBufferSize>;

class SteadyTickClock : public TickClock {
 public:
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace

TickClock& SystemTickClock() {
  static SteadyTickClock clock;
  return clock;
}

bool PollCycle::OpenDevice() {
  std::int32_t extra1 = 0;
  std::int32_t extra2 = 0;
  const std::int32_t result = library_.CreateDevice(deviceHandle_, extra1, extra2);
  // The two further cells go in holding 0; what the library left in the
  // first is only told to the log.
  events_->OpenAttempted(result, extra1);
  if (result != 0) return false;
  rings_.ResetRings();
  return true;
}

std::optional<std::int32_t> PollCycle::ReceiveFromDevice() {
  TransferBuffer buffer{};
  const std::int32_t r = library_.ReadFile(deviceHandle_, buffer.data());
  // A count outside 0..64 cannot have come from a sound read: treat it as a
  // failure instead of reading past the buffer.
  if (r == kDeviceFailure || r < 0 || r > kMaxTransfer) {
    events_->ReadFailed(r);
    return std::nullopt;
  }
  events_->Received(static_cast<std::size_t>(r));
  if (r != 0) rings_.PushReceived(buffer.data(), static_cast<std::int16_t>(r));
  return r;
}

bool PollCycle::SendPending() {
  TransferBuffer buffer{};
  const std::int16_t n = rings_.TakeTransmit(buffer.data(), kMaxTransfer);
  if (n == 0) return false;
  std::int32_t count = n;
  const std::int32_t result = library_.WriteFile(deviceHandle_, buffer.data(), count);
  if (result == kDeviceFailure) {
    events_->WriteFailed(result);
    return false;
  }
  events_->Sent(static_cast<std::size_t>(n));
  return true;
}

void PollCycle::CloseDevice() { events_->Closed(library_.CloseDevice(deviceHandle_)); }

void PollCycle::Tick(PollHost& host) {
  if (!host.Connected() && OpenDevice()) host.SetConnected(true);
  if (!host.Connected()) return;

  bool writeOk = true;
  if (rings_.TransmitCount() != 0) writeOk = SendPending();

  // Read, ring, text, again while the library hands out full chunks and the
  // budget lasts; anything shorter means nothing more is waiting.
  const auto start = clock_->Now();
  const std::chrono::microseconds drainTime = DrainTime(start);
  std::size_t drained = 0;
  bool readOk = true;
  for (;;) {
    const std::optional<std::int32_t> got = ReceiveFromDevice();
    PassReceivedToCapture();
    if (!got) {
      readOk = false;
      break;
    }
    drained += static_cast<std::size_t>(*got);
    if (*got != kMaxTransfer || drained >= budget_.bytes || clock_->Now() - start >= drainTime) break;
  }

  if (!readOk || !writeOk) {
    CloseDevice();
    host.SetConnected(false);
  }
}

std::chrono::microseconds PollCycle::DrainTime(std::chrono::steady_clock::time_point start) {
  std::chrono::microseconds allowed = budget_.time;
  if (previousTick_ && start > *previousTick_) {
    const auto share = std::chrono::duration_cast<std::chrono::microseconds>(start - *previousTick_) * 3 / 4;
    allowed = std::max(allowed, std::min(share, budget_.longest));
  }
  previousTick_ = start;
  return allowed;
}

void PollCycle::PassReceivedToCapture() {
  if (rings_.ReceivedCount() == 0) return;
  TransferBuffer buffer{};
  const std::int16_t n = rings_.TakeReceived(buffer.data(), kMaxTransfer);
  if (n != 0) capture_.AppendReceivedBytes(buffer.data(), static_cast<std::size_t>(n));
}

void PollCycle::Unload(PollHost& host) {
  if (host.Connected()) CloseDevice();
}

}  // namespace seamlog::link
