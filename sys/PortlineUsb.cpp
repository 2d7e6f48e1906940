// USB configuration at start: the bus interface, the configuration
// descriptor, the select-configuration request and synchronous URBs.
#include "Portline.h"

namespace {

PVOID AllocateBlock(SIZE_T size) { return ExAllocatePoolWithTag(NonPagedPool, size, PORTLINE_POOL_TAG); }

void FreeBlock(PVOID block) { ExFreePoolWithTag(block, PORTLINE_POOL_TAG); }

// ReadConfigurationDescriptor: reads the configuration descriptor twice (its
// fixed part, then all of it) into a new pool block and checks it.
// PASSIVE_LEVEL. On success the caller owns *Descriptor, of *Length bytes
// (its allocation has one byte more, never written).
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR* Descriptor, PULONG Length) {
  PUCHAR probe = static_cast<PUCHAR>(AllocateBlock(PORTLINE_PROBE_BUFFER_SIZE));
  if (probe == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = GetConfigurationDescriptor(DeviceObject, PORTLINE_PROBE_LENGTH, probe);
  if (!NT_SUCCESS(status)) {
    FreeBlock(probe);
    return status;
  }
  ULONG totalLength = static_cast<ULONG>(probe[2]) | (static_cast<ULONG>(probe[3]) << 8);
  FreeBlock(probe);
  if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  PUCHAR descriptor = static_cast<PUCHAR>(AllocateBlock(totalLength + 1));
  if (descriptor == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = GetConfigurationDescriptor(DeviceObject, totalLength, descriptor);
  if (NT_SUCCESS(status)) {
    status = ValidateConfigurationDescriptor(descriptor, totalLength);
  }
  if (!NT_SUCCESS(status)) {
    FreeBlock(descriptor);
    return status;
  }
  *Descriptor = descriptor;
  *Length = totalLength;
  return STATUS_SUCCESS;
}

}  // namespace

// StartDevice: prepares a started device for transfers. PASSIVE_LEVEL, called
// by PortlinePnp after the lower drivers started the device. Builds the new
// state aside (bus interface, configuration descriptor, selected pipes) and
// publishes it whole under StateLock, with the device marked started; only
// then is the state of an earlier start given back. On failure nothing an
// earlier start published changes.
extern "C" NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);

  USB_BUS_INTERFACE_USBDI_V1 busInterface;
  BOOLEAN busInterfaceAvailable = QueryBusInterface(DeviceObject, &busInterface);

  PUCHAR descriptor = NULL;
  ULONG descriptorLength = 0;
  NTSTATUS status = ReadConfigurationDescriptor(DeviceObject, &descriptor, &descriptorLength);
  if (!NT_SUCCESS(status)) {
    ReleaseBusInterface(&busInterface);
    return status;
  }

  // A direction the bus returns no bulk pipe for keeps its earlier record.
  AcquireStateLock(ext);
  USBD_PIPE_INFORMATION bulkIn = ext->BulkInPipe;
  USBD_PIPE_INFORMATION bulkOut = ext->BulkOutPipe;
  ReleaseStateLock(ext);
  status = SelectConfiguration(DeviceObject, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor),
                               &bulkIn, &bulkOut);
  if (!NT_SUCCESS(status)) {
    FreeBlock(descriptor);
    ReleaseBusInterface(&busInterface);
    return status;
  }

  AcquireStateLock(ext);
  PUCHAR earlierDescriptor = ext->ConfigDescriptor;
  USB_BUS_INTERFACE_USBDI_V1 earlierInterface = ext->BusInterface;
  ext->ConfigDescriptor = descriptor;
  ext->ConfigDescriptorLength = descriptorLength;
  ext->BulkInPipe = bulkIn;
  ext->BulkOutPipe = bulkOut;
  ext->BusInterface = busInterface;
  ext->BusInterfaceAvailable = busInterfaceAvailable;
  ext->State = DeviceStarted;
  ReleaseStateLock(ext);

  // No request can reach the earlier state any more.
  if (earlierDescriptor != NULL) {
    FreeBlock(earlierDescriptor);
  }
  ReleaseBusInterface(&earlierInterface);
  return STATUS_SUCCESS;
}

// ReleaseBusInterface: gives back the reference that a successful interface
// query took, if the record holds one, and zeroes the record. PASSIVE_LEVEL.
extern "C" VOID ReleaseBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 Interface) {
  if (Interface->InterfaceDereference != NULL) {
    Interface->InterfaceDereference(Interface->BusContext);
  }
  RtlZeroMemory(Interface, sizeof(*Interface));
}

// QueryBusInterface: asks the bus driver for USB_BUS_INTERFACE_USBDI_V1 on
// systems with WDM 1.32 or later, into the caller's record. PASSIVE_LEVEL.
// The request goes in the device's own control IRP, sent through this
// driver's own device object (so it has a stack location for each driver of
// the stack, this one included). Returns TRUE when the record holds a usable
// interface (and a reference the caller gives back with
// ReleaseBusInterface); otherwise the record is zero. A failed query never
// fails the start.
extern "C" BOOLEAN QueryBusInterface(PDEVICE_OBJECT DeviceObject, PUSB_BUS_INTERFACE_USBDI_V1 Interface) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  RtlZeroMemory(Interface, sizeof(*Interface));

  if (!IoIsWdmVersionAvailable(1, 0x20)) {
    return FALSE;
  }
  AcquireLock(&ext->ControlIrpLock);
  PIRP irp = ext->ControlIrp;
  // Every PnP request starts out as "not supported" until a driver answers it.
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(Interface);
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  const NTSTATUS status = SendControlIrpAndWait(ext, DeviceObject, NULL);
  ReleaseLock(&ext->ControlIrpLock);

  if (!NT_SUCCESS(status)) {
    // No reference was taken; whatever was written there is not an interface.
    RtlZeroMemory(Interface, sizeof(*Interface));
    return FALSE;
  }
  if (Interface->IsDeviceHighSpeed == NULL) {
    ReleaseBusInterface(Interface);
    return FALSE;
  }
  return TRUE;
}

