// The test harness: plays the I/O manager, the PnP manager and the power
// manager for one Portline device above the simulated bus, and gathers what
// the verifier found.
#pragma once

#include <condition_variable>
#include <functional>
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
  NTSTATUS returned = 0;  // what the top dispatch routine returned
  NTSTATUS status = 0;    // the final status
  ULONG_PTR information = 0;
  std::vector<UCHAR> data;  // read data, or the control output as copied back
  PIRP irp = nullptr;       // while not done
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
  // Checks that the interface is disabled by the time the request is done;
  // every open afterwards must fail.
  NTSTATUS SurpriseRemove();
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
  NTSTATUS Control(ULONG code, ULONG outputLength, std::vector<UCHAR>* output, ULONG_PTR* information);
  // Sends a major function the driver does not handle.
  NTSTATUS Other(UCHAR major);
  // A WMI request for the bus's PDO, the provider; it must reach it.
  NTSTATUS SystemControl(UCHAR minor);
  // The I/O manager cancels a request that is not done yet.
  void Cancel(const Request& request);

  // ---- Scenario steps and checks, in plain and fault-injection runs ----
  // Fails the given call of one allocation site in this run (the first is
  // 1); the step that call happens in must end with exactly `status`.
  void InjectFailure(const AllocationSite& site, int call, NTSTATUS status);
  NTSTATUS InjectedFailureStatus() const { return failureStatus_; }
  // One step of a scenario, as user mode or a manager takes it; it must end
  // with `expected`. When the injected failure happens inside it, it must
  // end with InjectedFailureStatus() instead, and is then taken once more,
  // as its caller would, unless that already is `expected`. Returns true when
  // the failure happened inside it.
  bool Step(const char* what, NTSTATUS expected, const std::function<NTSTATUS()>& op);
  // The same for a request left in flight: one that the injected failure
  // ended at once must have ended with InjectedFailureStatus() and is sent
  // again.
  Request BeginStep(const char* what, const std::function<Request()>& op);
  // Records a problem unless status is `expected`.
  void Expect(NTSTATUS status, NTSTATUS expected, const char* what);
  // Records a problem unless `condition`.
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
  bool surpriseRemoved_ = false;
  bool injecting_ = false;
  bool failureMet_ = false;  // a step saw the injected failure
  NTSTATUS failureStatus_ = STATUS_SUCCESS;
};

}  // namespace kmodel
