// The command line of seamlog-capture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "portline/libusb_device_choice.h"
#include "seamlog/convert/models.h"

namespace seamlog::tools {

struct CaptureOptions {
  convert::Model model = convert::Model::A;
  std::string out;                  // the table file; empty: nothing is saved
  std::string stateDir;             // the journal and the log; empty: the platform's state folder
  std::optional<int> saveWhenIdle;  // seconds
  bool saveOnExit = false;
  std::optional<int> connectTimeout;  // seconds; none: wait for the splicer for ever
  std::optional<int> exitWhenIdle;    // seconds of quiet after the first byte; none: run until stopped
  bool quiet = false;
  bool help = false;
  portline::libusb::DeviceChoice device;
};

// Empty when args are usable, else what is wrong. device starts as the
// Portline hardware ID's vendor and product.
std::string ParseCaptureOptions(int argc, const char* const* argv, CaptureOptions& options);

// "BUS:ADDR" in decimal (as lsusb shows them), and "VID:PID" in hexadecimal.
bool ParseBusAddress(std::string_view text, portline::libusb::DeviceChoice& choice);
bool ParseVendorProduct(std::string_view text, portline::libusb::DeviceChoice& choice);

}  // namespace seamlog::tools
