// One simulated splicer as a USB device: its physical device object, its
// descriptors, its bulk pipes and the report it sends. It behaves as hardware
// does where a model would be kinder: a packet is never split across reads,
// a read too short for the next packet ends in babble and halts the
// endpoint, a read waits for data until it is cancelled, and a splicer that
// is stopped or powered down takes no URB.
#include "VirtualBus.h"

namespace {

const UCHAR DeviceDescriptor[18] = {
    18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 1};

// One configuration, one interface of class 0, bulk IN 0x81 and bulk OUT 0x02.
const UCHAR ConfigurationDescriptor[32] = {
    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 0, 1, 1, 0, 0x80, 50,
    9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0x00, 0x00, 0x00, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 64, 0, 0,
    7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 64, 0, 0};

enum { kInPipe = 0, kOutPipe = 1 };

// Per pending read, in the IRP's driver context: bytes already stored, the
// splicer, and the system address of the transfer buffer.
struct ReadContext {
  ULONG_PTR Filled;
  VbusChild* Child;
  PUCHAR Buffer;
};
static_assert(sizeof(ReadContext) <= sizeof(((PIRP)0)->Tail.Overlay.DriverContext), "fits the driver context");
ReadContext* ContextOf(PIRP irp) { return reinterpret_cast<ReadContext*>(irp->Tail.Overlay.DriverContext); }
ULONG_PTR& FilledOf(PIRP irp) { return ContextOf(irp)->Filled; }
VbusChild*& ChildOf(PIRP irp) { return ContextOf(irp)->Child; }
PUCHAR& BufferOf(PIRP irp) { return ContextOf(irp)->Buffer; }

PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
  urb->UrbHeader.Status = usbd;
  return Complete(irp, status, 0);
}

// Ends a read with its status and the bytes stored so far; the IRP is
// gathered on `done` and completed once the lock is released.
void FinishRead(PIRP irp, NTSTATUS status, USBD_STATUS usbd, PLIST_ENTRY done) {
  PURB urb = UrbOf(irp);
  urb->UrbHeader.Status = usbd;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = static_cast<ULONG>(FilledOf(irp));
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  VbusChild* child = ChildOf(irp);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  --child->Status.PendingReads;
  ++child->Status.Cancels;
  FinishRead(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  CompleteGathered(&done);
}

// Queues a read, at the head when it goes on waiting for its next packet.
// Lock held. A read cancelled meanwhile ends here instead.
void ParkRead(VbusChild* child, PIRP irp, bool head, PLIST_ENTRY done) {
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    ++child->Status.Cancels;
    FinishRead(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, done);
    return;
  }
  if (head) {
    InsertHeadList(&child->Reads, &irp->Tail.Overlay.ListEntry);
  } else {
    InsertTailList(&child->Reads, &irp->Tail.Overlay.ListEntry);
  }
  ++child->Status.PendingReads;
}

// The oldest read that is not being cancelled, taken off the queue; or null.
// Lock held.
PIRP TakeRead(VbusChild* child) {
  for (PLIST_ENTRY entry = child->Reads.Flink; entry != &child->Reads; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      --child->Status.PendingReads;
      return irp;
    }
  }
  return NULL;
}

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }
ULONG Larger(ULONG a, ULONG b) { return a > b ? a : b; }

