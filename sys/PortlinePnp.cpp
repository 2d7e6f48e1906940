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

// Enables or disables the device interface, once each way. PASSIVE_LEVEL.
void SetInterface(PDEVICE_EXTENSION ext, BOOLEAN enable) {
  if (ext->InterfaceEnabled != enable) {
    IoSetDeviceInterfaceState(&ext->InterfaceName, enable);
    ext->InterfaceEnabled = enable;
  }
}

// Releases everything else a start or the add-device left with the device,
// just before it is detached and deleted. PASSIVE_LEVEL.
void ReleaseDeviceResources(PDEVICE_EXTENSION ext) {
  SetInterface(ext, FALSE);
  RtlFreeUnicodeString(&ext->InterfaceName);
  if (ext->ConfigDescriptor != NULL) {
    ExFreePoolWithTag(ext->ConfigDescriptor, PORTLINE_POOL_TAG);
    ext->ConfigDescriptor = NULL;
    ext->ConfigDescriptorLength = 0;
  }
  IoFreeIrp(ext->ControlIrp);
  ext->ControlIrp = NULL;
}

// Moves the device from state `from` to `to`; any other state stays.
// Returns true when it moved.
bool ChangeState(PDEVICE_EXTENSION ext, PORTLINE_DEVICE_STATE from, PORTLINE_DEVICE_STATE to) {
  AcquireStateLock(ext);
  const bool moved = ext->State == from;
  if (moved) {
    ext->State = to;
  }
  ReleaseStateLock(ext);
  return moved;
}

// Completes a PnP request this routine kept and gives back its remove lock.
NTSTATUS CompletePnp(PDEVICE_EXTENSION ext, PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&ext->RemoveLock, irp);
  return status;
}

}  // namespace

