// The connection and poll cycle: one call of Tick per tick of the poll timer.
// While not connected a tick tries to open the device; once open, each tick
// reads at most one chunk and appends it to the capture, which turns it into
// received text. A failed read or write closes the device again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "seamlog/link/byte_ring.h"
#include "seamlog/link/device_library.h"
#include "seamlog/capture/capture.h"

namespace seamlog::link {

// The poll timer's period for a connection state: once a second while no
// device is open (each tick tries to open one), every millisecond while one
// is (each tick reads at most one 64-byte chunk).
inline constexpr std::uint32_t kPollPeriodNotConnectedMs = 1000;
inline constexpr std::uint32_t kPollPeriodConnectedMs = 1;
constexpr std::uint32_t PollPeriodMs(bool connected) {
  return connected ? kPollPeriodConnectedMs : kPollPeriodNotConnectedMs;
}

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

  // One tick of the poll timer.
  void Tick(PollHost& host);
  // The main window is closing: closes the device when connected, and makes
  // no library call otherwise.
  void Unload(PollHost& host);

  // The four device operations, each one library call at most.
  bool OpenDevice();
  bool ReceiveFromDevice();
  bool SendPending();
  void CloseDevice();

  DeviceRings& Rings() { return rings_; }
  std::int32_t DeviceHandle() const { return deviceHandle_; }

 private:
  DeviceLibrary& library_;
  capture::Capture& capture_;
  static inline LinkEvents noEvents_;
  LinkEvents* events_ = &noEvents_;
  DeviceRings rings_;
  std::int32_t deviceHandle_ = 0;
};

}  // namespace seamlog::link