// Hands the splicer's next packets to its pending reads. Lock held. True
// when the splicer has reached the byte at which it is to be unplugged.
bool PumpLocked(VbusChild* child, ULONG tickMs, PLIST_ENTRY done) {
  // The worker's tick may be longer than the pacing: the credit then covers
  // every packet due within the time that passed, so a 1 ms pacing sends
  // 64 KB/s. A splicer that nobody reads from holds no more than two ticks'
  // worth, as a real one holds only what its buffer takes.
  if (child->PacingMs != 0) {
    child->PacingCredit = Smaller(child->PacingCredit + tickMs, Larger(child->PacingMs, 2 * VBUS_WORKER_TICK_MS));
  }
  for (;;) {
    PIRP irp = TakeRead(child);
    if (irp == NULL) return false;
    const ULONG sent = child->Status.Sent;
    if (child->Halted) {
      FinishRead(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED, done);
      continue;
    }
    if (sent == child->StallAt) {
      child->StallAt = VBUS_NEVER;
      child->Halted = TRUE;
      ++child->Status.Stalls;
      FinishRead(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, done);
      continue;
    }
    if (sent == child->UnplugAt) {
      child->UnplugAt = VBUS_NEVER;
      ParkRead(child, irp, true, done);
      return true;
    }
    if (sent >= child->ReportLength || (child->PacingMs != 0 && child->PacingCredit < child->PacingMs)) {
      ParkRead(child, irp, true, done);
      return false;
    }
    // The next packet ends early at a byte where the splicer stalls or is unplugged.
    ULONG packet = Smaller(child->PacketSize, child->ReportLength - sent);
    if (child->StallAt > sent) packet = Smaller(packet, child->StallAt - sent);
    if (child->UnplugAt > sent) packet = Smaller(packet, child->UnplugAt - sent);

    PURB urb = UrbOf(irp);
    const ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ULONG_PTR& filled = FilledOf(irp);
    if (packet > length - filled) {
      // More data than the read has room for: babble. The packet stays unsent.
      child->Halted = TRUE;
      ++child->Status.Overruns;
      FinishRead(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, done);
      continue;
    }
    RtlCopyMemory(BufferOf(irp) + filled, child->Report + sent, packet);
    filled += packet;
    child->Status.Sent = sent + packet;
    if (child->PacingMs != 0) child->PacingCredit -= child->PacingMs;
    if (packet < VBUS_MAX_PACKET || filled == length) {
      FinishRead(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, done);  // a short packet ends the transfer
    } else {
      ParkRead(child, irp, true, done);
    }
  }
}

VbusChild* ChildFromContext(PVOID context) { return static_cast<VbusChild*>(context); }

VOID NTAPI InterfaceReference(PVOID context) {
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&ChildFromContext(context)->Status.InterfaceReferences));
}

VOID NTAPI InterfaceDereference(PVOID context) {
  VbusChild* child = ChildFromContext(context);
  InterlockedDecrement(reinterpret_cast<volatile LONG*>(&child->Status.InterfaceReferences));
  if (child->Removed) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&child->Status.LateDereferences));
  }
}

BOOLEAN USB_BUSIFFN IsDeviceHighSpeed(PVOID context) { return ChildFromContext(context)->HighSpeed; }

VOID USB_BUSIFFN GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
  if (version != NULL) {
    version->USBDI_Version = 0x600;
    version->Supported_USB_Version = 0x200;
  }
  if (capabilities != NULL) *capabilities = 0;
}

NTSTATUS USB_BUSIFFN QueryBusTime(PVOID, PULONG frame) {
  if (frame != NULL) *frame = 0;
  return STATUS_SUCCESS;
}

NTSTATUS USB_BUSIFFN SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS USB_BUSIFFN QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

NTSTATUS QueryInterface(VbusChild* child, PIO_STACK_LOCATION stack, NTSTATUS current) {
  const auto& query = stack->Parameters.QueryInterface;
  if (!IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) return current;
  if (query.Version < USB_BUSIF_USBDI_VERSION_1 || query.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1)) {
    return STATUS_NOT_SUPPORTED;
  }
  PUSB_BUS_INTERFACE_USBDI_V1 bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
  bus->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  bus->Version = USB_BUSIF_USBDI_VERSION_1;
  bus->BusContext = child;
  bus->InterfaceReference = InterfaceReference;
  bus->InterfaceDereference = InterfaceDereference;
  bus->GetUSBDIVersion = GetUsbdiVersion;
  bus->QueryBusTime = QueryBusTime;
  bus->SubmitIsoOutUrb = SubmitIsoOutUrb;
  bus->QueryBusInformation = QueryBusInformation;
  bus->IsDeviceHighSpeed = IsDeviceHighSpeed;
  InterfaceReference(child);  // the caller gives this one back
  return STATUS_SUCCESS;
}

