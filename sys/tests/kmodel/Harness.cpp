// The test harness: the managers above the driver.
#include "Harness.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Portline.h"

namespace kmodel {
namespace {

constexpr std::size_t kRedZone = 16;
constexpr UCHAR kRedZoneByte = 0xFD;
constexpr UCHAR kUnwrittenByte = 0xEE;

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// A caller's buffer with a red zone behind it, described by an MDL.
struct CallerBuffer {
  std::vector<UCHAR> bytes;
  MDL* mdl = nullptr;
  ULONG length = 0;

  explicit CallerBuffer(ULONG size) : bytes(size + kRedZone, kUnwrittenByte), length(size) {
    std::memset(bytes.data() + size, kRedZoneByte, kRedZone);
    if (size == 0) return;
    mdl = static_cast<MDL*>(std::calloc(1, sizeof(MDL)));
    auto address = reinterpret_cast<ULONG_PTR>(bytes.data());
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = size;
    mdl->MappedSystemVa = bytes.data();
  }
  ~CallerBuffer() { std::free(mdl); }
  bool RedZoneIntact() const {
    for (std::size_t i = 0; i < kRedZone; ++i) {
      if (bytes[length + i] != kRedZoneByte) return false;
    }
    return true;
  }
};

}  // namespace

Harness::Harness(BusConfig config) {
  ResetModel();
  busDriver_ = CreateDriverObject();
  driver_ = CreateDriverObject();
  bus_ = std::make_unique<UsbBus>(busDriver_, std::move(config));
  SetDriverUnderTest(driver_);

  UNICODE_STRING registryPath;
  registryPath.Buffer =
      const_cast<PWCH>(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Portline");
  registryPath.Length = static_cast<USHORT>(std::wcslen(registryPath.Buffer) * sizeof(wchar_t));
  registryPath.MaximumLength = registryPath.Length;
  Expect(DriverEntry(driver_, &registryPath), STATUS_SUCCESS, "DriverEntry");
  if (driver_->DeviceObject != nullptr) problems_.push_back("DriverEntry created a device object");

  // The dispatch table holds exactly the driver's routines, nothing more.
  PDRIVER_DISPATCH expected[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
  expected[IRP_MJ_CREATE] = PortlineCreate;
  expected[IRP_MJ_CLOSE] = PortlineClose;
  expected[IRP_MJ_READ] = PortlineReadWrite;
  expected[IRP_MJ_WRITE] = PortlineReadWrite;
  expected[IRP_MJ_DEVICE_CONTROL] = PortlineDeviceControl;
  expected[IRP_MJ_POWER] = PortlinePower;
  expected[IRP_MJ_PNP] = PortlinePnp;
  expected[IRP_MJ_SYSTEM_CONTROL] = PortlineSystemControl;
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    const PDRIVER_DISPATCH want = expected[major] ? expected[major] : DefaultDispatch();
    if (driver_->MajorFunction[major] != want) {
      problems_.push_back(Format("dispatch table entry 0x%02X is not as it should be", major));
    }
  }
  if (driver_->DriverExtension->AddDevice != PortlineAddDevice || driver_->DriverUnload != PortlineUnload) {
    problems_.push_back("AddDevice or DriverUnload is not the driver's routine");
  }
}

Harness::~Harness() {
  DrainDeferred();
  for (auto* file : files_) std::free(file);
}

_DEVICE_EXTENSION* Harness::Extension() const {
  return fdo_ ? static_cast<_DEVICE_EXTENSION*>(fdo_->DeviceExtension) : nullptr;
}

// ---- PnP manager ---------------------------------------------------------------------
NTSTATUS Harness::AddDevice() {
  const NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, bus_->Pdo());
  if (!NT_SUCCESS(status)) {
    if (driver_->DeviceObject != nullptr) {
      problems_.push_back("a failed AddDevice left its device object behind");
    }
    if (bus_->Pdo()->AttachedDevice != nullptr) {
      problems_.push_back("a failed AddDevice left a device attached");
    }
    return status;
  }
  fdo_ = bus_->Pdo()->AttachedDevice;
  everAdded_ = true;
  if (fdo_ == nullptr) {
    problems_.push_back("AddDevice succeeded but attached nothing");
    return status;
  }
  if (fdo_->Flags & DO_DEVICE_INITIALIZING) {
    problems_.push_back("verifier: DO_DEVICE_INITIALIZING left set after AddDevice");
  }
  if (!(fdo_->Flags & DO_POWER_PAGABLE)) problems_.push_back("DO_POWER_PAGABLE not set");
  if (!(fdo_->Flags & DO_DIRECT_IO)) problems_.push_back("DO_DIRECT_IO not set");
  return status;
}

NTSTATUS Harness::Pnp(UCHAR minor) {
  Request request = Send(IRP_MJ_PNP, minor, nullptr,
                         [](PIRP irp, PIO_STACK_LOCATION) { irp->IoStatus.Status = STATUS_NOT_SUPPORTED; });
  return Wait(request);
}

NTSTATUS Harness::QueryCapabilities() {
  auto caps = std::make_shared<DEVICE_CAPABILITIES>();
  std::memset(caps.get(), 0, sizeof(*caps));
  caps->Size = sizeof(DEVICE_CAPABILITIES);
  caps->Version = 1;
  caps->Address = static_cast<ULONG>(-1);
  caps->UINumber = static_cast<ULONG>(-1);
  Request request = Send(
      IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, nullptr,
      [caps](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        stack->Parameters.DeviceCapabilities.Capabilities = caps.get();
      },
      0, caps);
  return Wait(request);
}

NTSTATUS Harness::SurpriseRemove() {
  const NTSTATUS status = Pnp(IRP_MN_SURPRISE_REMOVAL);
  surpriseRemoved_ = true;
  for (const InterfaceRecord& i : Interfaces()) {
    if (i.pdo == bus_->Pdo() && i.enabled) {
      problems_.push_back("verifier: device interface still enabled after IRP_MN_SURPRISE_REMOVAL");
    }
  }
  return status;
}

NTSTATUS Harness::Remove() {
  const NTSTATUS status = Pnp(IRP_MN_REMOVE_DEVICE);
  fdo_ = nullptr;
  return status;
}

NTSTATUS Harness::Arrive() {
  NTSTATUS status = AddDevice();
  if (!NT_SUCCESS(status)) return status;
  status = QueryCapabilities();
  if (!NT_SUCCESS(status)) return status;
  return Start();
}

// ---- Power manager ---------------------------------------------------------------------
NTSTATUS Harness::SetSystemPower(SYSTEM_POWER_STATE state) {
  const std::size_t before = bus_->PowerSequence().size();
  const NTSTATUS status =
      Wait(Send(IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [state](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
        s->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
      }));
  // The system request goes down first; its device request follows it.
  const std::vector<std::string> sequence = bus_->PowerSequence();
  if (sequence.size() > before && sequence[before][0] != 'S') {
    problems_.push_back(Format("verifier: %s reached the bus before the system request S%d",
                               sequence[before].c_str(), state - 1));
  }
  return status;
}

NTSTATUS Harness::SetDevicePower(DEVICE_POWER_STATE state) {
  Request request = Send(IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [state](PIRP irp, PIO_STACK_LOCATION s) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    s->Parameters.Power.Type = DevicePowerState;
    s->Parameters.Power.State.DeviceState = state;
  });
  return Wait(request);
}

