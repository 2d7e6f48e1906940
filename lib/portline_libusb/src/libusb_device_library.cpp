// The device library's four functions over libusb-1.0, for Linux and macOS.
//
// An open splicer keeps kPendingReads asynchronous bulk-IN transfers of 64
// bytes pending. A read runs libusb's event handling without waiting,
// collects what completed into the device's backlog and hands out at most
// 64 bytes of it; it never waits for data. A stalled IN endpoint is cleared
// with libusb_clear_halt and reading goes on where it stopped. A splicer that
// went away is reported (9999) only after everything it sent has been read.
// Devices are found by enumeration at each create (the poll cycle tries
// once a second), which works the same with and without hotplug support.
#include <libusb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "portline/libusb_device_choice.h"
#include "portline/portline_usb_contract.h"

static_assert(portline::libusb::kStatusAccessDenied == LIBUSB_ERROR_ACCESS);

namespace portline::libusb {
namespace {

constexpr int kMaxOpenDevices = 8;
constexpr unsigned kWriteTimeoutMs = 1000;
// How long a close waits for its cancelled transfers to come back.
constexpr int kCancelWaitRounds = 20;
constexpr timeval kCancelWaitStep{0, 50 * 1000};

struct OpenSplicer;

struct ReadSlot {
  OpenSplicer* splicer = nullptr;
  libusb_transfer* transfer = nullptr;
  std::array<unsigned char, kMaxTransfer> buffer{};
  bool pending = false;
};

struct OpenSplicer {
  libusb_device_handle* handle = nullptr;
  std::uint8_t bus = 0, address = 0;
  int interfaceNumber = 0;
  unsigned char inEndpoint = 0;
  unsigned char outEndpoint = 0;  // 0: the interface has none
  std::array<ReadSlot, kPendingReads> reads;
  std::string backlog;  // received, not yet read
  std::size_t backlogHead = 0;
  bool stalled = false;
  bool failed = false;

  std::size_t Backlog() const { return backlog.size() - backlogHead; }
  bool AnyPending() const {
    return std::any_of(reads.begin(), reads.end(), [](const ReadSlot& s) { return s.pending; });
  }
};

struct LibraryState {
  libusb_context* context = nullptr;
  DeviceChoice choice;
  std::map<std::int32_t, std::unique_ptr<OpenSplicer>> open;
  std::int32_t lastHandle = 0;
  // With hotplug, a create enumerates only after an arrival, a close, or
  // while a splicer is there; without it, at every create.
  bool hotplug = false;
  bool lookAgain = true;
};

LibraryState& State() {
  static LibraryState state;
  return state;
}

OpenSplicer* Find(const std::int32_t* handle) {
  if (handle == nullptr) return nullptr;
  auto it = State().open.find(*handle);
  return it == State().open.end() ? nullptr : it->second.get();
}

void LIBUSB_CALL ReadCompleted(libusb_transfer* transfer) {
  auto* slot = static_cast<ReadSlot*>(transfer->user_data);
  slot->pending = false;
  OpenSplicer& splicer = *slot->splicer;
  // Bytes that arrived are kept whatever ended the transfer.
  if (transfer->actual_length > 0)
    splicer.backlog.append(reinterpret_cast<const char*>(transfer->buffer),
                           static_cast<std::size_t>(transfer->actual_length));
  switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_CANCELLED:
    case LIBUSB_TRANSFER_TIMED_OUT:
      break;
    case LIBUSB_TRANSFER_STALL:
      splicer.stalled = true;
      break;
    default:  // gone, or broken
      splicer.failed = true;
      break;
  }
}

// Hotplug: an arrival is looked at by the next create; an open splicer that
// left is failed at once (its backlog is still read out).
int LIBUSB_CALL DeviceEvent(libusb_context*, libusb_device* device, libusb_hotplug_event event, void*) {
  LibraryState& state = State();
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    state.lookAgain = true;
    return 0;
  }
  for (auto& [handle, splicer] : state.open)
    if (splicer->bus == libusb_get_bus_number(device) &&
        splicer->address == libusb_get_device_address(device))
      splicer->failed = true;
  return 0;
}

void HandleEventsNow() {
  timeval none{0, 0};
  libusb_handle_events_timeout_completed(State().context, &none, nullptr);
}

