// The driver's entry, its control device and the bus's functional device:
// plugging reported through bus relations, and the pacing worker.
#include <initguid.h>
#include "VirtualBus.h"

VbusGlobals g_vbus;

namespace {

WCHAR ControlNameText[] = L"\\Device\\PortlineVbus";
WCHAR ControlLinkText[] = L"\\DosDevices\\PortlineVbus";
UNICODE_STRING ControlName = {sizeof(ControlNameText) - sizeof(WCHAR), sizeof(ControlNameText), ControlNameText};
UNICODE_STRING ControlLink = {sizeof(ControlLinkText) - sizeof(WCHAR), sizeof(ControlLinkText), ControlLinkText};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits for it; the IRP is the caller's again.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

// The pacing worker: every few milliseconds it lets paced splicers send what
// fell due in the time that really passed. A wait often ends later than asked
// for; crediting only the time asked for would pace a 64 KB/s splicer slower.
VOID NTAPI Worker(PVOID) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * VBUS_WORKER_TICK_MS;
  LARGE_INTEGER frequency;
  LONGLONG credited = KeQueryPerformanceCounter(&frequency).QuadPart;
  while (!g_vbus.Stopping) {
    KeWaitForSingleObject(&g_vbus.Wake, Executive, KernelMode, FALSE, &timeout);
    if (g_vbus.Stopping) break;
    // Whole milliseconds since the last credit; the rest counts next time.
    const LONGLONG now = KeQueryPerformanceCounter(NULL).QuadPart;
    LONGLONG passedMs = (now - credited) * 1000 / frequency.QuadPart;
    if (passedMs > 1000) passedMs = 1000;
    credited = passedMs == 1000 ? now : credited + passedMs * frequency.QuadPart / 1000;
    PumpChildren(static_cast<ULONG>(passedMs));
  }
  KeSetEvent(&g_vbus.Stopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartWorker() {
  if (g_vbus.WorkerRunning) return;
  g_vbus.Stopping = FALSE;
  KeClearEvent(&g_vbus.Stopped);
  HANDLE thread;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, NULL))) {
    ZwClose(thread);
    g_vbus.WorkerRunning = TRUE;
  }
}

void StopWorker() {
  if (!g_vbus.WorkerRunning) return;
  g_vbus.Stopping = TRUE;
  KeSetEvent(&g_vbus.Wake, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&g_vbus.Stopped, Executive, KernelMode, FALSE, NULL);
  g_vbus.WorkerRunning = FALSE;
}

