// The user-mode interface: create and close, reads and writes as bulk
// transfers, and the device I/O controls.
#include "Portline.h"

namespace {

// Takes the remove lock for one user request. Fails with
// STATUS_DELETE_PENDING once removal has begun, with STATUS_NO_SUCH_DEVICE
// once the device has been pulled out (surprise removal), and with
// STATUS_DEVICE_NOT_READY while the device is not started (before its first
// start, and from a query-stop until the next start); the request then holds
// no lock and must be completed with that status.
NTSTATUS EnterRequest(PDEVICE_EXTENSION ext, PIRP irp) {
  if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, irp))) {
    return STATUS_DELETE_PENDING;
  }
  if (ext->RemovePending) {
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
    return STATUS_DELETE_PENDING;
  }
  AcquireStateLock(ext);
  const bool gone = ext->SurpriseRemoved != FALSE;
  const bool started = ext->State == DeviceStarted;
  ReleaseStateLock(ext);
  if (gone || !started) {
    IoReleaseRemoveLock(&ext->RemoveLock, irp);
    return gone ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_NOT_READY;
  }
  return STATUS_SUCCESS;
}

// Completes the request and gives back the remove lock it held.
NTSTATUS CompleteAndLeave(PDEVICE_EXTENSION ext, PIRP irp, NTSTATUS status, ULONG_PTR information) {
  CompleteRequest(irp, status, information);
  IoReleaseRemoveLock(&ext->RemoveLock, irp);
  return status;
}

bool IsRead(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ; }

}  // namespace

// PipeFor: the pipe record of the request's direction: reads use index 1
// (IN), everything else index 0 (OUT). Any IRQL up to DISPATCH_LEVEL, while
// the request is at this driver's stack location.
extern "C" PUSBD_PIPE_INFORMATION PipeFor(PDEVICE_EXTENSION Extension, PIRP Irp) {
  return IsRead(Irp) ? &Extension->BulkInPipe : &Extension->BulkOutPipe;
}

// PortlineCreate: opens a handle on a started device. PASSIVE_LEVEL.
// Completes the request. Refused with STATUS_DELETE_PENDING while a removal
// has been queried and not cancelled.
extern "C" NTSTATUS NTAPI PortlineCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  const NTSTATUS entered = EnterRequest(ext, Irp);
  if (!NT_SUCCESS(entered)) {
    return CompleteRequest(Irp, entered, 0);
  }
  AcquireStateLock(ext);
  const bool removeQueried = ext->RemoveQueried != FALSE;
  ReleaseStateLock(ext);
  if (removeQueried) {
    return CompleteAndLeave(ext, Irp, STATUS_DELETE_PENDING, 0);
  }
  NTSTATUS status =
      IoGetCurrentIrpStackLocation(Irp)->FileObject != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  return CompleteAndLeave(ext, Irp, status, 0);
}

// PortlineClose: closes a handle. PASSIVE_LEVEL. Completes the request; a
// handle can always be closed, even while the device goes away.
extern "C" NTSTATUS NTAPI PortlineClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// PortlineReadWrite: turns a read into a bulk IN transfer and a write into a
// bulk OUT transfer of at most 64 bytes. PASSIVE_LEVEL.
// A request that reaches the bus driver belongs to BulkTransferCompletion and
// the routine returns STATUS_PENDING; every other request is completed here.
extern "C" NTSTATUS NTAPI PortlineReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  const NTSTATUS entered = EnterRequest(ext, Irp);
  if (!NT_SUCCESS(entered)) {
    return CompleteRequest(Irp, entered, 0);
  }

  PMDL mdl = Irp->MdlAddress;
  if (mdl == NULL || MmGetMdlByteCount(mdl) == 0) {
    return CompleteAndLeave(ext, Irp, STATUS_SUCCESS, 0);
  }

  // The pipe records are read under the lock a restart publishes them under.
  PUSBD_PIPE_INFORMATION pipe = NULL;
  PURB urb = NULL;
  AcquireStateLock(ext);
  const bool configured = PipeFor(ext, Irp)->PipeHandle != NULL;
  if (configured) {
    urb = BuildBulkUrb(ext, Irp, MmGetMdlByteCount(mdl), mdl, &pipe);
  }
  ReleaseStateLock(ext);
  // The bus returned no pipe of this direction: there is nothing to send on.
  if (!configured) {
    return CompleteAndLeave(ext, Irp, STATUS_DEVICE_NOT_READY, 0);
  }
  if (urb == NULL) {
    return CompleteAndLeave(ext, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  PTRANSFER_CONTEXT context = static_cast<PTRANSFER_CONTEXT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(TRANSFER_CONTEXT), PORTLINE_POOL_TAG));
  if (context == NULL) {
    ExFreePoolWithTag(urb, PORTLINE_POOL_TAG);
    return CompleteAndLeave(ext, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  context->Urb = urb;
  context->DeviceExtension = ext;
  context->Sequence = static_cast<ULONG>(InterlockedIncrement(&ext->NextSequence));

  // From here the request, the URB, the context and the remove lock the
  // request holds all belong to BulkTransferCompletion, or to the held list
  // while the device is stopped or asleep.
  IoMarkIrpPending(Irp);
  StartOrHoldTransfer(Irp, context, FALSE);
  return STATUS_PENDING;
}

// BuildBulkUrb: allocates and fills the bulk transfer URB for the request and
// hands back the pipe record it uses. Any IRQL up to DISPATCH_LEVEL. Returns
// null when the URB cannot be allocated.
extern "C" PURB BuildBulkUrb(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length, PMDL Mdl,
                             PUSBD_PIPE_INFORMATION* Pipe) {
  const bool read = IsRead(Irp);
  PURB urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), PORTLINE_POOL_TAG));
  if (urb == NULL) {
    return NULL;
  }
  PUSBD_PIPE_INFORMATION pipe = read ? &Extension->BulkInPipe : &Extension->BulkOutPipe;
  // The driver's own cap, not the pipe's MaximumTransferSize: bus drivers
  // since Windows XP ignore the size asked for at selection and report
  // their own, far larger one.
  const ULONG length = Length < PORTLINE_MAX_TRANSFER_SIZE ? Length : PORTLINE_MAX_TRANSFER_SIZE;

  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe->PipeHandle;
  urb->UrbBulkOrInterruptTransfer.TransferFlags =
      read ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = NULL;
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = Mdl;
  urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;
  *Pipe = pipe;
  return urb;
}