NTSTATUS Harness::QueryPower(POWER_STATE_TYPE type, POWER_STATE state) {
  Request request =
      Send(IRP_MJ_POWER, IRP_MN_QUERY_POWER, nullptr, [type, state](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        s->Parameters.Power.Type = type;
        s->Parameters.Power.State = state;
      });
  return Wait(request);
}

// ---- I/O manager -----------------------------------------------------------------------
NTSTATUS Harness::Open(Handle* handle) {
  auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  files_.push_back(file);
  *handle = file;
  const NTSTATUS status = Wait(Send(IRP_MJ_CREATE, 0, file, [](PIRP, PIO_STACK_LOCATION) {}));
  if (surpriseRemoved_ && NT_SUCCESS(status)) {
    problems_.push_back("verifier: a create succeeded after IRP_MN_SURPRISE_REMOVAL");
  }
  return status;
}

NTSTATUS Harness::OpenWithoutFileObject() {
  return Wait(Send(IRP_MJ_CREATE, 0, nullptr, [](PIRP, PIO_STACK_LOCATION) {}));
}

NTSTATUS Harness::Close(Handle handle) {
  return Wait(Send(IRP_MJ_CLOSE, 0, handle, [](PIRP, PIO_STACK_LOCATION) {}));
}

Request Harness::BeginRead(Handle handle, ULONG length) {
  auto buffer = std::make_shared<CallerBuffer>(length);
  return Send(
      IRP_MJ_READ, 0, handle,
      [buffer, length](PIRP irp, PIO_STACK_LOCATION s) {
        irp->MdlAddress = buffer->mdl;
        s->Parameters.Read.Length = length;
      },
      length, buffer);
}

