// The kernel model: kernel routines, verifier bookkeeping and fault injection.
#include "Kernel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "PageGuard.h"

namespace kmodel {
namespace {

constexpr std::size_t kPage = 0x1000;
constexpr unsigned char kRedZoneByte = 0xFD;
constexpr std::size_t kRedZone = 16;
constexpr unsigned char kFreshPoolByte = 0xCD;

std::size_t RoundToPages(std::size_t size) { return (size + kPage - 1) & ~(kPage - 1); }

// One driver routine's view of an IRP at one stack location: what its
// dispatch routine returned and what the IRP looked like when completion
// passed its location.
struct LevelCall {
  int level = 0;
  PDEVICE_OBJECT device = nullptr;
  bool returned = false;
  NTSTATUS returnedStatus = 0;
  bool passed = false;
  bool markedPending = false;
  NTSTATUS statusAtLevel = 0;
};

struct IrpInfo {
  IrpOrigin origin = IrpOrigin::IoManager;
  std::size_t blockSize = 0;
  bool finished = false;  // completed back to its originator, or freed
  bool guarded = false;
  bool awaitingStartNext = false;
  bool userRequest = false;  // a read, write or I/O control from user mode
  bool completing = false;   // on its way up in IofCompleteRequest
  std::vector<std::shared_ptr<LevelCall>> calls;
  std::function<void(PIRP)> onDone;
  PKEVENT userEvent = nullptr;
  PIO_STATUS_BLOCK userIosb = nullptr;
  PREQUEST_POWER_COMPLETE powerCompletion = nullptr;
  PVOID powerContext = nullptr;
  PDEVICE_OBJECT powerTarget = nullptr;
  UCHAR powerMinor = 0;
  POWER_STATE powerState{};
};

struct GuardedBlock {
  void* base;
  std::size_t size;
  const char* what;
};

struct DeviceInfo {
  PDEVICE_OBJECT device;
  std::size_t blockSize;
  DeviceRecord record;
};

struct PoolInfo {
  ULONG tag;
  std::size_t size;
};

struct Model {
  std::recursive_mutex mu;
  std::vector<std::string> violations;
  std::map<PIRP, std::shared_ptr<IrpInfo>> irps;
  std::vector<GuardedBlock> quarantine;  // retired IRPs and deleted devices
  std::map<void*, PoolInfo> pool;
  std::vector<DeviceInfo> devices;
  std::vector<PDRIVER_OBJECT> drivers;
  std::vector<InterfaceRecord> interfaces;
  PDRIVER_OBJECT driverUnderTest = nullptr;
  bool wdm132 = true;
  bool attachFails = false;
  // Fault injection.
  bool recording = false;
  std::vector<RecordedSite> sites;
  bool failing = false;
  AllocationSite target{};
  int targetCall = 1;
  int targetCalls = 0;
  bool fired = false;
  unsigned long interfaceSerial = 0;
  // Remove-lock references held now, by tag (the IRP, for requests).
  std::multiset<const void*> removeLockTags;
};

Model& M() {
  static Model* model = new Model;  // never destroyed: worker threads may outlive main
  return *model;
}

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_threadIdentity;  // its address names the thread as a mutex owner

// The dispatcher type of a mutex (KOBJECTS' MutantObject); events are 0 and 1.
constexpr UCHAR kMutantObject = 2;
thread_local int t_inPoCallDriver = 0;

// Events: one lock and one condition for all of them, as in a dispatcher.
std::mutex g_eventMu;
std::condition_variable g_eventCv;
std::vector<PRKEVENT> g_waitedOn;  // events threads are blocked on

bool OnGuardFault(void* address) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  auto inside = [address](void* base, std::size_t size) {
    auto a = static_cast<unsigned char*>(address);
    auto b = static_cast<unsigned char*>(base);
    return a >= b && a < b + size;
  };
  for (auto& [irp, info] : m.irps) {
    if (info->guarded && inside(irp, info->blockSize)) {
      Violation("IRP %p touched while a lower driver owns it (after it was handed down)", irp);
      info->guarded = false;
      SetGuardedBlockAccess(irp, info->blockSize, true);
      return true;
    }
  }
  for (auto& block : m.quarantine) {
    if (inside(block.base, block.size)) {
      Violation("%s %p touched after it was given up", block.what, block.base);
      SetGuardedBlockAccess(block.base, block.size, true);
      return true;
    }
  }
  return false;
}

bool ShouldFail(AllocationKind kind, const void* caller, std::size_t size = 0) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  AllocationSite site{kind, caller};
  if (m.recording) {
    for (auto& s : m.sites) {
      if (s.site == site) {
        ++s.calls;
        return false;
      }
    }
    m.sites.push_back({site, 1, size});
    return false;
  }
  if (m.failing && !m.fired && m.target == site && ++m.targetCalls == m.targetCall) {
    m.fired = true;
    return true;
  }
  return false;
}

std::shared_ptr<IrpInfo> FindIrp(PIRP irp) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  auto it = m.irps.find(irp);
  return it == m.irps.end() ? nullptr : it->second;
}

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin) {
  const USHORT size = IoSizeOfIrp(stackSize);
  const std::size_t block = RoundToPages(size);
  PIRP irp = static_cast<PIRP>(AllocateGuardedBlock(block));
  std::memset(irp, 0, size);
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  auto info = std::make_shared<IrpInfo>();
  info->origin = origin;
  info->blockSize = block;
  Model& m = M();
  std::lock_guard lock(m.mu);
  m.irps[irp] = info;
  return irp;
}

