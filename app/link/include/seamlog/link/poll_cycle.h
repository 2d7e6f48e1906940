// The connection and poll cycle: one call of Tick per tick of the poll timer.
// While not connected a tick tries to open the device; once open, each tick
// reads a chunk and appends it to the capture, which turns it into received
// text, and goes on reading while the library hands out full 64-byte chunks,
// within the tick's drain budget. A failed read or write closes the device
// again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "seamlog/capture/capture.h"
#include "seamlog/link/byte_ring.h"
#include "seamlog/link/device_library.h"

namespace seamlog::link {

// The poll timer's period for a connection state: once a second while no
// device is open (each tick tries to open one), every millisecond while one
// is (each tick reads until the library has no full 64-byte chunk left, or
// the drain budget is spent).
inline constexpr std::uint32_t kPollPeriodNotConnectedMs = 1000;
inline constexpr std::uint32_t kPollPeriodConnectedMs = 1;
constexpr std::uint32_t PollPeriodMs(bool connected) {
  return connected ? kPollPeriodConnectedMs : kPollPeriodNotConnectedMs;
}

// How much one tick may take from a device that keeps handing out full
// chunks, so that a fast splicer is not held to 64 bytes a tick while the
// window still answers between ticks. The tick stops reading once either is
// spent.
//
// A timer that ticks less often than asked (Windows throttles a minimised
// window's timer to the 15.6 ms system clock) would hold the link to what
// `time` can read per tick. So a tick may read for three quarters of the time
// since the previous tick began when that is more than `time`, but never for
// longer than `longest`: the window keeps the rest to answer in.
struct DrainBudget {
  std::size_t bytes = 16 * 1024;
  std::chrono::microseconds time{4000};
  std::chrono::microseconds longest{12000};
};

// Where the drain reads the time; the platform's steady clock unless a test
// gives its own.
class TickClock {
 public:
  virtual ~TickClock() = default;
  virtual std::chrono::steady_clock::time_point Now() = 0;
};
TickClock& SystemTickClock();

// The window side of the cycle: the connection state with its indicator and
// timer period.
class PollHost {
 public:
  virtual ~PollHost() = default;
  virtual bool Connected() const = 0;
  // Records the state, switches the indicator and re-arms the poll timer
  // with PollPeriodMs(connected).
  virtual void SetConnected(bool connected) = 0;
};

// What a diagnostics log hears of the link. Each call is rare except the
// byte counts, which come once per tick and must cost no more than an addition.
class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  // Every open with the library's result and the status it left in its
  // status cell (the real library: the Windows error of a failure).
  virtual void OpenAttempted(std::int32_t /*result*/, std::int32_t /*status*/) {}
  virtual void ReadFailed(std::int32_t /*result*/) {}
  virtual void WriteFailed(std::int32_t /*result*/) {}
  virtual void Closed(std::int32_t /*result*/) {}
  virtual void Received(std::size_t /*bytes*/) {}
  virtual void Sent(std::size_t /*bytes*/) {}
};

class PollCycle {
 public:
  PollCycle(DeviceLibrary& library, capture::Capture& capture) : library_(library), capture_(capture) {}

  // Where the link's events go; none are reported until this is called.
  void ReportTo(LinkEvents& events) { events_ = &events; }
  // The clock and budget of each tick's drain.
  void DrainWithin(DrainBudget budget, TickClock& clock) {
    budget_ = budget;
    clock_ = &clock;
    previousTick_.reset();
  }

  // One tick of the poll timer.
  void Tick(PollHost& host);
  // The main window is closing: closes the device when connected, and makes
  // no library call otherwise.
  void Unload(PollHost& host);

  // The four device operations, each one library call at most. A receive
  // gives the count it read, or nothing when the read failed.
  bool OpenDevice();
  std::optional<std::int32_t> ReceiveFromDevice();
  bool SendPending();
  void CloseDevice();

  DeviceRings& Rings() { return rings_; }
  std::int32_t DeviceHandle() const { return deviceHandle_; }

 private:
  DeviceLibrary& library_;
  capture::Capture& capture_;
  static inline LinkEvents noEvents_;
  LinkEvents* events_ = &noEvents_;
  void PassReceivedToCapture();

  // How long this tick may read, from when it and the one before began.
  std::chrono::microseconds DrainTime(std::chrono::steady_clock::time_point start);

  DrainBudget budget_;
  TickClock* clock_ = &SystemTickClock();
  std::optional<std::chrono::steady_clock::time_point> previousTick_;
  DeviceRings rings_;
  std::int32_t deviceHandle_ = 0;
};

}  // namespace seamlog::link