Request Harness::BeginWrite(Handle handle, const std::vector<UCHAR>& bytes) {
  auto buffer = std::make_shared<CallerBuffer>(static_cast<ULONG>(bytes.size()));
  std::memcpy(buffer->bytes.data(), bytes.data(), bytes.size());
  const ULONG length = static_cast<ULONG>(bytes.size());
  return Send(
      IRP_MJ_WRITE, 0, handle,
      [buffer, length](PIRP irp, PIO_STACK_LOCATION s) {
        irp->MdlAddress = buffer->mdl;
        s->Parameters.Write.Length = length;
      },
      0, buffer);
}

NTSTATUS Harness::Read(Handle handle, ULONG length, std::vector<UCHAR>* bytes) {
  Request request = BeginRead(handle, length);
  const NTSTATUS status = Wait(request);
  if (bytes) *bytes = request->data;
  return status;
}

NTSTATUS Harness::Write(Handle handle, const std::vector<UCHAR>& bytes, ULONG_PTR* written) {
  Request request = BeginWrite(handle, bytes);
  const NTSTATUS status = Wait(request);
  if (written) *written = request->information;
  return status;
}

Request Harness::Control(ULONG code, ULONG outputLength, ULONG inputLength) {
  const ULONG size = outputLength > inputLength ? outputLength : inputLength;
  auto buffer = std::make_shared<CallerBuffer>(size);
  return Send(
      IRP_MJ_DEVICE_CONTROL, 0, files_.empty() ? nullptr : files_.back(),
      [buffer, code, outputLength, inputLength, size](PIRP irp, PIO_STACK_LOCATION s) {
        irp->AssociatedIrp.SystemBuffer = size ? buffer->bytes.data() : nullptr;
        s->Parameters.DeviceIoControl.IoControlCode = code;
        s->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        s->Parameters.DeviceIoControl.InputBufferLength = inputLength;
      },
      outputLength, buffer);
}

NTSTATUS Harness::Control(ULONG code, ULONG outputLength, std::vector<UCHAR>* output,
                          ULONG_PTR* information) {
  Request request = Control(code, outputLength);
  const NTSTATUS status = Wait(request);
  if (output) *output = request->data;
  if (information) *information = request->information;
  return status;
}

NTSTATUS Harness::Other(UCHAR major) {
  return Wait(Send(major, 0, files_.empty() ? nullptr : files_.back(), [](PIRP, PIO_STACK_LOCATION) {}));
}