// The IRP's memory is closed and kept until the model is reset, so that any
// later access by the driver faults and is reported.
void Retire(PIRP irp) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  auto it = m.irps.find(irp);
  if (it == m.irps.end()) return;
  std::size_t size = it->second->blockSize;
  m.irps.erase(it);
  SetGuardedBlockAccess(irp, size, false);
  m.quarantine.push_back({irp, size, "IRP"});
}

void CheckLevel(const LevelCall& call) {
  if (!call.returned || !call.passed) return;
  if (call.returnedStatus == STATUS_PENDING && !call.markedPending) {
    Violation("dispatch routine of device %p returned STATUS_PENDING without IoMarkIrpPending", call.device);
  }
  if (call.returnedStatus != STATUS_PENDING && call.markedPending) {
    Violation("dispatch routine of device %p marked the IRP pending but returned 0x%08lX", call.device,
              static_cast<unsigned long>(call.returnedStatus));
  }
  if (call.returnedStatus != STATUS_PENDING && call.returnedStatus != call.statusAtLevel) {
    Violation("dispatch routine of device %p returned 0x%08lX but completed the IRP with 0x%08lX",
              call.device, static_cast<unsigned long>(call.returnedStatus),
              static_cast<unsigned long>(call.statusAtLevel));
  }
}

bool IsDriverUnderTest(PDEVICE_OBJECT device) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  return device != nullptr && m.driverUnderTest != nullptr && device->DriverObject == m.driverUnderTest;
}

DeviceInfo* FindDevice(PDEVICE_OBJECT device) {
  for (auto& d : M().devices) {
    if (d.device == device) return &d;
  }
  return nullptr;
}

// Final completion: the I/O manager's part once the IRP has left the top
// stack location.
void FinishIrp(PIRP irp, const std::shared_ptr<IrpInfo>& info) {
  {
    std::lock_guard lock(M().mu);
    info->finished = true;
  }
  switch (info->origin) {
    case IrpOrigin::IoManager:
      if (info->onDone) info->onDone(irp);
      Retire(irp);
      break;
    case IrpOrigin::BuildIoctl:
      *info->userIosb = irp->IoStatus;
      KeSetEvent(info->userEvent, IO_NO_INCREMENT, FALSE);
      Retire(irp);
      break;
    case IrpOrigin::Allocated:
      Violation(
          "IRP %p from IoAllocateIrp was completed back to the I/O manager; "
          "its owner must stop completion and free it",
          irp);
      break;
    case IrpOrigin::Power: {
      IO_STATUS_BLOCK status = irp->IoStatus;
      info->powerCompletion(info->powerTarget, info->powerMinor, info->powerState, info->powerContext,
                            &status);
      Retire(irp);
      break;
    }
  }
}

// ---- Deferred work ------------------------------------------------------------
struct Worker {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> queue;
  int running = 0;
  int passive = 0;  // power requests being dispatched on threads of their own
  std::thread thread;
  Worker() : thread([this] { Run(); }) { thread.detach(); }
  void Run() {
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock lock(mu);
        cv.wait(lock, [this] { return !queue.empty(); });
        work = std::move(queue.front());
        queue.pop_front();
        ++running;
      }
      {
        AtDispatchLevel dispatch;
        work();
      }
      {
        std::lock_guard lock(mu);
        --running;
      }
      cv.notify_all();
    }
  }
};

Worker& TheWorker() {
  static Worker* worker = new Worker;
  return *worker;
}

}  // namespace

// ---- Verifier -----------------------------------------------------------------
void Violation(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Model& m = M();
  std::lock_guard lock(m.mu);
  m.violations.emplace_back(text);
}

std::vector<std::string> TakeViolations() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  std::vector<std::string> out;
  out.swap(m.violations);
  return out;
}

KIRQL CurrentIrql() { return t_irql; }

AtDispatchLevel::AtDispatchLevel() : previous_(t_irql) { t_irql = DISPATCH_LEVEL; }
AtDispatchLevel::~AtDispatchLevel() { t_irql = previous_; }

const char* AllocationKindName(AllocationKind kind) {
  switch (kind) {
    case AllocationKind::Pool:
      return "ExAllocatePoolWithTag";
    case AllocationKind::AllocateIrp:
      return "IoAllocateIrp";
    case AllocationKind::BuildIoctlIrp:
      return "IoBuildDeviceIoControlRequest";
    case AllocationKind::ConfigurationRequest:
      return "USBD_CreateConfigurationRequestEx";
    case AllocationKind::PowerIrp:
      return "PoRequestPowerIrp";
    case AllocationKind::CreateDevice:
      return "IoCreateDevice";
    case AllocationKind::RegisterInterface:
      return "IoRegisterDeviceInterface";
  }
  return "?";
}

void RecordAllocationSites() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  m.recording = true;
  m.failing = false;
  m.sites.clear();
}

std::vector<RecordedSite> RecordedAllocationSites() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  return m.sites;
}

