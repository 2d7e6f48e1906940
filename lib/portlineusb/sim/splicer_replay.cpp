#include "splicer_replay.h"

#include <algorithm>
#include <cstring>

namespace portline::sim {

SplicerReplay::SplicerReplay(std::vector<std::uint8_t> report, const SimSettings& settings)
    : report_(std::move(report)), settings_(settings) {
  settings_.bytesPerRead = std::clamp(settings_.bytesPerRead, 1, 64);
}

std::int32_t SplicerReplay::Create(std::int32_t& handle) {
  if (open_) return kAlreadyOpen;
  if (stats_.refusals < settings_.refuseCreates) {
    ++stats_.refusals;
    return kRefused;
  }
  open_ = true;
  unplugged_ = false;
  connectionBytes_ = 0;
  ++stats_.creates;
  handle = kDeviceHandle;
  return 0;
}

std::int32_t SplicerReplay::Read(std::int32_t handle, std::uint8_t* buffer) {
  ++stats_.reads;
  if (!open_ || handle != kDeviceHandle || unplugged_ || halted_) {
    ++stats_.failedReads;
    return kFailure;
  }
  const auto stallAt = static_cast<std::uint64_t>(settings_.stallAtByte);
  if (!stalledOnce_ && stallAt > 0 && position_ >= stallAt - 1 && position_ < report_.size()) {
    stalledOnce_ = halted_ = true;
    ++stats_.failedReads;
    return kFailure;
  }
  std::int64_t n = std::min<std::int64_t>(settings_.bytesPerRead, static_cast<std::int64_t>(report_.size() - position_));
  if (settings_.disconnectAfterBytes > 0) {
    const std::int64_t left = settings_.disconnectAfterBytes - connectionBytes_;
    if (left <= 0 && n > 0) {
      unplugged_ = true;
      ++stats_.failedReads;
      return kFailure;
    }
    n = std::min(n, left);
  }
  if (!stalledOnce_ && stallAt > 0) n = std::min<std::int64_t>(n, static_cast<std::int64_t>(stallAt - 1 - position_));
  if (n <= 0) return 0;
  std::memcpy(buffer, report_.data() + position_, static_cast<std::size_t>(n));
  position_ += static_cast<std::size_t>(n);
  connectionBytes_ += n;
  ++stats_.dataReads;
  return static_cast<std::int32_t>(n);
}

std::int32_t SplicerReplay::Write(std::int32_t handle, const std::uint8_t*, std::int32_t count) {
  if (!open_ || handle != kDeviceHandle || unplugged_ || count < 1) return kFailure;
  const std::int32_t sent = std::min(count, 64);
  ++stats_.writes;
  stats_.bytesWritten += sent;
  return sent;
}

bool SplicerReplay::ResetPipe() {
  const bool was = halted_;
  halted_ = false;
  return was;
}

std::int32_t SplicerReplay::Close(std::int32_t handle) {
  if (!open_ || handle != kDeviceHandle) {
    ++stats_.strayCloses;
    return kFailure;
  }
  open_ = false;
  ++stats_.closes;
  return 0;
}

}  // namespace portline::sim
