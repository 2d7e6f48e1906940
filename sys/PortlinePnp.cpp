// Plug and play and power.
#include "Portline.h"

namespace {

// Takes the bus interface out of reach of user requests and gives back its
// reference. PASSIVE_LEVEL. Called at removal before the removal goes down:
// the bus may delete the physical device object, and the interface with it,
// as soon as the removal reaches it. A speed query already inside the
// interface holds StateLock, so the release waits for it to return; later
// ones find the interface gone.
void RetireBusInterface(PDEVICE_EXTENSION ext) {
  AcquireStateLock(ext);
  USB_BUS_INTERFACE_USBDI_V1 busInterface = ext->BusInterface;
  RtlZeroMemory(&ext->BusInterface, sizeof(ext->BusInterface));
  ext->BusInterfaceAvailable = FALSE;
  ReleaseStateLock(ext);
  ReleaseBusInterface(&busInterface);
}

// Releases everything else a start or the add-device left with the device,
// just before it is detached and deleted. PASSIVE_LEVEL.
void ReleaseDeviceResources(PDEVICE_EXTENSION ext) {
  IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
  RtlFreeUnicodeString(&ext->InterfaceName);
  if (ext->ConfigDescriptor != NULL) {
    ExFreePoolWithTag(ext->ConfigDescriptor, PORTLINE_POOL_TAG);
    ext->ConfigDescriptor = NULL;
    ext->ConfigDescriptorLength = 0;
  }
}

// Moves the device from state `from` to `to`; any other state stays.
void ChangeState(PDEVICE_EXTENSION ext, PORTLINE_DEVICE_STATE from, PORTLINE_DEVICE_STATE to) {
  AcquireStateLock(ext);
  if (ext->State == from) {
    ext->State = to;
  }
  ReleaseStateLock(ext);
}

}  // namespace

// PortlinePnp: IRP_MJ_PNP dispatch. PASSIVE_LEVEL. Start, removal, cancel-stop
// and the capabilities query are forwarded, waited for and completed here;
// every other request is passed down and belongs to the lower drivers. From
// query-stop until the next successful start, user requests are refused.
extern "C" NTSTATUS NTAPI PortlinePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      // Only exactly STATUS_SUCCESS from below lets the start sequence run.
      if (status == STATUS_SUCCESS) {
        status = StartDevice(DeviceObject);
      }
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoReleaseRemoveLock(&ext->RemoveLock, Irp);
      return status;

    case IRP_MN_REMOVE_DEVICE: {
      ext->RemovePending = TRUE;
      RetireBusInterface(ext);
      // The bus driver finishes every transfer it holds when the removal
      // reaches it; then the wait below ends.
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
      ReleaseDeviceResources(ext);
      IoDetachDevice(ext->LowerDeviceObject);
      IoDeleteDevice(DeviceObject);
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }

    case IRP_MN_QUERY_CAPABILITIES:
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      if (NT_SUCCESS(status)) {
        ext->DeviceCaps = *stack->Parameters.DeviceCapabilities.Capabilities;
      }
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoReleaseRemoveLock(&ext->RemoveLock, Irp);
      return status;

    case IRP_MN_CANCEL_STOP_DEVICE:
      // The lower drivers take up their work again before ours does. A
      // cancel-stop is never failed, so the device is started again whatever
      // they answer.
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      ChangeState(ext, DeviceStopPending, DeviceStarted);
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoReleaseRemoveLock(&ext->RemoveLock, Irp);
      return status;

    // New requests are refused before the lower drivers hear of the stop.
    case IRP_MN_QUERY_STOP_DEVICE:
      ChangeState(ext, DeviceStarted, DeviceStopPending);
      break;
    case IRP_MN_STOP_DEVICE:
      AcquireStateLock(ext);
      ext->State = DeviceStopped;
      ReleaseStateLock(ext);
      break;

    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(ext->LowerDeviceObject, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

// PortlinePower: IRP_MJ_POWER dispatch. PASSIVE_LEVEL (DO_POWER_PAGABLE).
// A system set-power request goes to SetSystemPower; every other power
// request is passed down and belongs to the lower drivers.
extern "C" NTSTATUS NTAPI PortlinePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER &&
      stack->Parameters.Power.Type == SystemPowerState) {
    return SetSystemPower(DeviceObject, Irp);
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

namespace {

// Passes a system set-power request down without its device request, when
// that cannot be made: such a request is never failed. Its stack location
// has been marked pending. Returns STATUS_PENDING; the request belongs to
// the lower drivers.
NTSTATUS PassSystemPowerDown(PDEVICE_EXTENSION ext, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoCallDriver(ext->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

}  // namespace

// SetSystemPower: requests the device power state that the capabilities map
// the new system state to, and holds the system request until that device
// request is done. PASSIVE_LEVEL. Returns STATUS_PENDING: the system request
// belongs to DevicePowerCompletion, or, when the device request cannot be
// made, has been passed down without it.
extern "C" NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  SYSTEM_POWER_STATE systemState = stack->Parameters.Power.State.SystemState;
  POWER_STATE deviceState;
  deviceState.DeviceState = (systemState >= 0 && systemState < POWER_SYSTEM_MAXIMUM)
                                ? ext->DeviceCaps.DeviceState[systemState]
                                : PowerDeviceUnspecified;

  // Marked before the device request is made: its completion may pass the
  // system request down before PoRequestPowerIrp returns.
  IoMarkIrpPending(Irp);

  PPOWER_CONTEXT context = static_cast<PPOWER_CONTEXT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), PORTLINE_POOL_TAG));
  if (context == NULL) {
    return PassSystemPowerDown(ext, Irp);
  }
  context->DeviceObject = DeviceObject;
  context->SystemIrp = Irp;

  NTSTATUS status = PoRequestPowerIrp(ext->Pdo, stack->MinorFunction, deviceState,
                                      DevicePowerCompletion, context, NULL);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(context, PORTLINE_POOL_TAG);
    return PassSystemPowerDown(ext, Irp);
  }
  return STATUS_PENDING;
}

// DevicePowerCompletion: called by the power manager once the device
// set-power request has gone through the whole device stack. Any IRQL up to
// DISPATCH_LEVEL. Frees the context and passes the waiting system request
// down; it then belongs to the lower drivers.
extern "C" VOID NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context,
                                            PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);

  PPOWER_CONTEXT context = static_cast<PPOWER_CONTEXT>(Context);
  PDEVICE_OBJECT ownDevice = context->DeviceObject;
  PIRP systemIrp = context->SystemIrp;
  ExFreePoolWithTag(context, PORTLINE_POOL_TAG);

  PoStartNextPowerIrp(systemIrp);
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoCallDriver(ExtensionOf(ownDevice)->LowerDeviceObject, systemIrp);
}