void FailAllocationSiteOnce(const AllocationSite& site, int call) {
  Model& m = M();
  std::lock_guard lock(m.mu);
  m.recording = false;
  m.failing = true;
  m.target = site;
  m.targetCall = call;
  m.targetCalls = 0;
  m.fired = false;
}

bool ShouldFailAllocation(AllocationKind kind, const void* caller) { return ShouldFail(kind, caller); }

bool InjectedFailureHappened() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  return m.fired;
}

// ---- Pool ---------------------------------------------------------------------
std::vector<PoolBlock> OutstandingPool() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  std::vector<PoolBlock> out;
  for (auto& [p, info] : m.pool) out.push_back({info.tag, info.size});
  return out;
}

std::string DescribePool(const std::vector<PoolBlock>& blocks) {
  std::string text;
  for (auto& b : blocks) {
    char tag[5] = {static_cast<char>(b.tag & 0xFF), static_cast<char>((b.tag >> 8) & 0xFF),
                   static_cast<char>((b.tag >> 16) & 0xFF), static_cast<char>(b.tag >> 24), 0};
    text += "'" + std::string(tag) + "' " + std::to_string(b.size) + " bytes; ";
  }
  return text;
}

void* ModelPoolAllocate(std::size_t size, ULONG tag) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kRedZone));
  std::memset(block, kFreshPoolByte, size);
  std::memset(block + size, kRedZoneByte, kRedZone);
  Model& m = M();
  std::lock_guard lock(m.mu);
  m.pool[block] = {tag, size};
  return block;
}

namespace {
void FreePool(PVOID p, bool tagged, ULONG tag) {
  if (t_irql > DISPATCH_LEVEL) Violation("pool freed above DISPATCH_LEVEL");
  Model& m = M();
  std::lock_guard lock(m.mu);
  auto it = m.pool.find(p);
  if (it == m.pool.end()) {
    Violation("freeing pool %p that is not allocated (double free or foreign pointer)", p);
    return;
  }
  if (tagged && it->second.tag != tag) {
    Violation("pool %p freed with tag 0x%08lX but allocated with 0x%08lX", p, static_cast<unsigned long>(tag),
              static_cast<unsigned long>(it->second.tag));
  }
  auto* bytes = static_cast<unsigned char*>(p);
  for (std::size_t i = 0; i < kRedZone; ++i) {
    if (bytes[it->second.size + i] != kRedZoneByte) {
      Violation("pool block of %zu bytes (tag 0x%08lX) was written past its end", it->second.size,
                static_cast<unsigned long>(it->second.tag));
      break;
    }
  }
  m.pool.erase(it);
  std::free(p);
}
}  // namespace

// ---- IRPs -----------------------------------------------------------------------
PIRP CreateManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onDone) {
  PIRP irp = NewIrp(stackSize, IrpOrigin::IoManager);
  FindIrp(irp)->onDone = std::move(onDone);
  return irp;
}

void MarkUserRequest(PIRP irp) {
  auto info = FindIrp(irp);
  std::lock_guard lock(M().mu);
  if (info) info->userRequest = true;
}

void GuardIrp(PIRP irp, bool guarded) {
  auto info = FindIrp(irp);
  if (!info) return;
  std::lock_guard lock(M().mu);
  info->guarded = guarded;
  SetGuardedBlockAccess(irp, info->blockSize, !guarded);
}

std::size_t LiveIrpCount() {
  Model& m = M();
  std::lock_guard lock(m.mu);
  std::size_t n = 0;
  for (auto& [irp, info] : m.irps) n += info->finished ? 0 : 1;
  return n;
}

void SetDriverUnderTest(PDRIVER_OBJECT driver) {
  std::lock_guard lock(M().mu);
  M().driverUnderTest = driver;
}

// ---- Devices --------------------------------------------------------------------
namespace {
// What the I/O manager installs for every major function a driver leaves unset.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}
}  // namespace

PDRIVER_DISPATCH DefaultDispatch() { return InvalidDeviceRequest; }

PDRIVER_OBJECT CreateDriverObject() {
  auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
  auto* extension = static_cast<PDRIVER_EXTENSION>(std::calloc(1, sizeof(DRIVER_EXTENSION)));
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  for (auto& entry : driver->MajorFunction) entry = InvalidDeviceRequest;
  std::lock_guard lock(M().mu);
  M().drivers.push_back(driver);
  return driver;
}

namespace {
PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type,
                         ULONG characteristics) {
  const std::size_t size = sizeof(DEVICE_OBJECT) + extensionSize;
  const std::size_t block = RoundToPages(size);
  auto* device = static_cast<PDEVICE_OBJECT>(AllocateGuardedBlock(block));
  std::memset(device, 0, size);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
  device->DriverObject = driver;
  device->DeviceExtension = extensionSize ? device + 1 : nullptr;
  device->DeviceType = type;
  device->Characteristics = characteristics;
  device->Flags = DO_DEVICE_INITIALIZING;
  device->StackSize = 1;
  device->NextDevice = driver->DeviceObject;
  driver->DeviceObject = device;
  std::lock_guard lock(M().mu);
  M().devices.push_back({device, block, {device, driver, false, false, 0, false}});
  return device;
}
}  // namespace

PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT bus) {
  PDEVICE_OBJECT pdo = NewDevice(bus, 0, FILE_DEVICE_BUS_EXTENDER, 0);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo->Flags |= DO_POWER_PAGABLE;
  // A hub's PDO: the USB stack below it takes stack locations of its own.
  pdo->StackSize = 2;
  return pdo;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

std::vector<DeviceRecord> Devices() {
  std::lock_guard lock(M().mu);
  std::vector<DeviceRecord> out;
  for (auto& d : M().devices) out.push_back(d.record);
  return out;
}

std::vector<InterfaceRecord> Interfaces() {
  std::lock_guard lock(M().mu);
  return M().interfaces;
}

void SetWdm132Available(bool available) {
  std::lock_guard lock(M().mu);
  M().wdm132 = available;
}

void SetAttachFails(bool fails) {
  std::lock_guard lock(M().mu);
  M().attachFails = fails;
}

void QueueDeferred(std::function<void()> work) {
  Worker& w = TheWorker();
  {
    std::lock_guard lock(w.mu);
    w.queue.push_back(std::move(work));
  }
  w.cv.notify_all();
}

void DrainDeferred() {
  Worker& w = TheWorker();
  std::unique_lock lock(w.mu);
  w.cv.wait(lock, [&w] { return w.queue.empty() && w.running == 0 && w.passive == 0; });
}

namespace {
// Nothing is queued or running in the other context: whatever a waiting
// thread waits for now will only come if that thread acts itself.
bool OtherContextIdle() {
  Worker& w = TheWorker();
  std::lock_guard lock(w.mu);
  return w.queue.empty() && w.running == 0 && w.passive == 0;
}

// Runs `work` at PASSIVE_LEVEL on the power manager's own thread, made once
// and kept (as the power manager dispatches power requests to a stack of
// DO_POWER_PAGABLE drivers from a system thread), in the order queued.
void RunAtPassiveLevel(std::function<void()> work) {
  struct PassiveWorker {
    std::deque<std::function<void()>> queue;
    std::thread thread;
    PassiveWorker() : thread([this] { Run(); }) { thread.detach(); }
    void Run() {
      Worker& w = TheWorker();
      for (;;) {
        std::function<void()> item;
        {
          std::unique_lock lock(w.mu);
          w.cv.wait(lock, [this] { return !queue.empty(); });
          item = std::move(queue.front());
          queue.pop_front();
        }
        item();
        {
          std::lock_guard lock(w.mu);
          --w.passive;
        }
        w.cv.notify_all();
      }
    }
  };
  static PassiveWorker* passive = new PassiveWorker;  // never destroyed, as the worker
  Worker& w = TheWorker();
  {
    std::lock_guard lock(w.mu);
    ++w.passive;
    passive->queue.push_back(std::move(work));
  }
  w.cv.notify_all();
}
}  // namespace

bool RemoveLockHeldFor(const void* tag) {
  std::lock_guard lock(M().mu);
  return M().removeLockTags.count(tag) != 0;
}

std::size_t LivePowerRequests(const void* context) {
  std::lock_guard lock(M().mu);
  std::size_t n = 0;
  for (auto& [irp, info] : M().irps) {
    if (info->origin == IrpOrigin::Power && !info->finished && info->powerContext == context) ++n;
  }
  return n;
}

void WaitUntilDriverWaitsOrDeletes(PDEVICE_OBJECT device) {
  auto deviceDeleted = [device] {
    std::lock_guard lock(M().mu);
    for (auto& d : M().devices) {
      if (d.device == device && d.record.deletes > 0) return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::unique_lock lock(g_eventMu);
      for (PRKEVENT e : g_waitedOn) {
        if (e->Header.SignalState == 0 && e->Header.Type != kMutantObject) return;
      }
      g_eventCv.wait_for(lock, std::chrono::milliseconds(1));
    }
    if (deviceDeleted()) return;
  }
}

void WaitUntilAThreadWaits() {
  std::unique_lock lock(g_eventMu);
  const bool waiting = g_eventCv.wait_for(lock, std::chrono::seconds(20), [] {
    return std::any_of(g_waitedOn.begin(), g_waitedOn.end(),
                       [](PRKEVENT e) { return e->Header.SignalState == 0; });
  });
  if (!waiting) {
    std::fprintf(stderr, "kernel model: no thread ever came to wait\n");
    std::abort();
  }
}

void ResetModel() {
  DrainDeferred();
  Model& m = M();
  std::lock_guard lock(m.mu);
  InstallGuardFaultHandler(OnGuardFault);
  for (auto& [irp, info] : m.irps) FreeGuardedBlock(irp);
  m.irps.clear();
  for (auto& block : m.quarantine) FreeGuardedBlock(block.base);
  m.quarantine.clear();
  for (auto& [p, info] : m.pool) std::free(p);
  m.pool.clear();
  for (auto& d : m.devices) FreeGuardedBlock(d.device);
  m.devices.clear();
  for (auto* driver : m.drivers) {
    std::free(driver->DriverExtension);
    std::free(driver);
  }
  m.drivers.clear();
  m.interfaces.clear();
  m.removeLockTags.clear();
  m.violations.clear();
  m.driverUnderTest = nullptr;
  m.wdm132 = true;
  m.attachFails = false;
  m.recording = false;
  m.failing = false;
  m.fired = false;
  m.sites.clear();
  t_irql = PASSIVE_LEVEL;
}

}  // namespace kmodel