// A multi-string of `first` (and an empty one when first is null), or a
// plain string when `multi` is false; from paged pool, freed by the caller.
PWCHAR DuplicateId(PCWSTR first, bool multi) {
  SIZE_T length = 0;
  if (first != NULL) {
    while (first[length] != 0) ++length;
  }
  const SIZE_T chars = length + (multi ? 2 : 1);
  PWCHAR id = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), VBUS_POOL_TAG));
  if (id == NULL) return NULL;
  for (SIZE_T i = 0; i < length; ++i) id[i] = first[i];
  for (SIZE_T i = length; i < chars; ++i) id[i] = 0;
  return id;
}

NTSTATUS QueryId(VbusChild* child, PIRP irp, BUS_QUERY_ID_TYPE type) {
  WCHAR instance[2] = {static_cast<WCHAR>(L'1' + child->Index), 0};
  PWCHAR id;
  switch (type) {
    case BusQueryDeviceID:
      id = DuplicateId(VBUS_HARDWARE_ID, false);
      break;
    case BusQueryHardwareIDs:
      id = DuplicateId(VBUS_HARDWARE_ID, true);
      break;
    case BusQueryCompatibleIDs:
      id = DuplicateId(NULL, true);
      break;
    case BusQueryInstanceID:
      id = DuplicateId(instance, false);
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (id == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
  return STATUS_SUCCESS;
}

void FillCapabilities(VbusChild* child, PDEVICE_CAPABILITIES caps) {
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  caps->UniqueID = FALSE;
  caps->Address = child->Index + 1;
  caps->UINumber = child->Index + 1;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
    caps->DeviceState[state] = PowerDeviceD3;
  }
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

// Fails the child's pending reads and forgets its configuration, for a stop
// or a removal. PASSIVE_LEVEL.
void Deconfigure(VbusChildExtension* ext, NTSTATUS status, USBD_STATUS usbd) {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  ext->Started = FALSE;
  ext->Configured = FALSE;
  ext->Child->Status.Started = 0;
  ext->Child->Status.Configured = 0;
  FailReadsLocked(ext->Child, status, usbd, &done);
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  CompleteGathered(&done);
}

// URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE.
NTSTATUS GetDescriptor(PIRP irp, PURB urb) {
  auto& request = urb->UrbControlDescriptorRequest;
  const UCHAR* descriptor;
  ULONG size;
  if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
    descriptor = DeviceDescriptor;
    size = sizeof(DeviceDescriptor);
  } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
    descriptor = ConfigurationDescriptor;
    size = sizeof(ConfigurationDescriptor);
  } else {
    return CompleteUrb(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);  // the device stalls
  }
  PUCHAR target = static_cast<PUCHAR>(request.TransferBuffer);
  if (target == NULL && request.TransferBufferMDL != NULL) {
    target = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(request.TransferBufferMDL, NormalPagePriority));
  }
  if (target == NULL) return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  const ULONG length = Smaller(request.TransferBufferLength, size);
  RtlCopyMemory(target, descriptor, length);
  request.TransferBufferLength = length;
  return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// URB_FUNCTION_SELECT_CONFIGURATION: the one configuration, or none.
