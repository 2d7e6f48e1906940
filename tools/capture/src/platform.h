// What seamlog-capture needs of its platform: the device library, where the
// journal lives, stopping on a signal, the terminal and the clock.
// platform_posix.cpp (Linux, macOS: libusb) and platform_win32.cpp
// (PortlineUSB.dll) define them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture_options.h"
#include "seamlog/link/device_library.h"

namespace seamlog::tools {

// The device library, with the splicer the command line chose. Empty, with
// why, when the platform cannot honour the choice.
std::unique_ptr<link::DeviceLibrary> MakeDeviceLibrary(const CaptureOptions& options, std::string& refusal);
// True when a create's result and status mean this user may not open the splicer.
bool AccessDenied(std::int32_t result, std::int32_t status);
// What to tell the operator then: how this user gets access.
std::string AccessDeniedMessage();

// The folder of the journal and the log; empty when there is none.
std::string StateFolderOfUser();

// Ctrl+C, SIGINT, SIGTERM (and on Windows closing the console) ask the
// program to end; StopRequested says whether one came.
void CatchStopSignals();
bool StopRequested();
// Held while a save runs: a stop waits for it to end.
class StopSignalsHeld {
 public:
  StopSignalsHeld();
  ~StopSignalsHeld();
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;
};
// The program is about to end (Windows: a console that is closing may go).
void StopFinished();

// Sleeps; a stop cuts it short where the platform can.
void SleepMs(std::uint32_t ms);
bool StdoutIsTerminal();

}  // namespace seamlog::tools
