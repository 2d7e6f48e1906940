// Linux and macOS: the libusb device library, the XDG state folder, signals.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform.h"
#include "portline/portline_usb_contract.h"
#include "state_folder.h"

namespace seamlog::tools {
namespace {

volatile sig_atomic_t stopRequested = 0;
sigset_t heldBefore;

void RequestStop(int) { stopRequested = 1; }

sigset_t StopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  return stops;
}

// The four functions of lib/portline_libusb.
class LibusbLibrary final : public link::DeviceLibrary {
 public:
  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& status, std::int32_t& found) override {
    return PortlineUsbCreateDevice(&handle, &status, &found);
  }
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override {
    return PortlineUsbReadFile(&handle, buffer);
  }
  std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) override {
    return PortlineUsbWriteFile(&handle, bytes, &count);
  }
  std::int32_t CloseDevice(std::int32_t& handle) override { return PortlineUsbCloseDevice(&handle); }
};

}  // namespace

std::unique_ptr<link::DeviceLibrary> MakeDeviceLibrary(const CaptureOptions& options, std::string&) {
  portline::libusb::ChooseDevice(options.device);
  return std::make_unique<LibusbLibrary>();
}

bool AccessDenied(std::int32_t result, std::int32_t status) {
  return result == portline::kCreateOpenFailed && status == portline::libusb::kStatusAccessDenied;
}

std::string AccessDeniedMessage() {
  return "Permission denied: this user may not open the splicer. Install the udev rule "
         "70-seamlog-splicer.rules (sudo cp 70-seamlog-splicer.rules /etc/udev/rules.d/ && sudo udevadm "
         "control --reload), then unplug the splicer and plug it in again.";
}

std::string StateFolderOfUser() {
#if defined(__APPLE__)
  constexpr bool kMacos = true;
#else
  constexpr bool kMacos = false;
#endif
  return StateFolder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"), kMacos);
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Signals a parent blocked are not inherited as blocked here.
  const sigset_t stops = StopSignals();
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

bool StopRequested() { return stopRequested != 0; }

// The signals wait while a save runs, so that no write or flush of it is cut
// short; the program ends once it is done.
StopSignalsHeld::StopSignalsHeld() {
  const sigset_t stops = StopSignals();
  sigprocmask(SIG_BLOCK, &stops, &heldBefore);
}

StopSignalsHeld::~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &heldBefore, nullptr); }

void StopFinished() {}

void SleepMs(std::uint32_t ms) {
  timespec time{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&time, nullptr);  // a signal cuts it short
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace seamlog::tools