// Keeps the IN transfers pending while the reader keeps up.
void Resubmit(OpenSplicer& splicer) {
  if (splicer.failed || splicer.stalled) return;
  for (ReadSlot& slot : splicer.reads) {
    if (slot.pending) continue;
    if (splicer.Backlog() >= kMaxBacklog) return;
    const int rc = libusb_submit_transfer(slot.transfer);
    if (rc != LIBUSB_SUCCESS) {
      splicer.failed = true;
      return;
    }
    slot.pending = true;
  }
}

// A stall: the transfers still pending are called back, the halt cleared,
// and reading resumes. What they carried is already in the backlog.
void RecoverFromStall(OpenSplicer& splicer) {
  for (ReadSlot& slot : splicer.reads)
    if (slot.pending) libusb_cancel_transfer(slot.transfer);
  if (splicer.AnyPending()) return;  // next read, once they are back
  if (libusb_clear_halt(splicer.handle, splicer.inEndpoint) != LIBUSB_SUCCESS) {
    splicer.failed = true;
    return;
  }
  splicer.stalled = false;
}

void Release(OpenSplicer& splicer) {
  for (ReadSlot& slot : splicer.reads)
    if (slot.pending) libusb_cancel_transfer(slot.transfer);
  for (int round = 0; round < kCancelWaitRounds && splicer.AnyPending(); ++round) {
    timeval step = kCancelWaitStep;
    libusb_handle_events_timeout_completed(State().context, &step, nullptr);
  }
  // A transfer that never came back is left allocated: libusb_close detaches
  // it from the handle, so it is never called back into freed memory.
  for (ReadSlot& slot : splicer.reads)
    if (!slot.pending) libusb_free_transfer(slot.transfer);
  libusb_release_interface(splicer.handle, splicer.interfaceNumber);
  libusb_close(splicer.handle);
}

// This library has it open already: one splicer, one reader.
bool HeldHere(libusb_device* device) {
  for (const auto& [handle, splicer] : State().open)
    if (splicer->bus == libusb_get_bus_number(device) &&
        splicer->address == libusb_get_device_address(device))
      return true;
  return false;
}

bool Matches(libusb_device* device, const libusb_device_descriptor& descriptor, const DeviceChoice& choice) {
  if (choice.bus || choice.address)
    return (!choice.bus || libusb_get_bus_number(device) == *choice.bus) &&
           (!choice.address || libusb_get_device_address(device) == *choice.address);
  return descriptor.idVendor == choice.vendorId && descriptor.idProduct == choice.productId;
}

// The interface of class 0 (as the driver selects it) with its bulk pipes.
bool FindInterface(libusb_device* device, OpenSplicer& splicer) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS &&
      libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
    return false;
  bool found = false;
  for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
    if (config->interface[i].num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
    if (alt.bInterfaceClass != 0) continue;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
        if (splicer.inEndpoint == 0) splicer.inEndpoint = ep.bEndpointAddress;
      } else if (splicer.outEndpoint == 0) {
        splicer.outEndpoint = ep.bEndpointAddress;
      }
    }
    if (splicer.inEndpoint != 0) {
      splicer.interfaceNumber = alt.bInterfaceNumber;
      found = true;
    } else {
      splicer.outEndpoint = 0;
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

std::int32_t OpenResult(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_BUSY:
      return kCreateAllHeld;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return kCreateNoDevice;
    default:
      return kCreateOpenFailed;
  }
}

// Opens and claims device; the result of the create, with libusb's error in
// status.
std::int32_t Open(libusb_device* device, std::int32_t& handle, std::int32_t& status) {
  auto splicer = std::make_unique<OpenSplicer>();
  if (!FindInterface(device, *splicer)) {
    status = LIBUSB_ERROR_NOT_FOUND;
    return kCreateOpenFailed;
  }
  int rc = libusb_open(device, &splicer->handle);
  if (rc != LIBUSB_SUCCESS) {
    status = rc;
    return OpenResult(rc);
  }
  libusb_set_auto_detach_kernel_driver(splicer->handle, 1);  // not every platform can
  rc = libusb_claim_interface(splicer->handle, splicer->interfaceNumber);
  if (rc != LIBUSB_SUCCESS) {
    libusb_close(splicer->handle);
    status = rc;
    return OpenResult(rc);
  }
  for (ReadSlot& slot : splicer->reads) {
    slot.splicer = splicer.get();
    slot.transfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(slot.transfer, splicer->handle, splicer->inEndpoint, slot.buffer.data(),
                              kMaxTransfer, ReadCompleted, &slot, 0);
  }
  Resubmit(*splicer);
  if (splicer->failed) {
    status = LIBUSB_ERROR_IO;
    Release(*splicer);
    return kCreateOpenFailed;
  }
  splicer->bus = libusb_get_bus_number(device);
  splicer->address = libusb_get_device_address(device);
  LibraryState& state = State();
  do {
    state.lastHandle = state.lastHandle == INT32_MAX ? 1 : state.lastHandle + 1;
  } while (state.open.count(state.lastHandle) != 0);
  handle = state.lastHandle;
  state.open.emplace(handle, std::move(splicer));
  return kCreateOpened;
}

}  // namespace