NTSTATUS SelectConfiguration(VbusChildExtension* ext, PIRP irp, PURB urb) {
  auto& select = urb->UrbSelectConfiguration;
  VbusChild* child = ext->Child;
  // A configuration is chosen or given up only with no transfer under way.
  if (child->Status.PendingReads != 0) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_DEVICE_BUSY, USBD_STATUS_ERROR_BUSY);
  }
  if (select.ConfigurationDescriptor == NULL) {
    ext->Configured = FALSE;
    child->Status.Configured = 0;
    return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  PUSBD_INTERFACE_INFORMATION info = &select.Interface;
  if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION) ||
      info->Length < sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) ||
      info->InterfaceNumber != 0 || info->AlternateSetting != 0) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  child->Status.ClientMaximumTransferSize = info->Pipes[0].MaximumTransferSize;
  select.ConfigurationHandle = &ext->ConfigurationTag;
  info->Class = 0;
  info->SubClass = 0;
  info->Protocol = 0;
  info->InterfaceHandle = &ext->InterfaceTag;
  info->NumberOfPipes = 2;
  const UCHAR addresses[2] = {0x81, 0x02};
  for (ULONG i = 0; i < 2; ++i) {
    PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
    pipe->MaximumPacketSize = VBUS_MAX_PACKET;
    pipe->EndpointAddress = addresses[i];
    pipe->Interval = 0;
    pipe->PipeType = UsbdPipeTypeBulk;
    pipe->PipeHandle = &ext->PipeTags[i];
    pipe->MaximumTransferSize = VBUS_STACK_MAXIMUM_TRANSFER_SIZE;
    pipe->PipeFlags = 0;
  }
  child->Status.ReportedMaximumTransferSize = VBUS_STACK_MAXIMUM_TRANSFER_SIZE;
  ext->Configured = TRUE;
  child->Status.Configured = 1;
  return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Which pipe a handle names: kInPipe, kOutPipe, or -1.
int PipeOf(VbusChildExtension* ext, USBD_PIPE_HANDLE handle) {
  if (!ext->Configured) return -1;
  if (handle == &ext->PipeTags[kInPipe]) return kInPipe;
  if (handle == &ext->PipeTags[kOutPipe]) return kOutPipe;
  return -1;
}

NTSTATUS BulkTransfer(VbusChildExtension* ext, PIRP irp, PURB urb) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  VbusChild* child = ext->Child;
  const int pipe = PipeOf(ext, transfer.PipeHandle);
  if (pipe < 0) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  if (transfer.TransferBufferLength > VBUS_STACK_MAXIMUM_TRANSFER_SIZE) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  PUCHAR buffer = static_cast<PUCHAR>(transfer.TransferBuffer);
  if (buffer == NULL && transfer.TransferBufferMDL != NULL) {
    buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
  }
  if (buffer == NULL && transfer.TransferBufferLength != 0) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }

  KIRQL irql;
  if (pipe == kOutPipe) {
    KeAcquireSpinLock(&g_vbus.Lock, &irql);
    const ULONG room = VBUS_OUT_CAPACITY - child->Status.OutLength;
    const ULONG kept = Smaller(room, transfer.TransferBufferLength);
    RtlCopyMemory(child->Out + child->Status.OutLength, buffer, kept);
    child->Status.OutLength += kept;
    if (transfer.TransferBufferLength > child->Status.LargestWrite) {
      child->Status.LargestWrite = transfer.TransferBufferLength;
    }
    KeReleaseSpinLock(&g_vbus.Lock, irql);
    return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }

  FilledOf(irp) = 0;
  ChildOf(irp) = child;
  BufferOf(irp) = buffer;
  IoMarkIrpPending(irp);
  LIST_ENTRY done;
  InitializeListHead(&done);
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  ++child->Status.Reads;
  if (transfer.TransferBufferLength > child->Status.LargestRead) {
    child->Status.LargestRead = transfer.TransferBufferLength;
  }
  ParkRead(child, irp, false, &done);
  const bool unplug = PumpLocked(child, 0, &done);
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  CompleteGathered(&done);
  if (unplug) UnplugChild(child);
  return STATUS_PENDING;
}

// URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL and URB_FUNCTION_ABORT_PIPE.
NTSTATUS PipeRequest(VbusChildExtension* ext, PIRP irp, PURB urb) {
  VbusChild* child = ext->Child;
  const int pipe = PipeOf(ext, urb->UrbPipeRequest.PipeHandle);
  if (pipe < 0) {
    ++child->Status.RejectedUrbs;
    return CompleteUrb(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    ++child->Status.PipeAborts;
    if (pipe == kInPipe) FailReadsLocked(child, STATUS_CANCELLED, USBD_STATUS_CANCELED, &done);
  } else {
    ++child->Status.PipeResets;
    if (pipe == kInPipe) child->Halted = FALSE;
  }
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  CompleteGathered(&done);
  if (urb->UrbHeader.Function != URB_FUNCTION_ABORT_PIPE) PumpChildren(0);
  return CompleteUrb(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

}  // namespace

void FailReadsLocked(VbusChild* child, NTSTATUS status, USBD_STATUS usbd, PLIST_ENTRY done) {
  for (PIRP irp = TakeRead(child); irp != NULL; irp = TakeRead(child)) {
    if (usbd == USBD_STATUS_DEVICE_GONE) ++child->Status.GoneTransfers;
    FinishRead(irp, status, usbd, done);
  }
}

void CompleteGathered(PLIST_ENTRY done) {
  while (!IsListEmpty(done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

void PumpChildren(ULONG tickMs) {
  for (ULONG i = 0; i < VBUS_CHILDREN; ++i) {
    VbusChild* child = &g_vbus.Children[i];
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&g_vbus.Lock, &irql);
    const bool unplug = PumpLocked(child, tickMs, &done);
    KeReleaseSpinLock(&g_vbus.Lock, irql);
    CompleteGathered(&done);
    if (unplug) UnplugChild(child);
  }
}

void UnplugChild(VbusChild* child) {
  LIST_ENTRY done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  const BOOLEAN wasPlugged = child->Plugged;
  child->Plugged = FALSE;
  child->Status.Plugged = 0;
  // Transfers in flight end as the host controller sees the device vanish.
  FailReadsLocked(child, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, &done);
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  CompleteGathered(&done);
  if (wasPlugged) InvalidateBus();
}

void PlugChild(VbusChild* child, BOOLEAN highSpeed) {
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  const BOOLEAN wasPlugged = child->Plugged;
  child->HighSpeed = highSpeed;
  if (!wasPlugged) {
    child->Plugged = TRUE;
    child->Halted = FALSE;  // a device comes up with its endpoints running
    child->Status.Plugged = 1;
    ++child->Status.Plugs;
  }
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  if (!wasPlugged) InvalidateBus();
}

PDEVICE_OBJECT CreateChildDevice(PDRIVER_OBJECT driver, VbusChild* child) {
  PDEVICE_OBJECT device;
  if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(VbusChildExtension), NULL, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE,
                                 &device))) {
    return NULL;
  }
  VbusChildExtension* ext = static_cast<VbusChildExtension*>(device->DeviceExtension);
  RtlZeroMemory(ext, sizeof(*ext));
  ext->Common.Kind = kChildDevice;
  ext->Child = child;
  ext->Power = PowerDeviceD0;
  child->Status.DevicePower = PowerDeviceD0;
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&child->Status.Devices));
  return device;
}

// IRP_MJ_PNP of a splicer's physical device object. PASSIVE_LEVEL. The
// request is completed here; a removal of a device object that is no longer
// reported deletes it.
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  VbusChildExtension* ext = static_cast<VbusChildExtension*>(device->DeviceExtension);
  VbusChild* child = ext->Child;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      child->Removed = FALSE;
      ext->Started = TRUE;
      child->Status.Started = 1;
      ++child->Status.Starts;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      ++child->Status.Stops;
      Deconfigure(ext, STATUS_DEVICE_NOT_READY, USBD_STATUS_DEVICE_GONE);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      ++child->Status.QueryStops;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      ++child->Status.QueryRemoves;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      ++child->Status.CancelRemoves;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      ++child->Status.SurpriseRemovals;
      Deconfigure(ext, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      ++child->Status.Removals;
      child->Removed = TRUE;
      Deconfigure(ext, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
      KIRQL irql;
      KeAcquireSpinLock(&g_vbus.Lock, &irql);
      const bool gone = ext->Gone || child->Pdo != device;
      KeReleaseSpinLock(&g_vbus.Lock, irql);
      Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
      if (gone) {
        InterlockedDecrement(reinterpret_cast<volatile LONG*>(&child->Status.Devices));
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(child, stack->Parameters.DeviceCapabilities.Capabilities);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_ID:
      status = QueryId(child, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_INTERFACE:
      status = QueryInterface(child, stack, status);
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), VBUS_POOL_TAG));
        if (relations == NULL) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        ObReferenceObject(device);
        relations->Count = 1;
        relations->Objects[0] = device;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
  }
  return Complete(irp, status, irp->IoStatus.Information);
}

