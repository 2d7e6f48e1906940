// Bulk transfers between the dispatch routine and the bus driver: sent at
// once while the device runs, held in the driver while it is stopped or
// asleep, and from there sent again, failed or cancelled. The cancel spin
// lock guards the held list and the counts (ntoskrnl exports it on every
// Windows this driver serves; the spin lock routines of x86 live in hal.dll).
#include "Portline.h"

namespace {

// Moves every held request whose cancel routine can still be taken away
// from the held list to `taken`. Cancel spin lock held. A request whose
// routine is gone is being cancelled; that routine takes it off the list.
void TakeHeldLocked(PDEVICE_EXTENSION ext, PLIST_ENTRY taken) {
  PLIST_ENTRY entry = ext->HeldTransfers.Flink;
  while (entry != &ext->HeldTransfers) {
    PLIST_ENTRY next = entry->Flink;
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      InsertTailList(taken, entry);
    }
    entry = next;
  }
}

// Puts a request on the held list with its cancel routine. Cancel spin
// lock held. Returns FALSE when the request has been cancelled already; it
// is then not on the list and the caller finishes it as cancelled.
BOOLEAN HoldLocked(PDEVICE_EXTENSION ext, PIRP irp, PTRANSFER_CONTEXT context) {
  if (irp->Cancel) {
    return FALSE;
  }
  irp->Tail.Overlay.DriverContext[0] = context;
  IoSetCancelRoutine(irp, HeldTransferCancel);
  // In issue order: a pipe abort may end older transfers after newer ones
  // were held, and in any order.
  PLIST_ENTRY before = ext->HeldTransfers.Blink;
  while (before != &ext->HeldTransfers) {
    PIRP held = CONTAINING_RECORD(before, IRP, Tail.Overlay.ListEntry);
    const PTRANSFER_CONTEXT heldContext = static_cast<PTRANSFER_CONTEXT>(held->Tail.Overlay.DriverContext[0]);
    if (static_cast<LONG>(context->Sequence - heldContext->Sequence) > 0) {
      break;
    }
    before = before->Blink;
  }
  InsertHeadList(before, &irp->Tail.Overlay.ListEntry);
  return TRUE;
}

// Takes the oldest held request whose cancel routine can still be taken
// away off the held list; null when there is none. Cancel spin lock held.
PIRP TakeOldestHeldLocked(PDEVICE_EXTENSION ext) {
  for (PLIST_ENTRY entry = ext->HeldTransfers.Flink; entry != &ext->HeldTransfers; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      return irp;
    }
  }
  return NULL;
}

// Takes every held request out of the list for the caller. PASSIVE_LEVEL.
void TakeHeld(PDEVICE_EXTENSION ext, PLIST_ENTRY taken) {
  KIRQL irql;
  InitializeListHead(taken);
  IoAcquireCancelSpinLock(&irql);
  TakeHeldLocked(ext, taken);
  IoReleaseCancelSpinLock(irql);
}