// SendBulkUrb: hands the request with its URB to the bus driver, with
// BulkTransferCompletion to finish it. Any IRQL up to DISPATCH_LEVEL. The
// request is no longer the caller's once this returns.
extern "C" NTSTATUS SendBulkUrb(PIRP Irp, PTRANSFER_CONTEXT Context) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  RtlZeroMemory(next, sizeof(*next));
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Context->Urb;
  IoSetCompletionRoutine(Irp, BulkTransferCompletion, Context, TRUE, TRUE, TRUE);
  return IoCallDriver(Context->DeviceExtension->LowerDeviceObject, Irp);
}

// BulkTransferCompletion: finishes a read or write that the bus driver has
// completed. Any IRQL up to DISPATCH_LEVEL. A transfer this driver aborted
// to stop or power down the device is held to be sent again
// (STATUS_MORE_PROCESSING_REQUIRED: the request belongs to the held list).
// Otherwise reports the bytes moved, records a halted pipe, frees the URB and
// the context and gives back the remove lock; completion then goes on with
// the bus driver's status.
extern "C" NTSTATUS NTAPI BulkTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PTRANSFER_CONTEXT context = static_cast<PTRANSFER_CONTEXT>(Context);
  PURB urb = context->Urb;
  PDEVICE_EXTENSION ext = context->DeviceExtension;

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (HoldEndedTransfer(Irp, context)) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  Irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (UsbdStatusHalted(urb->UrbHeader.Status)) {
    ext->HaltedPipe = PipeFor(ext, Irp);
    Irp->IoStatus.Information = 0;
  }
  ExFreePoolWithTag(urb, PORTLINE_POOL_TAG);
  ExFreePoolWithTag(context, PORTLINE_POOL_TAG);
  // Last: removal may free the device extension as soon as this is released.
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return STATUS_SUCCESS;
}

// PortlineDeviceControl: the three device I/O controls. PASSIVE_LEVEL.
// The descriptor and the bus interface are read under StateLock, so a
// restart never shows them half replaced. Completes the request before it
// returns its status.
extern "C" NTSTATUS NTAPI PortlineDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  const NTSTATUS entered = EnterRequest(ext, Irp);
  if (!NT_SUCCESS(entered)) {
    return CompleteRequest(Irp, entered, 0);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status;

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR: {
      AcquireStateLock(ext);
      const ULONG length = ext->ConfigDescriptorLength;
      if (outputLength < length) {
        status = STATUS_BUFFER_TOO_SMALL;
        Irp->IoStatus.Information = 0;
      } else {
        if (length != 0) {
          RtlCopyMemory(buffer, ext->ConfigDescriptor, length);
        }
        Irp->IoStatus.Information = length;
        status = STATUS_SUCCESS;
      }
      ReleaseStateLock(ext);
      break;
    }
    case IOCTL_PORTLINE_RESET_PIPE:
      status = ResetHaltedPipe(DeviceObject);
      Irp->IoStatus.Information = 0;
      break;
    case IOCTL_PORTLINE_IS_HIGH_SPEED:
      AcquireStateLock(ext);
      if (!ext->BusInterfaceAvailable) {
        status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
      } else if (outputLength < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
        Irp->IoStatus.Information = 0;
      } else {
        *static_cast<PULONG>(buffer) =
            ext->BusInterface.IsDeviceHighSpeed(ext->BusInterface.BusContext) ? 1 : 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
      }
      ReleaseStateLock(ext);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      Irp->IoStatus.Information = 0;
      break;
  }

  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

// ResetHaltedPipe: resets the pipe whose endpoint last reported halted and
// clears the record when the reset went through. PASSIVE_LEVEL. Returns
// STATUS_SUCCESS, or the failure as an NTSTATUS (UsbdStatusToNtStatus): a
// USBD status is never handed to user mode as if it were one.
extern "C" NTSTATUS ResetHaltedPipe(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = ExtensionOf(DeviceObject);
  PUSBD_PIPE_INFORMATION halted = ext->HaltedPipe;
  if (halted == NULL) {
    return STATUS_SUCCESS;
  }

  struct _URB_PIPE_REQUEST urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = URB_FUNCTION_RESET_PIPE;
  AcquireStateLock(ext);
  urb.PipeHandle = halted->PipeHandle;
  ReleaseStateLock(ext);

  const NTSTATUS submitted = SubmitUrbAndWait(DeviceObject, reinterpret_cast<PURB>(&urb));
  const NTSTATUS status = UsbdStatusToNtStatus(urb.Hdr.Status, submitted);
  if (NT_SUCCESS(status)) {
    ext->HaltedPipe = NULL;
  }
  return status;
}