// IRP_MJ_INTERNAL_DEVICE_CONTROL of a splicer: the URBs of its function
// driver. Any IRQL up to DISPATCH_LEVEL. Reads that wait for data are
// pending and belong to the splicer until data, a cancel, an abort or the
// device's removal ends them; everything else is completed here.
NTSTATUS ChildInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  VbusChildExtension* ext = static_cast<VbusChildExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return Complete(irp, STATUS_NOT_SUPPORTED, 0);
  }
  PURB urb = UrbOf(irp);
  if (urb == NULL) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (!ext->Started || ext->Gone || !ext->Child->Plugged) {
    ++ext->Child->Status.GoneTransfers;
    return CompleteUrb(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  if (ext->Power != PowerDeviceD0) {
    ++ext->Child->Status.PoweredOffUrbs;
    return CompleteUrb(irp, urb, STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE);
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(ext, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return BulkTransfer(ext, irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
      return PipeRequest(ext, irp, urb);
    default:
      ++ext->Child->Status.RejectedUrbs;
      return CompleteUrb(irp, urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

// IRP_MJ_POWER of a splicer's physical device object. System requests are
// counted. A device set-power
// request sets its power state; leaving D0, the reads still waiting fail as
// the suspended device stops answering (a function driver should have ended
// them first: ReadsAtSleep counts them). Every request succeeds.
NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp) {
  VbusChildExtension* ext = static_cast<VbusChildExtension*>(device->DeviceExtension);
  VbusChild* child = ext->Child;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->Parameters.Power.Type == SystemPowerState &&
      (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&child->Status.SystemPowerIrps));
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&g_vbus.Lock, &irql);
    if (stack->Parameters.Power.Type != SystemPowerState) {
      const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
      if (state == PowerDeviceD0) {
        ++child->Status.DeviceWakes;
      } else {
        ++child->Status.DeviceSleeps;
        child->Status.ReadsAtSleep += child->Status.PendingReads;
        FailReadsLocked(child, STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEVICE_GONE, &done);
      }
      ext->Power = state;
      child->Status.DevicePower = state;
    }
    KeReleaseSpinLock(&g_vbus.Lock, irql);
    CompleteGathered(&done);
    PoSetPowerState(device, stack->Parameters.Power.Type, stack->Parameters.Power.State);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  const NTSTATUS status = stack->MinorFunction == IRP_MN_QUERY_POWER ? STATUS_SUCCESS : irp->IoStatus.Status;
  return Complete(irp, status, 0);
}

namespace {

NTSTATUS NTAPI SignalSent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request of its own to the top of the splicer's stack and waits
// for it. PASSIVE_LEVEL.
NTSTATUS Send(VbusChild* child, PDEVICE_OBJECT top, UCHAR major, UCHAR minor, POWER_STATE_TYPE type,
             POWER_STATE state) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&child->Status.SequenceRequest), major * 0x100 + minor + 1);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (major == IRP_MJ_POWER) {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionSleep;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalSent, &event, TRUE, TRUE, TRUE);
  const NTSTATUS sent = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
  if (sent == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&child->Status.SequenceRequest), 0);
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&child->Status.SequenceAnswered));
  return status;
}

NTSTATUS SendPnp(VbusChild* child, PDEVICE_OBJECT top, UCHAR minor) {
  POWER_STATE none;
  none.SystemState = PowerSystemUnspecified;
  return Send(child, top, IRP_MJ_PNP, minor, SystemPowerState, none);
}