// Sends URB_FUNCTION_ABORT_PIPE for each configured bulk pipe through the
// device's own control IRP. PASSIVE_LEVEL. Returns the first failure.
NTSTATUS AbortPipes(PDEVICE_OBJECT deviceObject) {
  PDEVICE_EXTENSION ext = ExtensionOf(deviceObject);
  AcquireStateLock(ext);
  USBD_PIPE_HANDLE pipes[2] = {ext->BulkInPipe.PipeHandle, ext->BulkOutPipe.PipeHandle};
  ReleaseStateLock(ext);

  NTSTATUS status = STATUS_SUCCESS;
  for (USBD_PIPE_HANDLE pipe : pipes) {
    if (pipe == NULL) {
      continue;
    }
    AcquireLock(&ext->ControlIrpLock);
    struct _URB_PIPE_REQUEST* urb = &ext->AbortUrb;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb->PipeHandle = pipe;
    IoReuseIrp(ext->ControlIrp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(ext->ControlIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -PORTLINE_URB_TIMEOUT_100NS;
    NTSTATUS aborted = SendControlIrpAndWait(ext, ext->LowerDeviceObject, &timeout);
    aborted = UsbdStatusToNtStatus(urb->Hdr.Status, aborted);
    ReleaseLock(&ext->ControlIrpLock);
    if (!NT_SUCCESS(aborted) && NT_SUCCESS(status)) {
      status = aborted;
    }
  }
  return status;
}

}  // namespace

// StartOrHoldTransfer: hands a read or write to the bus driver, or holds it
// while the device is stopped or asleep, or while held requests are being
// sent again (Resent: this is one of them). Any IRQL up to DISPATCH_LEVEL
// (PASSIVE_LEVEL from the dispatch routine and the resume). The request,
// marked pending, belongs to BulkTransferCompletion or to the held list
// afterwards, or has been completed.
extern "C" VOID StartOrHoldTransfer(PIRP Irp, PTRANSFER_CONTEXT Context, BOOLEAN Resent) {
  PDEVICE_EXTENSION ext = Context->DeviceExtension;
  // Keeps the device extension for this routine: the request's own
  // reference may be given back by its completion before IoCallDriver
  // returns.
  if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, Context))) {
    FinishTransfer(Irp, Context, STATUS_DELETE_PENDING);
    return;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (ext->HoldReasons != 0 || (ext->Resending && !Resent)) {
    const BOOLEAN held = HoldLocked(ext, Irp, Context);
    // Asleep only because the system's wake could not take the device
    // along: this transfer wakes it.
    const BOOLEAN wake = held && ext->WakeNeeded && ext->HoldReasons == PORTLINE_HOLD_POWER;
    if (wake) {
      ext->WakeNeeded = FALSE;
    }
    IoReleaseCancelSpinLock(irql);
    if (!held) {
      FinishTransfer(Irp, Context, STATUS_CANCELLED);
    }
    if (wake) {
      WakeDevice(ext);
    }
    IoReleaseRemoveLock(&ext->RemoveLock, Context);
    return;
  }
  if (ext->TransfersInBus++ == 0) {
    KeClearEvent(&ext->NoTransfersInBus);
  }
  if (ext->Senders++ == 0) {
    KeClearEvent(&ext->NoSenders);
  }
  IoReleaseCancelSpinLock(irql);

  SendBulkUrb(Irp, Context);

  IoAcquireCancelSpinLock(&irql);
  if (--ext->Senders == 0) {
    KeSetEvent(&ext->NoSenders, IO_NO_INCREMENT, FALSE);
  }
  IoReleaseCancelSpinLock(irql);
  IoReleaseRemoveLock(&ext->RemoveLock, Context);
}

// WakeDevice: asks for D0 for a device the system woke without it (its
// wake request could not be made). Any IRQL up to DISPATCH_LEVEL. When this
// request cannot be made either, the next transfer asks again.
extern "C" VOID WakeDevice(PDEVICE_EXTENSION Extension) {
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  if (!NT_SUCCESS(
          PoRequestPowerIrp(Extension->Pdo, IRP_MN_SET_POWER, d0, DevicePowerCompletion, NULL, NULL))) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Extension->WakeNeeded = TRUE;
    IoReleaseCancelSpinLock(irql);
  }
}

// HoldEndedTransfer: called by BulkTransferCompletion for every transfer the
// bus driver ends. Any IRQL up to DISPATCH_LEVEL. A transfer that this
// driver's pipe abort ended while transfers are held is put on the held
// list (TRUE: the completion routine stops completion, the request belongs
// to the list); every other one goes on to be completed (FALSE).
extern "C" BOOLEAN HoldEndedTransfer(PIRP Irp, PTRANSFER_CONTEXT Context) {
  PDEVICE_EXTENSION ext = Context->DeviceExtension;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN held = FALSE;
  if (ext->HoldReasons != 0 && Irp->IoStatus.Status == STATUS_CANCELLED && !Irp->Cancel) {
    held = HoldLocked(ext, Irp, Context);
  }
  if (--ext->TransfersInBus == 0) {
    KeSetEvent(&ext->NoTransfersInBus, IO_NO_INCREMENT, FALSE);
  }
  IoReleaseCancelSpinLock(irql);
  return held;
}

