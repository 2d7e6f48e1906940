#include "splicer_replay.h"

#include <algorithm>
#include <cstring>

namespace portline::sim {

SplicerReplay::SplicerReplay(std::vector<std::uint8_t> report, const SimSettings& settings)
    : report_(std::move(report)), settings_(settings) {
  settings_.bytes_per_read = std::clamp(settings_.bytes_per_read, 1, 64);
}

std::int32_t SplicerReplay::Create(std::int32_t& handle) {
  if (open_) return kAlreadyOpen;
  if (stats_.refusals < settings_.refuse_creates) {
    ++stats_.refusals;
    return kRefused;
  }
  open_ = true;
  unplugged_ = false;
  connection_bytes_ = 0;
  ++stats_.creates;
  handle = kDeviceHandle;
  return 0;
}

std::int32_t SplicerReplay::Read(std::int32_t handle, std::uint8_t* buffer) {
  ++stats_.reads;
  if (!open_ || handle != kDeviceHandle || unplugged_ || halted_) {
    ++stats_.failed_reads;
    return kFailure;
  }
  const auto stall_at = static_cast<std::uint64_t>(settings_.stall_at_byte);
  if (!stalled_once_ && stall_at > 0 && position_ >= stall_at - 1 && position_ < report_.size()) {
    stalled_once_ = halted_ = true;
    ++stats_.failed_reads;
    return kFailure;
  }
  std::int64_t n = std::min<std::int64_t>(settings_.bytes_per_read, static_cast<std::int64_t>(report_.size() - position_));
  if (settings_.disconnect_after_bytes > 0) {
    const std::int64_t left = settings_.disconnect_after_bytes - connection_bytes_;
    if (left <= 0 && n > 0) {
      unplugged_ = true;
      ++stats_.failed_reads;
      return kFailure;
    }
    n = std::min(n, left);
  }
  if (!stalled_once_ && stall_at > 0) n = std::min<std::int64_t>(n, static_cast<std::int64_t>(stall_at - 1 - position_));
  if (n <= 0) return 0;
  std::memcpy(buffer, report_.data() + position_, static_cast<std::size_t>(n));
  position_ += static_cast<std::size_t>(n);
  connection_bytes_ += n;
  ++stats_.data_reads;
  return static_cast<std::int32_t>(n);
}

std::int32_t SplicerReplay::Write(std::int32_t handle, const std::uint8_t*, std::int32_t count) {
  if (!open_ || handle != kDeviceHandle || unplugged_ || count < 1) return kFailure;
  const std::int32_t sent = std::min(count, 64);
  ++stats_.writes;
  stats_.bytes_written += sent;
  return sent;
}

bool SplicerReplay::ResetPipe() {
  const bool was = halted_;
  halted_ = false;
  return was;
}

std::int32_t SplicerReplay::Close(std::int32_t handle) {
  if (!open_ || handle != kDeviceHandle) {
    ++stats_.stray_closes;
    return kFailure;
  }
  open_ = false;
  ++stats_.closes;
  return 0;
}

}  // namespace portline::sim