// PortlinePnp: IRP_MJ_PNP dispatch. PASSIVE_LEVEL. Start, removal, surprise
// removal, query-stop when it fails, cancel-stop and the capabilities query
// are completed here;
// every other request is passed down and belongs to the lower drivers.
// From query-stop until the next successful start, user requests are
// refused and the transfers that were in the bus are held; from query-remove
// until cancel-remove, new opens are refused; from surprise removal on, the
// interface is disabled and every request fails.
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
      // Held transfers wait for a start that succeeds, or for the removal
      // that follows one that does not.
      if (NT_SUCCESS(status)) {
        ResumeTransfers(ext, PORTLINE_HOLD_STOP);
      }
      return CompletePnp(ext, Irp, status);

    case IRP_MN_REMOVE_DEVICE: {
      ext->RemovePending = TRUE;
      FailHeldTransfers(ext, STATUS_NO_SUCH_DEVICE);
      RetireBusInterface(ext);
      // The bus driver finishes every transfer it holds when the removal
      // reaches it; then the wait below ends. Only then is the interface
      // disabled (ReleaseDeviceResources): user mode hears of the removal
      // with none of its requests outstanding. Some kernels (Wine) tell it
      // synchronously, from inside IoSetDeviceInterfaceState, and a program
      // that answers by closing its handle would otherwise wait for a read
      // that only this removal ends.
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
      ReleaseDeviceResources(ext);
      IoDetachDevice(ext->LowerDeviceObject);
      IoDeleteDevice(DeviceObject);
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }

    case IRP_MN_SURPRISE_REMOVAL:
      // The splicer is gone: nobody may open it or send it anything more.
      // The held transfers fail here, and the bus ends the ones it has
      // (possibly after it has completed this request: they are waited
      // for, as the removal would wait for them anyway). Then the interface
      // is disabled, with no request of user mode left outstanding (see the
      // removal above).
      AcquireStateLock(ext);
      ext->SurpriseRemoved = TRUE;
      ReleaseStateLock(ext);
      FailHeldTransfers(ext, STATUS_NO_SUCH_DEVICE);
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      KeWaitForSingleObject(&ext->NoTransfersInBus, Executive, KernelMode, FALSE, NULL);
      SetInterface(ext, FALSE);
      return CompletePnp(ext, Irp, status);

    // From a query-remove until it is cancelled no new handle is opened;
    // the lower drivers answer the query themselves.
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      AcquireStateLock(ext);
      ext->RemoveQueried = stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE;
      ReleaseStateLock(ext);
      break;

    case IRP_MN_QUERY_CAPABILITIES:
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      if (NT_SUCCESS(status)) {
        ext->DeviceCaps = *stack->Parameters.DeviceCapabilities.Capabilities;
      }
      return CompletePnp(ext, Irp, status);

    case IRP_MN_CANCEL_STOP_DEVICE:
      // The lower drivers take up their work again before ours does. A
      // cancel-stop is never failed, so the device is started again whatever
      // they answer.
      status = ForwardAndWait(ext->LowerDeviceObject, Irp);
      if (ChangeState(ext, DeviceStopPending, DeviceStarted)) {
        ResumeTransfers(ext, PORTLINE_HOLD_STOP);
      }
      return CompletePnp(ext, Irp, status);

    // New requests are refused, and the transfers in the bus are aborted and
    // held, before the lower drivers hear of the stop: the configuration
    // may only be given up with nothing in the bus. When the aborts fail the
    // stop is refused with their status.
    case IRP_MN_QUERY_STOP_DEVICE:
      if (ChangeState(ext, DeviceStarted, DeviceStopPending)) {
        status = PauseTransfers(DeviceObject, PORTLINE_HOLD_STOP);
        if (!NT_SUCCESS(status)) {
          ChangeState(ext, DeviceStopPending, DeviceStarted);
          ResumeTransfers(ext, PORTLINE_HOLD_STOP);
          return CompletePnp(ext, Irp, status);
        }
      }
      break;
    case IRP_MN_STOP_DEVICE:
      // A stop without a query-stop before it aborts here.
      if (ChangeState(ext, DeviceStarted, DeviceStopped)) {
        PauseTransfers(DeviceObject, PORTLINE_HOLD_STOP);
      }
      ChangeState(ext, DeviceStopPending, DeviceStopped);
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
// Takes the remove lock for the request, which its last owner in this
// driver gives back. A set-power request goes to SetSystemPower or
// SetDevicePower; every other power request is passed down and belongs to
// the lower drivers.
extern "C" NTSTATUS NTAPI PortlinePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, status, 0);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == SystemPowerState) {
      return SetSystemPower(DeviceObject, Irp);
    }
    return SetDevicePower(DeviceObject, Irp);
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(ext->LowerDeviceObject, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

namespace {

// The device state a system state asks for: D0 for S0, otherwise what the
// capabilities map it to, and D3 where they say nothing usable.
DEVICE_POWER_STATE DeviceStateFor(PDEVICE_EXTENSION ext, SYSTEM_POWER_STATE systemState) {
  if (systemState == PowerSystemWorking) {
    return PowerDeviceD0;
  }
  DEVICE_POWER_STATE state = (systemState > PowerSystemUnspecified && systemState < POWER_SYSTEM_MAXIMUM)
                                 ? ext->DeviceCaps.DeviceState[systemState]
                                 : PowerDeviceUnspecified;
  return (state > PowerDeviceD0 && state <= PowerDeviceD3) ? state : PowerDeviceD3;
}

// Passes a power request down and waits until the lower drivers are done
// with it. PASSIVE_LEVEL. The request is the caller's again afterwards.
NTSTATUS ForwardPowerAndWait(PDEVICE_OBJECT target, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
  if (PoCallDriver(target, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  return irp->IoStatus.Status;
}

}  // namespace

// SetSystemPower: a system set-power request goes down first, with
// SystemPowerCompletion to request the device state for it on its way back.
// PASSIVE_LEVEL, with the request's remove lock held. Returns STATUS_PENDING:
// the request belongs to the lower drivers, then to SystemPowerCompletion.
extern "C" NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SystemPowerCompletion, NULL, TRUE, TRUE, TRUE);
  PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
  return STATUS_PENDING;
}

// SystemPowerCompletion: the lower drivers are done with a system set-power
// request. Any IRQL up to DISPATCH_LEVEL. Requests the device power state
// for it and keeps the system request (STATUS_MORE_PROCESSING_REQUIRED)
// until DevicePowerCompletion completes it. When the request failed below,
// or the device request cannot be made (a system request is never failed
// for that), completion goes on and the remove lock is given back here.
extern "C" NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    POWER_STATE deviceState;
    deviceState.DeviceState =
        DeviceStateFor(ext, IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
    if (NT_SUCCESS(
            PoRequestPowerIrp(ext->Pdo, IRP_MN_SET_POWER, deviceState, DevicePowerCompletion, Irp, NULL))) {
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The system runs again: the device must not stay asleep with
    // transfers held, so it is asked for D0 once more, on its own.
    if (deviceState.DeviceState == PowerDeviceD0) {
      WakeDevice(ext);
    }
  }
  PoStartNextPowerIrp(Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return STATUS_CONTINUE_COMPLETION;
}

// DevicePowerCompletion: called by the power manager once the device
// set-power request has gone through the whole device stack. Any IRQL up to
// DISPATCH_LEVEL. Completes the system request it was made for (Context)
// and gives back that request's remove lock; a wake that a transfer asked
// for (no Context) has nothing more to do.
extern "C" VOID NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context,
                                            PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PIRP systemIrp = static_cast<PIRP>(Context);
  if (systemIrp == NULL) {
    return;
  }
  PDEVICE_EXTENSION ext = ExtensionOf(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject);
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&ext->RemoveLock, systemIrp);
}

// SetDevicePower: a device set-power request. PASSIVE_LEVEL
// (DO_POWER_PAGABLE), with the request's remove lock held. Going to sleep,
// the transfers in the bus are aborted and held first, and the request is
// passed down (it belongs to the lower drivers). Waking, the lower drivers
// power the device up first; then the held transfers are sent again and the
// request is completed here.
extern "C" NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  const DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  NTSTATUS status;
  if (state > PowerDeviceD0 && ext->DevicePower == PowerDeviceD0) {
    // Nothing may wait in the bus while the device sleeps. A device whose
    // pipes cannot be aborted any more is gone; it sleeps all the same.
    PauseTransfers(DeviceObject, PORTLINE_HOLD_POWER);
    ext->DevicePower = state;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(ext->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return status;
  }
  status = ForwardPowerAndWait(ext->LowerDeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    ext->DevicePower = state;
    if (state == PowerDeviceD0) {
      ResumeTransfers(ext, PORTLINE_HOLD_POWER);
    }
  }
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}