// PauseTransfers: from now on transfers are held for `Reason`; the ones in
// the bus are aborted, held, and waited for. PASSIVE_LEVEL. Returns the
// status of the aborts: when they fail, nothing is waited for.
extern "C" NTSTATUS PauseTransfers(PDEVICE_OBJECT DeviceObject, ULONG Reason) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ext->HoldReasons |= Reason;
  IoReleaseCancelSpinLock(irql);
  // Every sender that found nothing held has handed its transfer over.
  KeWaitForSingleObject(&ext->NoSenders, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = AbortPipes(DeviceObject);
  if (NT_SUCCESS(status)) {
    KeWaitForSingleObject(&ext->NoTransfersInBus, Executive, KernelMode, FALSE, NULL);
  }
  return status;
}

// ResumeTransfers: `Reason` no longer holds transfers; when nothing else
// does, the held requests are sent again on the pipes as they are now, oldest
// first and one at a time; requests that arrive meanwhile are held behind
// them. PASSIVE_LEVEL.
extern "C" VOID ResumeTransfers(PDEVICE_EXTENSION Extension, ULONG Reason) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Extension->HoldReasons &= ~Reason;
  Extension->Resending = Extension->HoldReasons == 0;
  IoReleaseCancelSpinLock(irql);

  for (;;) {
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Extension->HoldReasons == 0 ? TakeOldestHeldLocked(Extension) : NULL;
    if (irp == NULL) {
      Extension->Resending = FALSE;
    }
    IoReleaseCancelSpinLock(irql);
    if (irp == NULL) {
      return;
    }
    PTRANSFER_CONTEXT context = static_cast<PTRANSFER_CONTEXT>(irp->Tail.Overlay.DriverContext[0]);
    AcquireStateLock(Extension);
    USBD_PIPE_HANDLE pipe = PipeFor(Extension, irp)->PipeHandle;
    ReleaseStateLock(Extension);
    if (pipe == NULL) {
      FinishTransfer(irp, context, STATUS_DEVICE_NOT_READY);
      continue;
    }
    PURB urb = context->Urb;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    const ULONG length = MmGetMdlByteCount(irp->MdlAddress);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength =
        length < PORTLINE_MAX_TRANSFER_SIZE ? length : PORTLINE_MAX_TRANSFER_SIZE;
    StartOrHoldTransfer(irp, context, TRUE);
  }
}

// FailHeldTransfers: completes every held request with `Status`.
// PASSIVE_LEVEL. Called when the device goes away.
extern "C" VOID FailHeldTransfers(PDEVICE_EXTENSION Extension, NTSTATUS Status) {
  LIST_ENTRY taken;
  TakeHeld(Extension, &taken);
  while (!IsListEmpty(&taken)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
    FinishTransfer(irp, static_cast<PTRANSFER_CONTEXT>(irp->Tail.Overlay.DriverContext[0]), Status);
  }
}

// FinishTransfer: frees a request's URB and context, completes it with
// `Status` and no bytes, and gives back its remove lock. Any IRQL up to
// DISPATCH_LEVEL. For requests this driver holds (never in the bus).
extern "C" VOID FinishTransfer(PIRP Irp, PTRANSFER_CONTEXT Context, NTSTATUS Status) {
  PDEVICE_EXTENSION ext = Context->DeviceExtension;
  ExFreePoolWithTag(Context->Urb, PORTLINE_POOL_TAG);
  ExFreePoolWithTag(Context, PORTLINE_POOL_TAG);
  CompleteRequest(Irp, Status, 0);
  // Last: removal may free the device extension as soon as this is released.
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
}

// HeldTransferCancel: cancel routine of a held request. DISPATCH_LEVEL, with
// the cancel spin lock held, which it gives back. Completes the request
// with STATUS_CANCELLED.
extern "C" VOID NTAPI HeldTransferCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  FinishTransfer(Irp, static_cast<PTRANSFER_CONTEXT>(Irp->Tail.Overlay.DriverContext[0]), STATUS_CANCELLED);
}
