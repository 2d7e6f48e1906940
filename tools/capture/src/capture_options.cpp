#include "capture_options.h"

#include <charconv>
#include <string_view>

namespace seamlog::tools {
namespace {

template <typename Number>
bool ParseWhole(std::string_view text, Number& value, int base, Number low, Number high) {
  if (text.empty()) return false;
  Number parsed{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
  if (error != std::errc{} || end != text.data() + text.size() || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool SplitPair(std::string_view text, std::string_view& first, std::string_view& second) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  first = text.substr(0, colon);
  second = text.substr(colon + 1);
  return true;
}

// Seconds from 1 to a day.
bool ParseSeconds(std::string_view text, std::optional<int>& seconds) {
  int value = 0;
  if (!ParseWhole(text, value, 10, 1, 86400)) return false;
  seconds = value;
  return true;
}

}  // namespace

bool ParseBusAddress(std::string_view text, portline::libusb::DeviceChoice& choice) {
  std::string_view bus, address;
  unsigned busNumber = 0, deviceAddress = 0;
  if (!SplitPair(text, bus, address) || !ParseWhole(bus, busNumber, 10, 1u, 255u) ||
      !ParseWhole(address, deviceAddress, 10, 1u, 127u))
    return false;
  choice.bus = static_cast<std::uint8_t>(busNumber);
  choice.address = static_cast<std::uint8_t>(deviceAddress);
  return true;
}

bool ParseVendorProduct(std::string_view text, portline::libusb::DeviceChoice& choice) {
  std::string_view vendor, product;
  unsigned vendorId = 0, productId = 0;
  if (!SplitPair(text, vendor, product) || vendor.size() > 4 || product.size() > 4 ||
      !ParseWhole(vendor, vendorId, 16, 0u, 0xFFFFu) || !ParseWhole(product, productId, 16, 0u, 0xFFFFu))
    return false;
  choice.vendorId = static_cast<std::uint16_t>(vendorId);
  choice.productId = static_cast<std::uint16_t>(productId);
  choice.bus.reset();
  choice.address.reset();
  return true;
}

std::string ParseCaptureOptions(int argc, const char* const* argv, CaptureOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string_view value = hasValue ? std::string_view(argv[i + 1]) : std::string_view();
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return {};
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--save-on-exit") {
      options.saveOnExit = true;
    } else if (arg == "--model") {
      if (!hasValue) return "--model needs a model name";
      const auto model = convert::ModelFromName(value);
      if (!model) return "unknown model '" + std::string(value) + "'";
      options.model = *model;
      ++i;
    } else if (arg == "--out") {
      if (!hasValue || value.empty()) return "--out needs a file name";
      options.out = value;
      ++i;
    } else if (arg == "--save-when-idle") {
      if (!hasValue || !ParseSeconds(value, options.saveWhenIdle))
        return "--save-when-idle needs whole seconds from 1 to 86400";
      ++i;
    } else if (arg == "--connect-timeout") {
      if (!hasValue || !ParseSeconds(value, options.connectTimeout))
        return "--connect-timeout needs whole seconds from 1 to 86400";
      ++i;
    } else if (arg == "--state-dir") {
      if (!hasValue || value.empty()) return "--state-dir needs a folder";
      options.stateDir = value;
      ++i;
    } else if (arg == "--exit-when-idle") {
      if (!hasValue || !ParseSeconds(value, options.exitWhenIdle))
        return "--exit-when-idle needs whole seconds from 1 to 86400";
      ++i;
    } else if (arg == "--device") {
      if (!hasValue || !ParseBusAddress(value, options.device))
        return "--device needs BUS:ADDR in decimal, as lsusb shows them (e.g. 1:7)";
      ++i;
    } else if (arg.starts_with("--") && arg.size() > 2 && arg.find(':') != std::string_view::npos) {
      if (!ParseVendorProduct(arg.substr(2), options.device))
        return "'" + std::string(arg) + "' is not --VID:PID in hexadecimal (e.g. --1234:abcd)";
    } else {
      return "unknown argument '" + std::string(arg) + "'";
    }
  }
  if ((options.saveWhenIdle || options.saveOnExit) && options.out.empty())
    return "--save-when-idle and --save-on-exit need --out FILE";
  return {};
}

}  // namespace seamlog::tools
