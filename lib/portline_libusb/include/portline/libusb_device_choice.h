// Which splicer the libusb device library opens. The four functions of the
// device library's contract take no such argument, so a program that wants
// another splicer than the Portline hardware ID names it here before the
// first create.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace portline::libusb {

struct DeviceChoice {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // Set: the device at this bus number and address, whatever its IDs.
  std::optional<std::uint8_t> bus;
  std::optional<std::uint8_t> address;
};

// Takes effect at the next create.
void ChooseDevice(const DeviceChoice& choice);

// How many bulk-IN transfers are kept pending on an open device, and how
// much received data waits at most for the reader before no transfer is
// resubmitted.
inline constexpr int kPendingReads = 4;
inline constexpr std::size_t kMaxBacklog = 16 * 1024;

}  // namespace portline::libusb

namespace portline::libusb {

// The status a create leaves when the splicer is there but this user may not
// open it (libusb's LIBUSB_ERROR_ACCESS): no udev rule gives access.
inline constexpr std::int32_t kStatusAccessDenied = -3;

}  // namespace portline::libusb
