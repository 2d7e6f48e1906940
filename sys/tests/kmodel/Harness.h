// The test harness: plays the I/O manager, the PnP manager and the power
// manager for one Portline device above the simulated bus, and gathers what
// the verifier found.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kernel.h"
#include "UsbBus.h"

struct _DEVICE_EXTENSION;

namespace kmodel {

// A request in flight, as user mode (or a manager) sees it.
struct UserRequest {
  bool done = false;
  NTSTATUS returned = 0;       // what the top dispatch routine returned
  NTSTATUS status = 0;         // the final status
  ULONG_PTR information = 0;
  std::vector<UCHAR> data;     // read data, or the control output as copied back
};
using Request = std::shared_ptr<UserRequest>;
using Handle = PFILE_OBJECT;

class Harness {
 public:
  explicit Harness(BusConfig config = {});
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  UsbBus& Bus() { return *bus_; }
  PDRIVER_OBJECT Driver() const { return driver_; }
  PDEVICE_OBJECT Device() const { return fdo_; }
  _DEVICE_EXTENSION* Extension() const;
  bool DevicePresent() const { return fdo_ != nullptr; }

  // ---- PnP manager ----
  NTSTATUS AddDevice();
  NTSTATUS Pnp(UCHAR minor);
  NTSTATUS Start() { return Pnp(IRP_MN_START_DEVICE); }
  NTSTATUS QueryCapabilities();
  // Removal: the device object is gone afterwards.
  NTSTATUS Remove();
  NTSTATUS SurpriseRemove() { return Pnp(IRP_MN_SURPRISE_REMOVAL); }
  // Add, capabilities and start, as when the splicer is plugged in.
  NTSTATUS Arrive();

  // ---- Power manager ----
  NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
  NTSTATUS QueryPower(POWER_STATE_TYPE type, POWER_STATE state);
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);

  // ---- I/O manager for user mode ----
  NTSTATUS Open(Handle* handle);
  NTSTATUS OpenWithoutFileObject();
  NTSTATUS Close(Handle handle);
  Request BeginRead(Handle handle, ULONG length);
  Request BeginWrite(Handle handle, const std::vector<UCHAR>& bytes);
  // Waits until the request is complete; returns its final status.
  NTSTATUS Wait(const Request& request);
  NTSTATUS Read(Handle handle, ULONG length, std::vector<UCHAR>* bytes);
  NTSTATUS Write(Handle handle, const std::vector<UCHAR>& bytes, ULONG_PTR* written);
  Request Control(ULONG code, ULONG outputLength, ULONG inputLength = 0);
  NTSTATUS Control(ULONG code, ULONG outputLength, std::vector<UCHAR>* output,
                   ULONG_PTR* information);
  // Sends a major function the driver does not handle.
  NTSTATUS Other(UCHAR major);

  // ---- Scenario checks that hold in fault-injection runs too ----
  // Records a problem unless status is `expected` or, once an injected
  // failure has happened, a clean failure status.
  void Expect(NTSTATUS status, NTSTATUS expected, const char* what);
  // Records a problem unless `condition`; skipped after an injected failure.
  void Expect(bool condition, const char* what);
  // Ends the scenario: removes the device if it is still there, lets all
  // work finish, and returns every problem and verifier violation, plus any
  // pool, IRP, reference or device object left behind.
  std::vector<std::string> Finish();

 private:
  Request Send(UCHAR major, UCHAR minor, PFILE_OBJECT file,
               const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup, ULONG outputLength = 0,
               std::shared_ptr<void> keepAlive = nullptr);

  PDRIVER_OBJECT busDriver_;
  PDRIVER_OBJECT driver_;
  std::unique_ptr<UsbBus> bus_;
  PDEVICE_OBJECT fdo_ = nullptr;
  std::vector<PFILE_OBJECT> files_;
  std::vector<std::string> problems_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool finished_ = false;
  bool everAdded_ = false;
};

// Statuses a request may end with when an allocation was made to fail.
bool IsCleanFailure(NTSTATUS status);

}  // namespace kmodel
