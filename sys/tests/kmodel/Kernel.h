// The kernel model: a user-mode implementation of every kernel and USBD
// routine the driver calls, with the checks of Driver Verifier's I/O
// verification and the static WDM rules turned into recorded violations.
// The test harness (Harness.h) plays the I/O, PnP and power managers on top
// of it; the simulated bus driver (UsbBus.h) sits below the driver.
#pragma once

#include "Ddk.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kmodel {

// ---- Verifier ---------------------------------------------------------------
// Records a rule violation; tests fail when any is recorded.
void Violation(const char* format, ...);
std::vector<std::string> TakeViolations();

// ---- IRQL -------------------------------------------------------------------
KIRQL CurrentIrql();
// Raises the calling thread to DISPATCH_LEVEL for its lifetime.
class AtDispatchLevel {
 public:
  AtDispatchLevel();
  ~AtDispatchLevel();
  AtDispatchLevel(const AtDispatchLevel&) = delete;
  AtDispatchLevel& operator=(const AtDispatchLevel&) = delete;

 private:
  KIRQL previous_;
};

// ---- Systematic low resources ------------------------------------------------
enum class AllocationKind {
  Pool,                  // ExAllocatePoolWithTag
  AllocateIrp,           // IoAllocateIrp
  BuildIoctlIrp,         // IoBuildDeviceIoControlRequest
  ConfigurationRequest,  // USBD_CreateConfigurationRequestEx
  PowerIrp,              // PoRequestPowerIrp
  CreateDevice,          // IoCreateDevice
  RegisterInterface,     // IoRegisterDeviceInterface
};
const char* AllocationKindName(AllocationKind kind);

// One place in the driver that allocates: the kind and the caller's address.
struct AllocationSite {
  AllocationKind kind;
  const void* caller;
  bool operator==(const AllocationSite& other) const { return kind == other.kind && caller == other.caller; }
};

// A site and how many times a scenario reached it.
struct RecordedSite {
  AllocationSite site;
  int calls;
  std::size_t size;  // bytes asked for at the first call (pool only)
};

// Either records every site reached, or fails one call (the first is 1) of
// one site, and only that call.
void RecordAllocationSites();
std::vector<RecordedSite> RecordedAllocationSites();
void FailAllocationSiteOnce(const AllocationSite& site, int call = 1);
bool InjectedFailureHappened();
// True when the allocation of this kind at this call site is to fail now.
bool ShouldFailAllocation(AllocationKind kind, const void* caller);

// ---- Pool -------------------------------------------------------------------
struct PoolBlock {
  ULONG tag;
  std::size_t size;
};
std::vector<PoolBlock> OutstandingPool();
std::string DescribePool(const std::vector<PoolBlock>& blocks);
// Pool that the model itself hands to the driver to free (interface names,
// select-configuration URBs). Not a fault-injection site.
void* ModelPoolAllocate(std::size_t size, ULONG tag);

// ---- IRPs -------------------------------------------------------------------
enum class IrpOrigin { IoManager, BuildIoctl, Allocated, Power };
// A request the I/O manager makes for user mode or for the PnP and power
// managers. `onDone` runs when it is finally completed.
PIRP CreateManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onDone);
// The request is a read, write or I/O control a user-mode program waits for.
// Such a program hears of its device's removal through the interface being
// disabled, and a kernel may tell it synchronously (Wine broadcasts
// WM_DEVICECHANGE from inside IoSetDeviceInterfaceState), so the interface
// is never disabled while one of these is still outstanding.
void MarkUserRequest(PIRP irp);
// The bus driver holds the IRP pending (guarded) or hands it back.
void GuardIrp(PIRP irp, bool guarded);
std::size_t LiveIrpCount();

// Power requests made with PoRequestPowerIrp, with `context` as the
// context of their completion function, that are not finished yet.
std::size_t LivePowerRequests(const void* context);
// Whether some remove lock is held with this tag now (a request holds it
// with the IRP as its tag).
bool RemoveLockHeldFor(const void* tag);

// Power IRPs dispatched to devices of this driver must see PoStartNextPowerIrp.
void SetDriverUnderTest(PDRIVER_OBJECT driver);

// ---- Devices and interfaces ---------------------------------------------------
// A driver object whose major functions all fail with
// STATUS_INVALID_DEVICE_REQUEST until its entry routine sets them.
PDRIVER_OBJECT CreateDriverObject();
PDRIVER_DISPATCH DefaultDispatch();
PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT bus);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
struct DeviceRecord {
  PDEVICE_OBJECT device;
  PDRIVER_OBJECT driver;
  bool attached;         // attached to a lower device
  bool detached;         // detached again
  int deletes;           // IoDeleteDevice calls
  bool deletedAttached;  // deleted while still attached
};
std::vector<DeviceRecord> Devices();
struct InterfaceRecord {
  PDEVICE_OBJECT pdo;
  GUID guid;
  std::wstring name;
  bool enabled;
};
std::vector<InterfaceRecord> Interfaces();

// ---- Knobs ------------------------------------------------------------------
void SetWdm132Available(bool available);
void SetAttachFails(bool fails);

// ---- Another context: work run later on a worker thread at DISPATCH_LEVEL --
void QueueDeferred(std::function<void()> work);
// Waits until every deferred work item has run.
void DrainDeferred();
// Called from deferred work: waits until some thread is blocked on an
// unsignalled event or `device` has been deleted, so that work finishing
// "late" really comes after the driver has either waited for it or gone on
// without it.
void WaitUntilDriverWaitsOrDeletes(PDEVICE_OBJECT device);
// Waits until some thread is blocked on an unsignalled event or on a mutex
// another thread holds: a test holding the driver up at one point lets
// another request run until it has to wait.
void WaitUntilAThreadWaits();

// ---- Lifetime ---------------------------------------------------------------
// Frees everything and clears every record; called between scenarios.
void ResetModel();

}  // namespace kmodel