using namespace kmodel;

// =================================================================================
// The kernel routines, as the driver links against them.
// =================================================================================
extern "C" {

// ---- Pool -----------------------------------------------------------------------
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const void* caller = __builtin_return_address(0);
  if (t_irql > DISPATCH_LEVEL) Violation("ExAllocatePoolWithTag above DISPATCH_LEVEL");
  if (PoolType != NonPagedPool) {
    Violation("pool of type %d allocated; the driver uses NonPagedPool only", PoolType);
  }
  if (Tag != 0x206D6457) {
    Violation("pool allocated with tag 0x%08lX instead of \"Wdm \"", static_cast<unsigned long>(Tag));
  }
  if (ShouldFail(AllocationKind::Pool, caller, NumberOfBytes)) return nullptr;
  return ModelPoolAllocate(NumberOfBytes, Tag);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, true, Tag); }
VOID NTAPI ExFreePool(PVOID P) { FreePool(P, false, 0); }

// ---- Events -----------------------------------------------------------------------
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::memset(Event, 0, sizeof(*Event));
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  if (Wait) Violation("KeSetEvent with Wait = TRUE");
  if (t_irql > DISPATCH_LEVEL) Violation("KeSetEvent above DISPATCH_LEVEL");
  LONG previous;
  {
    std::lock_guard lock(g_eventMu);
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  g_eventCv.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  if (t_irql > DISPATCH_LEVEL) Violation("KeClearEvent above DISPATCH_LEVEL");
  std::lock_guard lock(g_eventMu);
  Event->Header.SignalState = 0;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  if (Timeout == nullptr || Timeout->QuadPart != 0) {
    if (t_irql != PASSIVE_LEVEL) {
      Violation("KeWaitForSingleObject with a time-out at IRQL %d (waiting at raised IRQL)",
                static_cast<int>(t_irql));
    }
  }
  auto* event = static_cast<PRKEVENT>(Object);
  std::unique_lock lock(g_eventMu);
  if (event->Header.Type == kMutantObject &&
      static_cast<PKMUTEX>(Object)->OwnerThread == reinterpret_cast<PKTHREAD>(&t_threadIdentity)) {
    Violation("a mutex acquired again by the thread that holds it");
    return STATUS_SUCCESS;
  }
  g_waitedOn.push_back(event);
  g_eventCv.notify_all();
  bool signalled = false;
  if (Timeout != nullptr && Timeout->QuadPart != 0) {
    // Time passes only while nothing else can happen: a time-out ends a
    // wait once the other context has nothing left to do and the object is
    // still not signalled, never because the machine is slow.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(signalled = event->Header.SignalState != 0) && std::chrono::steady_clock::now() < deadline) {
      g_eventCv.wait_for(lock, std::chrono::milliseconds(2));
      if (event->Header.SignalState == 0 && OtherContextIdle()) {
        g_waitedOn.erase(std::find(g_waitedOn.begin(), g_waitedOn.end(), event));
        return STATUS_TIMEOUT;
      }
    }
  } else {
    signalled = g_eventCv.wait_for(lock, std::chrono::seconds(20),
                                   [event] { return event->Header.SignalState != 0; });
  }
  g_waitedOn.erase(std::find(g_waitedOn.begin(), g_waitedOn.end(), event));
  if (!signalled) {
    std::fprintf(stderr, "kernel model: a wait was never satisfied (deadlock)\n");
    std::abort();
  }
  if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
  if (event->Header.Type == kMutantObject) {
    event->Header.SignalState = 0;
    static_cast<PKMUTEX>(Object)->OwnerThread = reinterpret_cast<PKTHREAD>(&t_threadIdentity);
  }
  return STATUS_SUCCESS;
}

// A mutex is free (signal state 1) or held by one thread; the driver never
// acquires one recursively.
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  std::memset(Mutex, 0, sizeof(*Mutex));
  Mutex->Header.Type = kMutantObject;
  Mutex->Header.SignalState = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  if (Wait) Violation("KeReleaseMutex with Wait = TRUE");
  if (t_irql > DISPATCH_LEVEL) Violation("KeReleaseMutex above DISPATCH_LEVEL");
  LONG previous;
  {
    std::lock_guard lock(g_eventMu);
    if (Mutex->OwnerThread != reinterpret_cast<PKTHREAD>(&t_threadIdentity)) {
      Violation("a mutex released by a thread that does not hold it");
    }
    previous = Mutex->Header.SignalState;
    Mutex->OwnerThread = nullptr;
    Mutex->Header.SignalState = 1;
  }
  g_eventCv.notify_all();
  return previous;
}

