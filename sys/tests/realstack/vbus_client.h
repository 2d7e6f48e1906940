// The user-mode side of portline-vbus.sys: plug and unplug simulated
// splicers, give them a report to send, read back what they saw.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "VbusControl.h"

namespace realstack {

struct Report {
  std::string bytes;
  ULONG packet_size = VBUS_MAX_PACKET;
  ULONG pacing_ms = 0;
  ULONG stall_at = VBUS_NEVER;
  ULONG unplug_at = VBUS_NEVER;
};

class Vbus {
 public:
  Vbus() = default;
  ~Vbus();
  Vbus(const Vbus&) = delete;
  Vbus& operator=(const Vbus&) = delete;

  // Opens the bus's control device, waiting up to `milliseconds` for it.
  bool Open(DWORD milliseconds);

  bool Plug(ULONG child, bool high_speed = false);
  bool Unplug(ULONG child);
  bool SetReport(ULONG child, const Report& report);
  VBUS_STATUS Status(ULONG child);
  std::string Out(ULONG child);

  // Waits until `condition` holds for the child's status.
  bool WaitFor(ULONG child, const std::function<bool(const VBUS_STATUS&)>& condition, DWORD milliseconds);
  // Unplugs the child and waits until its device object is gone.
  bool UnplugAndWait(ULONG child, DWORD milliseconds = 20000);
  // Plugs the child and waits until its function driver has configured it.
  bool PlugAndWait(ULONG child, bool high_speed = false, DWORD milliseconds = 30000);
  // Has the bus send the child's device stack a sequence of requests
  // (VBUS_REBALANCE...) and waits until it has; true when every request
  // succeeded.
  bool SendAndWait(ULONG child, ULONG what, DWORD milliseconds = 30000);

 private:
  bool Control(DWORD code, const void* in, DWORD in_size, void* out = nullptr, DWORD out_size = 0,
               DWORD* returned = nullptr);
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace realstack