// IRP_MN_QUERY_DEVICE_RELATIONS for BusRelations: every plugged splicer, each
// with a device object (made here when it has none yet). A splicer that is
// no longer plugged drops out; its device object is deleted at its removal.
NTSTATUS ReportChildren(PDEVICE_OBJECT bus, PIRP irp) {
  PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + VBUS_CHILDREN * sizeof(PDEVICE_OBJECT), VBUS_POOL_TAG));
  if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 0;
  for (ULONG i = 0; i < VBUS_CHILDREN; ++i) {
    VbusChild* child = &g_vbus.Children[i];
    KIRQL irql;
    KeAcquireSpinLock(&g_vbus.Lock, &irql);
    const BOOLEAN plugged = child->Plugged;
    PDEVICE_OBJECT pdo = child->Pdo;
    if (!plugged && pdo != NULL) {
      static_cast<VbusChildExtension*>(pdo->DeviceExtension)->Gone = TRUE;
      child->Pdo = NULL;
      pdo = NULL;
    }
    KeReleaseSpinLock(&g_vbus.Lock, irql);
    if (!plugged) continue;
    if (pdo == NULL) {
      pdo = CreateChildDevice(bus->DriverObject, child);
      if (pdo == NULL) continue;
      KeAcquireSpinLock(&g_vbus.Lock, &irql);
      child->Pdo = pdo;
      KeReleaseSpinLock(&g_vbus.Lock, irql);
    }
    ObReferenceObject(pdo);
    relations->Objects[relations->Count++] = pdo;
  }
  if (irp->IoStatus.Information != 0) {
    ExFreePool(reinterpret_cast<PVOID>(irp->IoStatus.Information));
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

// IRP_MJ_PNP of the bus's functional device. PASSIVE_LEVEL.
NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  VbusBusExtension* ext = static_cast<VbusBusExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(ext->Lower, irp);
      if (NT_SUCCESS(status)) {
        StartWorker();
        IoInvalidateDeviceRelations(ext->Pdo, BusRelations);
      }
      return Complete(irp, status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      status = ReportChildren(device, irp);
      if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
      irp->IoStatus.Status = status;
      return PassDown(ext->Lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      StopWorker();
      for (ULONG i = 0; i < VBUS_CHILDREN; ++i) {
        VbusChild* child = &g_vbus.Children[i];
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL irql;
        KeAcquireSpinLock(&g_vbus.Lock, &irql);
        child->Plugged = FALSE;
        FailReadsLocked(child, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &done);
        PDEVICE_OBJECT pdo = child->Pdo;
        child->Pdo = NULL;
        KeReleaseSpinLock(&g_vbus.Lock, irql);
        CompleteGathered(&done);
        if (pdo != NULL) {
          static_cast<VbusChildExtension*>(pdo->DeviceExtension)->Gone = TRUE;
        }
      }
      g_vbus.Bus = NULL;
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(ext->Lower, irp);
      IoDetachDevice(ext->Lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return PassDown(ext->Lower, irp);
}

// The control device's I/O controls. PASSIVE_LEVEL. Completes the request.
NTSTATUS ControlIo(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);

  if (inLength < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  const ULONG index = *reinterpret_cast<PULONG>(buffer);
  if (index >= VBUS_CHILDREN) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  VbusChild* child = &g_vbus.Children[index];
  KIRQL irql;

  switch (code) {
    case IOCTL_VBUS_PLUG: {
      if (inLength < sizeof(VBUS_PLUG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      PlugChild(child, reinterpret_cast<VBUS_PLUG*>(buffer)->HighSpeed != 0);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_VBUS_UNPLUG:
      UnplugChild(child);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VBUS_SEND: {
      if (inLength < sizeof(VBUS_SEND)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      const NTSTATUS status = StartSequence(child, reinterpret_cast<const VBUS_SEND*>(buffer)->What);
      return Complete(irp, status, 0);
    }
    case IOCTL_VBUS_SET_REPORT: {
      if (inLength < sizeof(VBUS_REPORT)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      const VBUS_REPORT* request = reinterpret_cast<const VBUS_REPORT*>(buffer);
      const ULONG length = inLength - sizeof(VBUS_REPORT);
      if (length > VBUS_MAX_REPORT || request->PacketSize == 0 || request->PacketSize > VBUS_MAX_PACKET) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      }
      PUCHAR copy = NULL;
      if (length != 0) {
        copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, VBUS_POOL_TAG));
        if (copy == NULL) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlCopyMemory(copy, buffer + sizeof(VBUS_REPORT), length);
      }
      KeAcquireSpinLock(&g_vbus.Lock, &irql);
      PUCHAR old = child->Report;
      child->Report = copy;
      child->ReportLength = length;
      child->PacketSize = request->PacketSize;
      child->PacingMs = request->PacingMs;
      child->PacingCredit = 0;
      child->StallAt = request->StallAt;
      child->UnplugAt = request->UnplugAt;
      const VBUS_STATUS keep = child->Status;
      RtlZeroMemory(&child->Status, sizeof(child->Status));
      // What describes the present state survives; the counters start again.
      child->Status.Plugged = keep.Plugged;
      child->Status.Devices = keep.Devices;
      child->Status.Started = keep.Started;
      child->Status.Configured = keep.Configured;
      child->Status.PendingReads = keep.PendingReads;
      child->Status.InterfaceReferences = keep.InterfaceReferences;
      child->Status.ReportedMaximumTransferSize = keep.ReportedMaximumTransferSize;
      child->Status.ClientMaximumTransferSize = keep.ClientMaximumTransferSize;
      child->Status.DevicePower = keep.DevicePower;
      child->Status.ReportLength = length;
      KeReleaseSpinLock(&g_vbus.Lock, irql);
      if (old != NULL) ExFreePoolWithTag(old, VBUS_POOL_TAG);
      PumpChildren(0);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_VBUS_GET_STATUS:
      if (outLength < sizeof(VBUS_STATUS)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KeAcquireSpinLock(&g_vbus.Lock, &irql);
      child->Status.Halted = child->Halted;
      RtlCopyMemory(buffer, &child->Status, sizeof(VBUS_STATUS));
      KeReleaseSpinLock(&g_vbus.Lock, irql);
      return Complete(irp, STATUS_SUCCESS, sizeof(VBUS_STATUS));
    case IOCTL_VBUS_GET_OUT: {
      KeAcquireSpinLock(&g_vbus.Lock, &irql);
      ULONG length = child->Status.OutLength;
      if (length > outLength) length = outLength;
      RtlCopyMemory(buffer, child->Out, length);
      KeReleaseSpinLock(&g_vbus.Lock, irql);
      return Complete(irp, STATUS_SUCCESS, length);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

extern "C" NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  switch (static_cast<VbusCommon*>(device->DeviceExtension)->Kind) {
    case kBusDevice:
      return BusPnp(device, irp);
    case kChildDevice:
      return ChildPnp(device, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// The bus passes power requests down; a splicer's go to ChildPower.
extern "C" NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  VbusCommon* common = static_cast<VbusCommon*>(device->DeviceExtension);
  if (common->Kind == kChildDevice) return ChildPower(device, irp);
  PoStartNextPowerIrp(irp);
  if (common->Kind == kBusDevice) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<VbusBusExtension*>(device->DeviceExtension)->Lower, irp);
  }
  const NTSTATUS status = common->Kind == kChildDevice ? STATUS_SUCCESS : irp->IoStatus.Status;
  return Complete(irp, status, 0);
}

extern "C" NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  const bool control = static_cast<VbusCommon*>(device->DeviceExtension)->Kind == kControlDevice;
  return Complete(irp, control ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
}

extern "C" NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  if (static_cast<VbusCommon*>(device->DeviceExtension)->Kind != kControlDevice) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return ControlIo(irp);
}

extern "C" NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  if (static_cast<VbusCommon*>(device->DeviceExtension)->Kind != kChildDevice) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return ChildInternalControl(device, irp);
}

extern "C" NTSTATUS NTAPI AddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (g_vbus.Bus != NULL) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus at a time
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(VbusBusExtension), NULL, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  VbusBusExtension* ext = static_cast<VbusBusExtension*>(device->DeviceExtension);
  ext->Common.Kind = kBusDevice;
  ext->Pdo = pdo;
  ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (ext->Lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  g_vbus.Bus = device;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI Unload(PDRIVER_OBJECT) {
  StopWorker();
  IoDeleteSymbolicLink(&ControlLink);
  if (g_vbus.Control != NULL) IoDeleteDevice(g_vbus.Control);
  for (ULONG i = 0; i < VBUS_CHILDREN; ++i) {
    if (g_vbus.Children[i].Report != NULL) ExFreePoolWithTag(g_vbus.Children[i].Report, VBUS_POOL_TAG);
  }
}

}  // namespace

// Tells the system to ask the bus again which splicers are plugged in.
void InvalidateBus() {
  PDEVICE_OBJECT bus = g_vbus.Bus;
  if (bus != NULL) {
    IoInvalidateDeviceRelations(static_cast<VbusBusExtension*>(bus->DeviceExtension)->Pdo, BusRelations);
  }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  RtlZeroMemory(&g_vbus, sizeof(g_vbus));
  KeInitializeSpinLock(&g_vbus.Lock);
  KeInitializeEvent(&g_vbus.Wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&g_vbus.Stopped, NotificationEvent, FALSE);
  for (ULONG i = 0; i < VBUS_CHILDREN; ++i) {
    VbusChild* child = &g_vbus.Children[i];
    child->Index = i;
    child->PacketSize = VBUS_MAX_PACKET;
    child->StallAt = VBUS_NEVER;
    child->UnplugAt = VBUS_NEVER;
    InitializeListHead(&child->Reads);
  }

  NTSTATUS status = IoCreateDevice(driver, sizeof(VbusCommon), &ControlName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &g_vbus.Control);
  if (!NT_SUCCESS(status)) return status;
  static_cast<VbusCommon*>(g_vbus.Control->DeviceExtension)->Kind = kControlDevice;
  status = IoCreateSymbolicLink(&ControlLink, &ControlName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(g_vbus.Control);
    return status;
  }
  g_vbus.Control->Flags &= ~DO_DEVICE_INITIALIZING;

  driver->DriverExtension->AddDevice = AddBus;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  return STATUS_SUCCESS;
}