// ---- IRPs -------------------------------------------------------------------------
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  const void* caller = __builtin_return_address(0);
  if (t_irql > DISPATCH_LEVEL) Violation("IoAllocateIrp above DISPATCH_LEVEL");
  if (ShouldFail(AllocationKind::AllocateIrp, caller)) return nullptr;
  return NewIrp(StackSize, IrpOrigin::Allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  auto info = FindIrp(Irp);
  if (!info) {
    Violation("IoFreeIrp on %p, which is not a live IRP (double free?)", Irp);
    return;
  }
  if (info->origin != IrpOrigin::Allocated) {
    Violation("IoFreeIrp on IRP %p, which the driver did not allocate with IoAllocateIrp", Irp);
    return;
  }
  if (Irp->CurrentLocation != Irp->StackCount + 1) {
    Violation("IoFreeIrp on IRP %p while a driver still holds it", Irp);
  }
  {
    std::lock_guard lock(M().mu);
    info->finished = true;
  }
  Retire(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  const void* caller = __builtin_return_address(0);
  if (t_irql != PASSIVE_LEVEL) Violation("IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
  if (InputBuffer != nullptr || OutputBuffer != nullptr || InputBufferLength || OutputBufferLength) {
    Violation("the kernel model builds device-control IRPs without buffers only");
  }
  if (Event == nullptr || IoStatusBlock == nullptr) {
    Violation("IoBuildDeviceIoControlRequest without an event or a status block");
  }
  if (ShouldFail(AllocationKind::BuildIoctlIrp, caller)) return nullptr;
  PIRP irp = NewIrp(DeviceObject->StackSize, IrpOrigin::BuildIoctl);
  auto info = FindIrp(irp);
  info->userEvent = Event;
  info->userIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto info = FindIrp(Irp);
  if (!info) {
    Violation("IofCallDriver with %p, which is not a live IRP", Irp);
    return STATUS_INVALID_PARAMETER;
  }
  if (info->finished) {
    Violation("IofCallDriver with IRP %p, which has already been completed", Irp);
    return STATUS_INVALID_PARAMETER;
  }
  if (t_irql > DISPATCH_LEVEL) Violation("IofCallDriver above DISPATCH_LEVEL");
  if (info->origin == IrpOrigin::Allocated && Irp->CurrentLocation == Irp->StackCount + 1 &&
      IoGetNextIrpStackLocation(Irp)->CompletionRoutine == nullptr) {
    Violation("IRP %p from IoAllocateIrp sent down without a completion routine", Irp);
  }
  // The device and every driver below it each need a location of their own.
  if (Irp->CurrentLocation - 1 < DeviceObject->StackSize) {
    Violation("IRP %p sent to device %p with %d stack locations left; its stack needs %d", Irp, DeviceObject,
              Irp->CurrentLocation - 1, DeviceObject->StackSize);
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    Violation("IRP %p has no stack location left for device %p", Irp, DeviceObject);
    std::abort();
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  const UCHAR major = stack->MajorFunction;
  if (major == IRP_MJ_POWER && t_inPoCallDriver == 0) {
    Violation("power IRP %p passed down with IofCallDriver instead of PoCallDriver", Irp);
  }
  auto call = std::make_shared<LevelCall>();
  call->level = Irp->CurrentLocation;
  call->device = DeviceObject;
  {
    std::lock_guard lock(M().mu);
    info->calls.push_back(call);
    if (major == IRP_MJ_POWER && IsDriverUnderTest(DeviceObject)) info->awaitingStartNext = true;
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[major];
  const int depth = t_inPoCallDriver;
  t_inPoCallDriver = 0;
  NTSTATUS status = dispatch(DeviceObject, Irp);
  t_inPoCallDriver = depth;
  std::lock_guard lock(M().mu);
  call->returned = true;
  call->returnedStatus = status;
  CheckLevel(*call);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  auto info = FindIrp(Irp);
  if (!info) {
    Violation("IofCompleteRequest with %p, which is not a live IRP (completed twice?)", Irp);
    return;
  }
  if (info->finished) {
    Violation("IRP %p completed twice", Irp);
    return;
  }
  if (t_irql > DISPATCH_LEVEL) Violation("IofCompleteRequest above DISPATCH_LEVEL");
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Violation("IRP %p completed with STATUS_PENDING", Irp);
  }
  if (info->awaitingStartNext && Irp->CurrentLocation <= Irp->StackCount &&
      IsDriverUnderTest(IoGetCurrentIrpStackLocation(Irp)->DeviceObject)) {
    Violation("power IRP %p completed without PoStartNextPowerIrp", Irp);
  }
  {
    std::lock_guard lock(M().mu);
    info->completing = true;
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    const int level = Irp->CurrentLocation;
    {
      std::lock_guard lock(M().mu);
      for (auto& call : info->calls) {
        if (call->level == level && !call->passed) {
          call->passed = true;
          call->markedPending = Irp->PendingReturned;
          call->statusAtLevel = Irp->IoStatus.Status;
          CheckLevel(*call);
        }
      }
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    const bool invoke =
        routine != nullptr && ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                               (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                               (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    // The location is cleared as it is left, as the I/O manager does.
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    const bool upperExists = Irp->CurrentLocation <= Irp->StackCount;
    if (invoke) {
      PDEVICE_OBJECT upper = upperExists ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      const NTSTATUS result = routine(upper, Irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        std::lock_guard lock(M().mu);
        info->completing = false;
        return;  // the IRP belongs to whoever stopped completion
      }
      if (Irp->PendingReturned && upperExists &&
          !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
        Violation("completion routine %p did not propagate pending (IoMarkIrpPending) on IRP %p",
                  reinterpret_cast<void*>(routine), Irp);
      }
    } else if (Irp->PendingReturned && upperExists) {
      IoMarkIrpPending(Irp);
    }
  }
  FinishIrp(Irp, info);
}

// ---- Devices ----------------------------------------------------------------------
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                              BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
  (void)Exclusive;
  const void* caller = __builtin_return_address(0);
  if (t_irql != PASSIVE_LEVEL) Violation("IoCreateDevice above PASSIVE_LEVEL");
  if (DeviceName != nullptr) Violation("the device object is to have no name");
  if (ShouldFail(AllocationKind::CreateDevice, caller)) return STATUS_INSUFFICIENT_RESOURCES;
  *DeviceObject = NewDevice(DriverObject, DeviceExtensionSize, DeviceType, DeviceCharacteristics);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  std::lock_guard lock(M().mu);
  if (M().attachFails) return nullptr;
  PDEVICE_OBJECT top = TopOfStack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  if (DeviceInfo* d = FindDevice(SourceDevice)) d->record.attached = true;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard lock(M().mu);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    Violation("IoDetachDevice on %p, which has nothing attached", TargetDevice);
    return;
  }
  TargetDevice->AttachedDevice = nullptr;
  if (DeviceInfo* d = FindDevice(above)) d->record.detached = true;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  if (t_irql > APC_LEVEL) Violation("IoDeleteDevice above APC_LEVEL");
  std::lock_guard lock(M().mu);
  DeviceInfo* d = FindDevice(DeviceObject);
  if (d == nullptr) {
    Violation("IoDeleteDevice on %p, which is not a device object", DeviceObject);
    return;
  }
  if (d->record.deletes++ > 0) {
    Violation("device object %p deleted twice", DeviceObject);
    return;
  }
  if (d->record.attached && !d->record.detached) {
    d->record.deletedAttached = true;
    Violation("device object %p deleted while still attached (delete before detach)", DeviceObject);
  }
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  SetGuardedBlockAccess(DeviceObject, d->blockSize, false);
  M().quarantine.push_back({DeviceObject, d->blockSize, "deleted device object"});
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  std::lock_guard lock(M().mu);
  const UCHAR highestMinor = M().wdm132 ? 0x20 : 0x10;
  return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= highestMinor);
}

// ---- Device interfaces ---------------------------------------------------------------
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  const void* caller = __builtin_return_address(0);
  if (t_irql != PASSIVE_LEVEL) Violation("IoRegisterDeviceInterface above PASSIVE_LEVEL");
  if (ReferenceString != nullptr) Violation("the device interface is to have no reference string");
  if (ShouldFail(AllocationKind::RegisterInterface, caller)) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard lock(M().mu);
  wchar_t text[96];
  std::swprintf(text, 96, L"\\??\\USB#VID_0000&PID_0000#%lu#{%08lx}", ++M().interfaceSerial,
                static_cast<unsigned long>(InterfaceClassGuid->Data1));
  const std::size_t bytes = std::wcslen(text) * sizeof(wchar_t);
  auto* buffer = static_cast<PWCH>(ModelPoolAllocate(bytes + sizeof(wchar_t), 0x6D4E6649 /* "IfNm" */));
  std::memcpy(buffer, text, bytes + sizeof(wchar_t));
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(wchar_t));
  M().interfaces.push_back({PhysicalDeviceObject, *InterfaceClassGuid, text, false});
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (t_irql != PASSIVE_LEVEL) Violation("IoSetDeviceInterfaceState above PASSIVE_LEVEL");
  std::lock_guard lock(M().mu);
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
    Violation("IoSetDeviceInterfaceState with no interface name");
    return STATUS_INVALID_PARAMETER;
  }
  std::wstring name(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(wchar_t));
  if (!Enable) {
    for (auto& [irp, info] : M().irps) {
      if (info->userRequest && !info->finished && !info->completing) {
        Violation("device interface disabled while a user request (IRP %p) is still outstanding", irp);
        break;
      }
    }
  }
  for (auto& i : M().interfaces) {
    if (i.name == name) {
      i.enabled = Enable != FALSE;
      return STATUS_SUCCESS;
    }
  }
  Violation("IoSetDeviceInterfaceState on an interface that was never registered");
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"

namespace {
// RtlFreeUnicodeString is declared as imported from the system library; the
// driver's code reaches it through its import pointer.
VOID NTAPI FreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}
}  // namespace