void ChooseDevice(const DeviceChoice& choice) {
  State().choice = choice;
  State().lookAgain = true;
}

}  // namespace portline::libusb

using namespace portline;
using namespace portline::libusb;

extern "C" std::int32_t PortlineUsbCreateDevice(std::int32_t* handle, std::int32_t* status,
                                                std::int32_t* found) {
  if (handle == nullptr || status == nullptr || found == nullptr) return kCreateBadArgument;
  *status = 0;
  *found = 0;
  LibraryState& state = State();
  if (state.context == nullptr) {
    const int rc = libusb_init(&state.context);
    if (rc != LIBUSB_SUCCESS) {
      state.context = nullptr;
      *status = rc;
      return kCreateNotConfigured;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
      const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
      state.hotplug =
          libusb_hotplug_register_callback(state.context, static_cast<libusb_hotplug_event>(events),
                                           static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
                                           LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, DeviceEvent,
                                           nullptr, nullptr) == LIBUSB_SUCCESS;
    }
  }
  if (state.open.size() >= kMaxOpenDevices) return kCreateTooManyOpen;
  HandleEventsNow();
  if (state.hotplug && !state.lookAgain) return kCreateNoDevice;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(state.context, &list);
  if (count < 0) {
    *status = static_cast<std::int32_t>(count);
    return kCreateNoDevice;
  }
  std::int32_t result = kCreateNoDevice;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
    if (!Matches(list[i], descriptor, state.choice)) continue;
    ++*found;
    if (result == kCreateOpened) continue;
    if (HeldHere(list[i])) {
      if (result == kCreateNoDevice) result = kCreateAllHeld;
      continue;
    }
    result = Open(list[i], *handle, *status);
  }
  libusb_free_device_list(list, 1);
  state.lookAgain = *found > 0;  // until none is there, and then until one arrives
  return result;
}

extern "C" std::int32_t PortlineUsbReadFile(std::int32_t* handle, std::uint8_t* buffer) {
  OpenSplicer* splicer = Find(handle);
  if (splicer == nullptr || buffer == nullptr) return kDeviceFailure;
  HandleEventsNow();
  if (splicer->stalled) RecoverFromStall(*splicer);
  Resubmit(*splicer);
  const std::size_t n = std::min<std::size_t>(splicer->Backlog(), kMaxTransfer);
  if (n > 0) {
    std::memcpy(buffer, splicer->backlog.data() + splicer->backlogHead, n);
    splicer->backlogHead += n;
    if (splicer->backlogHead == splicer->backlog.size()) {
      splicer->backlog.clear();
      splicer->backlogHead = 0;
    }
    return static_cast<std::int32_t>(n);
  }
  return splicer->failed ? kDeviceFailure : 0;
}

extern "C" std::int32_t PortlineUsbWriteFile(std::int32_t* handle, std::uint8_t* bytes, std::int32_t* count) {
  OpenSplicer* splicer = Find(handle);
  if (splicer == nullptr || bytes == nullptr || count == nullptr) return kDeviceFailure;
  if (*count < 1 || *count > kMaxTransfer || splicer->outEndpoint == 0 || splicer->failed)
    return kDeviceFailure;
  int sent = 0;
  const int rc =
      libusb_bulk_transfer(splicer->handle, splicer->outEndpoint, bytes, *count, &sent, kWriteTimeoutMs);
  if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_TIMEOUT) return kDeviceFailure;
  if (sent == 0) return kDeviceFailure;
  return sent;
}

extern "C" std::int32_t PortlineUsbCloseDevice(std::int32_t* handle) {
  OpenSplicer* splicer = Find(handle);
  if (splicer == nullptr) return kDeviceFailure;
  Release(*splicer);
  State().open.erase(*handle);
  State().lookAgain = true;  // it may still be there, and no arrival will say so
  return 0;
}
