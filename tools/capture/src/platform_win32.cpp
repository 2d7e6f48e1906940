// Windows: PortlineUSB.dll beside the program, the state folder in
// %LOCALAPPDATA%\Seamlog, the console's Ctrl+C and close.
#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform.h"
#include "portline_library.h"

namespace seamlog::tools {
namespace {

std::atomic<bool> stopRequested{false};
HANDLE finished = nullptr;  // set when the program is about to end

// A library that will not load ends the program with its message, on the
// console instead of in a box.
void EndOnConsole(const std::string& message, int errorNumber) {
  std::fprintf(stderr, "seamlog-capture: %s\n", message.c_str());
  std::exit(errorNumber);
}

// On the console's own thread. Ctrl+C and Ctrl+Break only ask; closing the
// console, logging off or shutting down end the process when this returns,
// so it waits (within the system's few seconds) until the program is done.
BOOL WINAPI ConsoleEvent(DWORD event) {
  stopRequested = true;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  if (finished != nullptr) WaitForSingleObject(finished, 4500);
  return TRUE;
}

}  // namespace

std::unique_ptr<link::DeviceLibrary> MakeDeviceLibrary(const CaptureOptions& options, std::string& refusal) {
  if (options.device.bus || options.device.vendorId != PORTLINE_VENDOR_ID ||
      options.device.productId != PORTLINE_PRODUCT_ID) {
    refusal = "on Windows PortlineUSB.dll chooses the splicer: --device and --VID:PID are not available";
    return nullptr;
  }
  return std::make_unique<link::PortlineLibrary>("PortlineUSB.dll", &EndOnConsole);
}

bool AccessDenied(std::int32_t, std::int32_t status) { return status == ERROR_ACCESS_DENIED; }

std::string AccessDeniedMessage() {
  return "Access denied: Windows would not let this user open the splicer. Install the splicer driver again "
         "(Start menu, Seamlog, \"Install the splicer driver\"), then unplug the splicer and plug it in "
         "again.";
}

std::string StateFolderOfUser() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || *local == '\0') return {};
  return std::string(local) + "\\Seamlog";
}

void CatchStopSignals() {
  finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(ConsoleEvent, TRUE);
}

bool StopRequested() { return stopRequested; }

// Ctrl+C only sets the flag, which the program looks at after the save; a
// closing console waits in ConsoleEvent until StopFinished.
StopSignalsHeld::StopSignalsHeld() = default;
StopSignalsHeld::~StopSignalsHeld() = default;

void StopFinished() {
  if (finished != nullptr) SetEvent(finished);
}

void SleepMs(std::uint32_t ms) {
  // In slices, so that a stop is seen soon while the splicer is away.
  for (std::uint32_t slept = 0; slept < ms && !stopRequested; slept += 50)
    Sleep(ms - slept < 50 ? ms - slept : 50);
}

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace seamlog::tools