// SendControlIrpAndWait: sends the device's control IRP, its next stack
// location filled in by the caller who holds ControlIrpLock, to Target and
// waits for it; after Timeout (null: no time-out) the IRP is cancelled and
// waited for again. PASSIVE_LEVEL. The IRP is the device's again
// afterwards. Returns its status, or STATUS_IO_TIMEOUT.
extern "C" NTSTATUS SendControlIrpAndWait(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Target,
                                          PLARGE_INTEGER Timeout) {
  PIRP irp = Extension->ControlIrp;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
  IoCallDriver(Target, irp);
  // The completion routine stops completion, so the IRP stays alive until
  // this routine is done with it, and cancelling it is safe.
  if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, Timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return STATUS_IO_TIMEOUT;
  }
  return irp->IoStatus.Status;
}

// UsbdStatusToNtStatus: the NTSTATUS for user mode of a URB that ended with
// USBD status `Status` in an IRP that ended with `IrpStatus`. Any IRQL.
extern "C" NTSTATUS UsbdStatusToNtStatus(USBD_STATUS Status, NTSTATUS IrpStatus) {
  if (USBD_SUCCESS(Status) || IrpStatus == STATUS_IO_TIMEOUT) {
    return IrpStatus;
  }
  switch (Status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return STATUS_IO_DEVICE_ERROR;
    default:
      return NT_SUCCESS(IrpStatus) ? STATUS_UNSUCCESSFUL : IrpStatus;
  }
}

// GetConfigurationDescriptor: reads Length bytes of the configuration
// descriptor into Buffer with one synchronous URB. PASSIVE_LEVEL. A read that
// returns fewer bytes than asked for fails with STATUS_DEVICE_DATA_ERROR.
extern "C" NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, ULONG Length, PVOID Buffer) {
  PURB urb = static_cast<PURB>(AllocateBlock(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
  urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = NULL;
  urb->UrbControlDescriptorRequest.UrbLink = NULL;
  urb->UrbControlDescriptorRequest.Index = 0;
  urb->UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  urb->UrbControlDescriptorRequest.LanguageId = 0;

  NTSTATUS status = SubmitUrbAndWait(DeviceObject, urb);
  if (NT_SUCCESS(status) && urb->UrbControlDescriptorRequest.TransferBufferLength != Length) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  FreeBlock(urb);
  return status;
}

// SubmitUrbAndWait: sends one URB to the bus driver and waits for it, at
// most PORTLINE_URB_TIMEOUT_100NS; a URB the device does not answer by then
// (a control transfer it NAKs for ever) is cancelled and waited for.
// PASSIVE_LEVEL. The completion routine keeps the IRP alive until this
// routine has read it; the I/O manager then finishes and frees it. Returns
// the IRP's status, or STATUS_IO_TIMEOUT; the URB's own USBD status is left
// to the caller.
extern "C" NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  KEVENT done;
  KEVENT finished;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  KeInitializeEvent(&finished, NotificationEvent, FALSE);

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDeviceObject, NULL, 0,
                                           NULL, 0, TRUE, &finished, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

  IoCallDriver(ext->LowerDeviceObject, irp);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -PORTLINE_URB_TIMEOUT_100NS;
  BOOLEAN timedOut = FALSE;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    timedOut = TRUE;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  // Completion was stopped at this driver; let the I/O manager finish the
  // IRP, and wait until it has written the status block and let it go.
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeWaitForSingleObject(&finished, Executive, KernelMode, FALSE, NULL);
  return timedOut ? STATUS_IO_TIMEOUT : status;
}

// SelectConfiguration: selects the configuration with its first interface of
// class 0, asking for 64 bytes per transfer on every pipe, and copies the
// bulk pipes the bus driver returns into the caller's two records.
// PASSIVE_LEVEL. The descriptor has been checked by
// ValidateConfigurationDescriptor.
extern "C" NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                        PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
                                        PUSBD_PIPE_INFORMATION BulkInPipe,
                                        PUSBD_PIPE_INFORMATION BulkOutPipe) {
  PUSBD_INTERFACE_LIST_ENTRY list =
      static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateBlock(2 * sizeof(USBD_INTERFACE_LIST_ENTRY)));
  if (list == NULL) {
    return STATUS_NO_MEMORY;
  }
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(ConfigDescriptor, ConfigDescriptor, -1, -1, 0, -1, -1);
  list[0].Interface = NULL;
  list[1].InterfaceDescriptor = NULL;
  list[1].Interface = NULL;

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigDescriptor, list);
  if (urb == NULL) {
    FreeBlock(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    info->Pipes[i].MaximumTransferSize = PORTLINE_MAX_TRANSFER_SIZE;
  }

  NTSTATUS status = SubmitUrbAndWait(DeviceObject, urb);
  if (NT_SUCCESS(status)) {
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      PUSBD_PIPE_INFORMATION pipe = &info->Pipes[i];
      if (pipe->PipeType != UsbdPipeTypeBulk) {
        continue;
      }
      if (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
        *BulkInPipe = *pipe;
      } else {
        *BulkOutPipe = *pipe;
      }
    }
  }

  ExFreePool(urb);
  FreeBlock(list);
  return status;
}