// The device set-power request a function driver asks for when the system
// changes state. Windows' power manager sends the system request first and
// the function driver requests this one with PoRequestPowerIrp on its way
// back; Wine 8's kernel has no PoRequestPowerIrp (a call ends its device
// host), so the bus sends the system request no further than a query and
// sends the device request itself, counted in DeviceIrpsFromBus.
NTSTATUS SendDevicePower(VbusChild* child, PDEVICE_OBJECT top, DEVICE_POWER_STATE device) {
  POWER_STATE state;
  state.DeviceState = device;
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&child->Status.DeviceIrpsFromBus));
  return Send(child, top, IRP_MJ_POWER, IRP_MN_SET_POWER, DevicePowerState, state);
}

struct SequenceWork {
  VbusChild* Child;
  ULONG What;
};

NTSTATUS RunSequence(VbusChild* child, ULONG what, PDEVICE_OBJECT top) {
  NTSTATUS status;
  switch (what) {
    case VBUS_REBALANCE:
      status = SendPnp(child, top, IRP_MN_QUERY_STOP_DEVICE);
      if (!NT_SUCCESS(status)) {
        SendPnp(child, top, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
      }
      status = SendPnp(child, top, IRP_MN_STOP_DEVICE);
      if (!NT_SUCCESS(status)) return status;
      return SendPnp(child, top, IRP_MN_START_DEVICE);
    case VBUS_QUERY_REMOVE:
      status = SendPnp(child, top, IRP_MN_QUERY_REMOVE_DEVICE);
      SendPnp(child, top, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    case VBUS_DISABLE:
      // The splicer's device object stays, with no function driver on it,
      // until the bus reports it no more.
      status = SendPnp(child, top, IRP_MN_QUERY_REMOVE_DEVICE);
      if (!NT_SUCCESS(status)) {
        SendPnp(child, top, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
      }
      return SendPnp(child, top, IRP_MN_REMOVE_DEVICE);
    case VBUS_SLEEP: {
      // May the system sleep? Then the device goes to D3, as the
      // capabilities map S3.
      POWER_STATE sleeping;
      sleeping.SystemState = PowerSystemSleeping3;
      status = Send(child, top, IRP_MJ_POWER, IRP_MN_QUERY_POWER, SystemPowerState, sleeping);
      if (!NT_SUCCESS(status)) return status;
      return SendDevicePower(child, top, PowerDeviceD3);
    }
    case VBUS_WAKE:
      return SendDevicePower(child, top, PowerDeviceD0);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

VOID NTAPI SequenceThread(PVOID context) {
  SequenceWork* work = static_cast<SequenceWork*>(context);
  VbusChild* child = work->Child;
  KIRQL irql;
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  PDEVICE_OBJECT pdo = child->Pdo;
  if (pdo != NULL) ObReferenceObject(pdo);
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&child->Status.SequenceAnswered), 0);
  if (pdo != NULL) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    status = RunSequence(child, work->What, top);
    ObDereferenceObject(top);
    ObDereferenceObject(pdo);
  }
  KeAcquireSpinLock(&g_vbus.Lock, &irql);
  child->Status.SequenceStatus = NT_SUCCESS(status) ? 0 : status;
  ++child->Status.Sequences;
  KeReleaseSpinLock(&g_vbus.Lock, irql);
  ExFreePoolWithTag(work, VBUS_POOL_TAG);
  InterlockedExchange(&g_vbus.Sending, 0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

NTSTATUS StartSequence(VbusChild* child, ULONG what) {
  if (what < VBUS_REBALANCE || what > VBUS_DISABLE) return STATUS_INVALID_PARAMETER;
  if (InterlockedCompareExchange(&g_vbus.Sending, 1, 0) != 0) return STATUS_DEVICE_BUSY;
  SequenceWork* work = static_cast<SequenceWork*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SequenceWork), VBUS_POOL_TAG));
  if (work == NULL) {
    InterlockedExchange(&g_vbus.Sending, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  work->Child = child;
  work->What = what;
  HANDLE thread;
  const NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, SequenceThread, work);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(work, VBUS_POOL_TAG);
    InterlockedExchange(&g_vbus.Sending, 0);
    return status;
  }
  ZwClose(thread);
  return STATUS_SUCCESS;
}