NTSTATUS Harness::SystemControl(UCHAR minor) {
  const int answered = bus_->WmiRequestsAnswered();
  PDEVICE_OBJECT provider = bus_->Pdo();
  const NTSTATUS status =
      Wait(Send(IRP_MJ_SYSTEM_CONTROL, minor, nullptr, [provider](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        s->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(provider);
      }));
  if (bus_->WmiRequestsAnswered() == answered) {
    problems_.push_back(
        Format("verifier: WMI request (minor 0x%02X) for provider %p completed "
               "without reaching it",
               minor, static_cast<void*>(provider)));
  }
  return status;
}

void Harness::Cancel(const Request& request) {
  PIRP irp;
  {
    std::lock_guard lock(mu_);
    if (request->done) return;
    irp = request->irp;
  }
  IoCancelIrp(irp);
}

Request Harness::Send(UCHAR major, UCHAR minor, PFILE_OBJECT file,
                      const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup, ULONG outputLength,
                      std::shared_ptr<void> keepAlive) {
  auto request = std::make_shared<UserRequest>();
  if (fdo_ == nullptr) {
    // No device: the I/O manager has nothing to send the request to.
    request->done = true;
    request->returned = request->status = STATUS_NO_SUCH_DEVICE;
    return request;
  }
  PDEVICE_OBJECT top = TopOfStack(bus_->Pdo());
  // The caller's buffers live until the request is complete.
  PIRP irp = CreateManagerIrp(top->StackSize, [this, request, major, outputLength, keepAlive](PIRP done) {
    std::vector<UCHAR> data;
    const ULONG_PTR information = done->IoStatus.Information;
    const NTSTATUS status = done->IoStatus.Status;
    if (major == IRP_MJ_READ && done->MdlAddress != nullptr) {
      auto* base = static_cast<PUCHAR>(done->MdlAddress->MappedSystemVa);
      if (information > outputLength) {
        Violation("read completed with %llu bytes into a %lu-byte buffer",
                  static_cast<unsigned long long>(information), static_cast<unsigned long>(outputLength));
      } else {
        data.assign(base, base + information);
      }
      if (std::memcmp(base + outputLength, std::vector<UCHAR>(kRedZone, kRedZoneByte).data(), kRedZone)) {
        Violation("a read wrote past the end of the caller's buffer");
      }
    }
    // Whatever the status: the I/O manager copies Information bytes back.
    if (major == IRP_MJ_DEVICE_CONTROL && information > outputLength) {
      Violation("control request completed with %llu bytes for a %lu-byte output buffer (status 0x%08lX)",
                static_cast<unsigned long long>(information), static_cast<unsigned long>(outputLength),
                static_cast<unsigned long>(status));
    } else if (major == IRP_MJ_DEVICE_CONTROL && !NT_ERROR(status) && information != 0) {
      auto* base = static_cast<PUCHAR>(done->AssociatedIrp.SystemBuffer);
      data.assign(base, base + information);
    }
    // A system power request is done only after the device request made for it.
    if (major == IRP_MJ_POWER && LivePowerRequests(done) != 0) {
      Violation("a power request completed while a device power request was still in progress");
    }
    if (major == IRP_MJ_DEVICE_CONTROL && done->AssociatedIrp.SystemBuffer != nullptr && outputLength) {
      auto* base = static_cast<PUCHAR>(done->AssociatedIrp.SystemBuffer);
      if (std::memcmp(base + outputLength, std::vector<UCHAR>(kRedZone, kRedZoneByte).data(), kRedZone)) {
        Violation("a control request wrote past the end of the output buffer");
      }
    }
    {
      std::lock_guard lock(mu_);
      request->status = status;
      request->information = information;
      request->data = std::move(data);
      request->done = true;
      request->irp = nullptr;
    }
    cv_.notify_all();
  });
  {
    std::lock_guard lock(mu_);
    if (!request->done) request->irp = irp;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  next->FileObject = file;
  irp->Tail.Overlay.OriginalFileObject = file;
  if (major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL) MarkUserRequest(irp);
  setup(irp, next);
  const NTSTATUS returned = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IofCallDriver(top, irp);
  std::lock_guard lock(mu_);
  request->returned = returned;
  if (returned != STATUS_PENDING && !request->done) {
    problems_.push_back(
        Format("verifier: dispatch of major 0x%02X minor 0x%02X returned 0x%08lX "
               "without completing the IRP",
               major, minor, static_cast<unsigned long>(returned)));
  }
  return request;
}

NTSTATUS Harness::Wait(const Request& request) {
  std::unique_lock lock(mu_);
  if (!cv_.wait_for(lock, std::chrono::seconds(20), [&request] { return request->done; })) {
    problems_.push_back("a request never completed");
    return STATUS_PENDING;
  }
  return request->status;
}

// ---- Checks -------------------------------------------------------------------------
void Harness::InjectFailure(const AllocationSite& site, int call, NTSTATUS status) {
  injecting_ = true;
  failureStatus_ = status;
  FailAllocationSiteOnce(site, call);
}

bool Harness::Step(const char* what, NTSTATUS expected, const std::function<NTSTATUS()>& op) {
  const bool before = InjectedFailureHappened();
  NTSTATUS status = op();
  const bool met = !before && InjectedFailureHappened();
  if (met) {
    failureMet_ = true;
    Expect(status, failureStatus_, Format("%s, where the allocation failed", what).c_str());
    if (status != expected) status = op();
  }
  Expect(status, expected, what);
  return met;
}

Request Harness::BeginStep(const char* what, const std::function<Request()>& op) {
  const bool before = InjectedFailureHappened();
  Request request = op();
  if (before || !InjectedFailureHappened()) return request;
  failureMet_ = true;
  Expect(Wait(request), failureStatus_, Format("%s, where the allocation failed", what).c_str());
  return op();
}

void Harness::Expect(NTSTATUS status, NTSTATUS expected, const char* what) {
  if (status == expected) return;
  std::lock_guard lock(mu_);
  problems_.push_back(Format("%s: status 0x%08lX, expected 0x%08lX", what, static_cast<unsigned long>(status),
                             static_cast<unsigned long>(expected)));
}

void Harness::Expect(bool condition, const char* what) {
  if (condition) return;
  std::lock_guard lock(mu_);
  problems_.push_back(what);
}

std::vector<std::string> Harness::Finish() {
  if (finished_) return problems_;
  finished_ = true;
  if (fdo_ != nullptr) Expect(Remove(), STATUS_SUCCESS, "removal at the end of the scenario");
  DrainDeferred();
  std::lock_guard lock(mu_);
  if (injecting_ && InjectedFailureHappened() && !failureMet_) {
    problems_.push_back("the injected allocation failure happened outside every scenario step");
  }
  for (auto& v : TakeViolations()) problems_.push_back("verifier: " + v);
  const auto pool = OutstandingPool();
  if (!pool.empty()) problems_.push_back("pool left allocated after removal: " + DescribePool(pool));
  if (const std::size_t irps = LiveIrpCount()) {
    problems_.push_back(Format("%zu IRPs were never completed", irps));
  }
  if (bus_->PendingTransfers() != 0) problems_.push_back("transfers still pending in the bus");
  if (const int refs = bus_->BusInterfaceReferences()) {
    problems_.push_back(Format("bus interface left with %d references", refs));
  }
  for (const DeviceRecord& d : Devices()) {
    if (d.driver != driver_) continue;
    if (d.deletes != 1) {
      problems_.push_back(Format("device object deleted %d times instead of once", d.deletes));
    }
    if (d.attached && !d.detached) problems_.push_back("device object never detached");
  }
  for (const InterfaceRecord& i : Interfaces()) {
    if (i.enabled) problems_.push_back("device interface still enabled after removal");
  }
  return problems_;
}

}  // namespace kmodel
