// USB configuration at start: the bus interface, the configuration
// descriptor, the select-configuration request and synchronous URBs.
#include "Portline.h"

namespace {

PVOID AllocateBlock(SIZE_T size) {
  return ExAllocatePoolWithTag(NonPagedPool, size, PORTLINE_POOL_TAG);
}

void FreeBlock(PVOID block) {
  ExFreePoolWithTag(block, PORTLINE_POOL_TAG);
}

// ReadConfigurationDescriptor: reads the configuration descriptor twice (its
// fixed part, then all of it) into a new pool block and checks it.
// PASSIVE_LEVEL. On success the caller owns *Descriptor, of *Length bytes
// (its allocation has one byte more, never written).
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PUCHAR* Descriptor,
                                     PULONG Length) {
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
  status = SelectConfiguration(DeviceObject,
                               reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor),
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
// The IRP is allocated here, sent through this driver's own device object,
// and freed here. Returns TRUE when the record holds a usable interface (and
// a reference the caller gives back with ReleaseBusInterface); otherwise the
// record is zero. A failed query never fails the start.
extern "C" BOOLEAN QueryBusInterface(PDEVICE_OBJECT DeviceObject,
                                     PUSB_BUS_INTERFACE_USBDI_V1 Interface) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  RtlZeroMemory(Interface, sizeof(*Interface));

  if (!IoIsWdmVersionAvailable(1, 0x20)) {
    return FALSE;
  }
  PIRP irp = IoAllocateIrp(ext->LowerDeviceObject->StackSize, FALSE);
  if (irp == NULL) {
    return FALSE;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(Interface);
  next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
  // Every PnP request starts out as "not supported" until a driver answers it.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

  NTSTATUS status = IoCallDriver(DeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);

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

// GetConfigurationDescriptor: reads Length bytes of the configuration
// descriptor into Buffer with one synchronous URB. PASSIVE_LEVEL. A read that
// returns fewer bytes than asked for fails with STATUS_DEVICE_DATA_ERROR.
extern "C" NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, ULONG Length,
                                               PVOID Buffer) {
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

// SubmitUrbAndWait: sends one URB to the bus driver and waits for it.
// PASSIVE_LEVEL. The I/O manager frees the IRP it builds here. Returns the
// IRP's status; the URB's own USBD status is left to the caller.
extern "C" NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->LowerDeviceObject,
                                           NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

  NTSTATUS status = IoCallDriver(ext->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
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
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
      ConfigDescriptor, ConfigDescriptor, -1, -1, 0, -1, -1);
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
