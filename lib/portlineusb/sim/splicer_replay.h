// A simulated splicer behind the four device library calls: it replays a
// report a few bytes per read, can refuse the first creates, and can unplug
// itself after a number of bytes; the next create resumes where it stopped.
// It can also stall its IN pipe once at a byte of the report: reads fail,
// across closes and creates, until ResetPipe clears the halt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "portline/portline_usb_contract.h"
#include "sim_settings.h"

namespace portline::sim {

inline constexpr std::int32_t kFailure = kDeviceFailure;
inline constexpr std::int32_t kRefused = kCreateNoDevice;
inline constexpr std::int32_t kAlreadyOpen = kCreateOpenFailed;
inline constexpr std::int32_t kDeviceHandle = 1;

struct ReplayStats {
  std::int64_t creates = 0;      // successful
  std::int64_t refusals = 0;
  std::int64_t reads = 0;
  std::int64_t dataReads = 0;   // reads that returned bytes
  std::int64_t failedReads = 0;
  std::int64_t closes = 0;       // of an open device
  std::int64_t strayCloses = 0; // of a handle that was not open
  std::int64_t writes = 0;
  std::int64_t bytesWritten = 0;
};

class SplicerReplay {
 public:
  SplicerReplay(std::vector<std::uint8_t> report, const SimSettings& settings);

  std::int32_t Create(std::int32_t& handle);
  std::int32_t Read(std::int32_t handle, std::uint8_t* buffer);
  std::int32_t Write(std::int32_t handle, const std::uint8_t* bytes, std::int32_t count);
  std::int32_t Close(std::int32_t handle);

  // Clears a halted IN pipe; true when it was halted.
  bool ResetPipe();

  bool Open() const { return open_; }
  bool Halted() const { return halted_; }
  bool Unplugged() const { return unplugged_; }
  std::size_t Position() const { return position_; }
  bool Finished() const { return position_ >= report_.size(); }
  const ReplayStats& Stats() const { return stats_; }

 private:
  std::vector<std::uint8_t> report_;
  SimSettings settings_;
  std::size_t position_ = 0;
  bool open_ = false;
  bool unplugged_ = false;
  bool halted_ = false;
  bool stalledOnce_ = false;
  std::int64_t connectionBytes_ = 0;
  ReplayStats stats_;
};

}  // namespace portline::sim