extern "C" {
void* __imp_RtlFreeUnicodeString = reinterpret_cast<void*>(&FreeUnicodeString);

// ---- Remove lock ----------------------------------------------------------------------
VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  (void)AllocateTag;
  (void)MaxLockedMinutes;
  (void)HighWatermark;
  if (RemlockSize != sizeof(IO_REMOVE_LOCK)) Violation("remove lock of the wrong size");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
  (void)Tag;
  (void)File;
  (void)Line;
  (void)RemlockSize;
  if (RemoveLock->Common.IoCount <= 0 && !RemoveLock->Common.Removed) {
    Violation("remove lock acquired before it was initialised");
  }
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
  }
  std::lock_guard lock(M().mu);
  M().removeLockTags.insert(Tag);
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)RemlockSize;
  {
    std::lock_guard lock(M().mu);
    auto held = M().removeLockTags.find(Tag);
    if (held != M().removeLockTags.end()) M().removeLockTags.erase(held);
  }
  const LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count < 0) Violation("remove lock released more often than acquired");
  if (count == 0) {
    if (!RemoveLock->Common.Removed) Violation("remove lock released more often than acquired");
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)Tag;
  (void)RemlockSize;
  if (t_irql != PASSIVE_LEVEL) Violation("IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
  RemoveLock->Common.Removed = TRUE;
  {
    std::lock_guard lock(M().mu);
    auto held = M().removeLockTags.find(Tag);
    if (held != M().removeLockTags.end()) M().removeLockTags.erase(held);
  }
  InterlockedDecrement(&RemoveLock->Common.IoCount);            // the caller's own
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {  // the initial bias
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

// ---- Power --------------------------------------------------------------------------
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  auto info = FindIrp(Irp);
  if (!info) {
    Violation("PoStartNextPowerIrp on %p, which is not a live IRP", Irp);
    return;
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    Violation("PoStartNextPowerIrp on IRP %p, which is not a power IRP", Irp);
  }
  std::lock_guard lock(M().mu);
  info->awaitingStartNext = false;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto info = FindIrp(Irp);
  // Windows XP: a request passed down without a completion routine is no
  // longer the driver's, so PoStartNextPowerIrp must come first; with one,
  // it comes in the completion routine or before the driver completes it.
  if (info && info->awaitingStartNext && IoGetNextIrpStackLocation(Irp)->CompletionRoutine == nullptr) {
    Violation("power IRP %p passed down without PoStartNextPowerIrp", Irp);
  }
  ++t_inPoCallDriver;
  NTSTATUS status = IofCallDriver(DeviceObject, Irp);
  --t_inPoCallDriver;
  return status;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  const void* caller = __builtin_return_address(0);
  if (Irp != nullptr) Violation("PoRequestPowerIrp is to be called without an IRP out-pointer");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
    Violation("PoRequestPowerIrp with minor function %d", MinorFunction);
  }
  if (ShouldFail(AllocationKind::PowerIrp, caller)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = NewIrp(top->StackSize, IrpOrigin::Power);
  auto info = FindIrp(irp);
  info->powerCompletion = CompletionFunction;
  info->powerContext = Context;
  info->powerTarget = DeviceObject;
  info->powerMinor = MinorFunction;
  info->powerState = PowerState;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = PowerState;
  if (t_irql == PASSIVE_LEVEL) {
    PoCallDriver(top, irp);
  } else {
    // Requested from a completion routine: the stack is DO_POWER_PAGABLE,
    // so the request reaches it later, at PASSIVE_LEVEL.
    RunAtPassiveLevel([top, irp] { PoCallDriver(top, irp); });
  }
  return STATUS_PENDING;
}

// ---- Cancellation -----------------------------------------------------------------
namespace {
std::mutex g_cancelMu;
std::atomic<const void*> g_cancelOwner{nullptr};
}  // namespace

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  if (t_irql > DISPATCH_LEVEL) Violation("IoAcquireCancelSpinLock above DISPATCH_LEVEL");
  if (g_cancelOwner.load() == &t_threadIdentity) {
    Violation("the cancel spin lock acquired again by the thread that holds it");
    std::abort();
  }
  g_cancelMu.lock();
  g_cancelOwner = &t_threadIdentity;
  *Irql = t_irql;
  t_irql = DISPATCH_LEVEL;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  if (g_cancelOwner.load() != &t_threadIdentity) {
    Violation("the cancel spin lock released by a thread that does not hold it");
    return;
  }
  g_cancelOwner = nullptr;
  t_irql = Irql;
  g_cancelMu.unlock();
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  auto info = FindIrp(Irp);
  if (!info || info->finished) {
    Violation("IoCancelIrp on %p, which is not a live IRP", Irp);
    return FALSE;
  }
  // Cancelling touches the IRP on the I/O manager's behalf, not the driver's.
  const bool guarded = info->guarded;
  if (guarded) GuardIrp(Irp, false);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      const_cast<PVOID*>(reinterpret_cast<volatile PVOID*>(&Irp->CancelRoutine)), nullptr));
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    if (guarded) GuardIrp(Irp, true);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  auto info = FindIrp(Irp);
  if (!info || info->origin != IrpOrigin::Allocated) {
    Violation("IoReuseIrp on %p, which the driver did not allocate with IoAllocateIrp", Irp);
    return;
  }
  if (Irp->CurrentLocation != Irp->StackCount + 1) {
    Violation("IoReuseIrp on IRP %p while a driver still holds it", Irp);
  }
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
  std::memset(locations, 0, sizeof(IO_STACK_LOCATION) * Irp->StackCount);
  Irp->Tail.Overlay.CurrentStackLocation = locations + Irp->StackCount;
  Irp->IoStatus.Status = Iostatus;
  Irp->IoStatus.Information = 0;
  Irp->Cancel = FALSE;
  Irp->CancelRoutine = nullptr;
  Irp->PendingReturned = FALSE;
  std::lock_guard lock(M().mu);
  info->calls.clear();
}

}  // extern "C"
