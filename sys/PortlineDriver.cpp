// Driver entry, device creation and the forward-and-wait mechanism.
// The one translation unit that holds the storage of the GUIDs it names: the
// device interface class and the USB bus interface.
#include <initguid.h>
#include "Portline.h"

// DriverEntry: fills in the dispatch table and the AddDevice and unload
// routines. PASSIVE_LEVEL. Nothing else happens at load time.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverExtension->AddDevice = PortlineAddDevice;
  DriverObject->DriverUnload = PortlineUnload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PortlineCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PortlineClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = PortlineReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PortlineReadWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortlineDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PortlinePower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PortlinePnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PortlineSystemControl;
  return STATUS_SUCCESS;
}

// PortlineAddDevice: creates the device object for one splicer, registers and
// enables its device interface, attaches it above the physical device
// object and allocates its control IRP. PASSIVE_LEVEL. On failure every
// earlier step is undone, last first.
extern "C" NTSTATUS NTAPI PortlineAddDevice(PDRIVER_OBJECT DriverObject,
                                            PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PDEVICE_EXTENSION ext = ExtensionOf(deviceObject);
  // Ready before the interface is enabled: a kernel that tells user mode at
  // once (Wine) may send the first open before this routine returns.
  IoInitializeRemoveLock(&ext->RemoveLock, PORTLINE_POOL_TAG, 0, 0);
  InitializeLock(&ext->StateLock);
  InitializeLock(&ext->ControlIrpLock);
  InitializeListHead(&ext->HeldTransfers);
  KeInitializeEvent(&ext->NoTransfersInBus, NotificationEvent, TRUE);
  KeInitializeEvent(&ext->NoSenders, NotificationEvent, TRUE);

  status =
      IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_PORTLINE, NULL, &ext->InterfaceName);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(deviceObject);
    return status;
  }
  // A failure here leaves a working device that user mode cannot open.
  ext->InterfaceEnabled = NT_SUCCESS(IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE));

  ext->DevicePower = PowerDeviceD0;
  ext->HaltedPipe = NULL;
  ext->Pdo = PhysicalDeviceObject;
  deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  ext->LowerDeviceObject = lower;
  if (lower == NULL) {
    IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    RtlFreeUnicodeString(&ext->InterfaceName);
    IoDeleteDevice(deviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  // Attached, the device object's stack size counts every driver below.
  ext->ControlIrp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (ext->ControlIrp == NULL) {
    IoDetachDevice(lower);
    IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    RtlFreeUnicodeString(&ext->InterfaceName);
    IoDeleteDevice(deviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// PortlineSystemControl: IRP_MJ_SYSTEM_CONTROL dispatch. PASSIVE_LEVEL. The
// driver is no WMI provider: every WMI request is passed down for the
// provider it names and belongs to the lower drivers.
extern "C" NTSTATUS NTAPI PortlineSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->LowerDeviceObject, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

// PortlineUnload: nothing to do; every device object is gone by now.
// PASSIVE_LEVEL.
extern "C" VOID NTAPI PortlineUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

// SignalEventCompletion: completion routine of ForwardAndWait and of the bus
// interface query. Any IRQL up to DISPATCH_LEVEL. Sets the waiting routine's
// event and stops completion: the IRP goes back to the routine that waits.
extern "C" NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// ForwardAndWait: passes the IRP down to Target and waits until the lower
// drivers are done with it. PASSIVE_LEVEL. The IRP is the caller's again
// afterwards and the caller completes it.
extern "C" NTSTATUS ForwardAndWait(PDEVICE_OBJECT Target, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Target, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}
