// Portline.sys: WDM function driver for the splicer's USB device.
// The chief header: the DDK includes, the per-device record and the driver's
// routines. Every source file of the driver includes this header first.
#pragma once

// The DDK headers are C headers. In C++ mode they clash with the compiler's
// intrinsics over the two bit-test routines; declaring them present avoids it.
extern "C" {
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// clang-format off: the order matters
#include <ddk/wdm.h>
#include <usb.h>
#include <ddk/usbdlib.h>
#include <usbioctl.h>
#include <ddk/usbbusif.h>
// clang-format on
}

#include "public/PortlinePublic.h"

// Pool tag of every block the driver allocates: the characters "Wdm ".
#define PORTLINE_POOL_TAG ((ULONG)0x206D6457)

// Bytes of the first, probing read of the configuration descriptor, and the
// size of the buffer it goes into.
#define PORTLINE_PROBE_LENGTH 9
#define PORTLINE_PROBE_BUFFER_SIZE 10

// Whether the device takes user requests. Only a started device does; from
// the query-stop until the next successful start they are refused.
typedef enum _PORTLINE_DEVICE_STATE {
  DeviceNotStarted = 0,  // from add-device until the first successful start
  DeviceStarted,
  DeviceStopPending,  // query-stop passed; cancel-stop makes it started again
  DeviceStopped,
} PORTLINE_DEVICE_STATE;

// The per-device record, the device object's extension. IoCreateDevice hands
// it over zero-filled.
typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT Pdo;                // target of PoRequestPowerIrp
  PDEVICE_OBJECT LowerDeviceObject;  // every request and URB goes here
  UNICODE_STRING InterfaceName;      // symbolic link of the device interface
  // Guards what a start publishes (State, ConfigDescriptor and its length,
  // the two pipe records, BusInterfaceAvailable and BusInterface) against
  // the user requests that read it. PASSIVE_LEVEL only; never held across a
  // request to the lower drivers. A PORTLINE_LOCK (see below).
  KEVENT StateLock;
  PORTLINE_DEVICE_STATE State;
  PUCHAR ConfigDescriptor;            // pool copy of the whole configuration descriptor
  ULONG ConfigDescriptorLength;       // its wTotalLength; 0 until the first start
  USBD_PIPE_INFORMATION BulkOutPipe;  // index 0 of the pipe pair (bit 7 clear)
  USBD_PIPE_INFORMATION BulkInPipe;   // index 1 of the pipe pair (bit 7 set)
  PUSBD_PIPE_INFORMATION HaltedPipe;  // pipe whose last transfer halted, or null
  BOOLEAN BusInterfaceAvailable;      // BusInterface may be called
  USB_BUS_INTERFACE_USBDI_V1 BusInterface;
  DEVICE_CAPABILITIES DeviceCaps;  // as the lower driver answered them
  // Held by every request in progress and by every transfer in the bus
  // driver; removal waits for it to drain before it detaches and deletes.
  IO_REMOVE_LOCK RemoveLock;
  // Set when IRP_MN_REMOVE_DEVICE arrives; new user requests are refused.
  BOOLEAN RemovePending;
  // Set while a removal has been queried and not cancelled: new opens are
  // refused with STATUS_DELETE_PENDING, so that nothing new holds the device
  // the removal is about to take. Handles already open keep working.
  // Guarded by the state lock.
  BOOLEAN RemoveQueried;
  // Set when IRP_MN_SURPRISE_REMOVAL arrives: the interface is disabled and
  // every new request fails with STATUS_NO_SUCH_DEVICE.
  BOOLEAN SurpriseRemoved;
  BOOLEAN InterfaceEnabled;  // the device interface is enabled now
  // The device's power state, as the last device set-power request left it.
  DEVICE_POWER_STATE DevicePower;
  // The system woke but the device's own wake request could not be made:
  // the next transfer asks for D0 itself. Guarded by the cancel spin lock.
  BOOLEAN WakeNeeded;
  // The one IRP this driver owns for its own requests to the stack (the bus
  // interface query and the pipe aborts), allocated once at add-device so
  // that a stop or a power-down never has to allocate. ControlIrpLock
  // serialises its users; PASSIVE_LEVEL. A PORTLINE_LOCK (see below).
  PIRP ControlIrp;
  KEVENT ControlIrpLock;
  struct _URB_PIPE_REQUEST AbortUrb;
  // Bulk transfers (PortlineTransfers.cpp). Guarded by the cancel spin lock:
  // why transfers are held instead of sent (PORTLINE_HOLD_*), the requests
  // held (linked through Tail.Overlay.ListEntry), the transfers in the bus
  // and the senders inside IoCallDriver; each event is signalled while its
  // count is zero.
  ULONG HoldReasons;
  // Held requests oldest first, by Sequence; a resume sends them again one at
  // a time, and while it does (Resending) new transfers queue up behind them,
  // so the bus receives reads in the order they were issued.
  LIST_ENTRY HeldTransfers;
  BOOLEAN Resending;
  LONG NextSequence;  // the Sequence of the next read or write; interlocked
  LONG TransfersInBus;
  LONG Senders;
  KEVENT NoTransfersInBus;
  KEVENT NoSenders;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Why transfers are held in the driver instead of being sent to the bus.
#define PORTLINE_HOLD_STOP 0x1   // from query-stop until cancel-stop or the next start
#define PORTLINE_HOLD_POWER 0x2  // while the device is in a sleeping state (D1-D3)

// Time-out of a synchronous URB: a device that never answers a control
// transfer costs its caller this long, then the URB is cancelled.
#define PORTLINE_URB_TIMEOUT_100NS (5LL * 1000 * 1000 * 10)

// Per read or write, owned by the request while it is in the bus driver.
// The pipe is the request's direction's (PipeFor).
typedef struct _TRANSFER_CONTEXT {
  PURB Urb;
  PDEVICE_EXTENSION DeviceExtension;
  ULONG Sequence;  // the order the request arrived in
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

extern "C" {
// Entry, device creation, forward-and-wait.
DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI PortlineAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI PortlineUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Target, PIRP Irp);
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Plug and play and power.
NTSTATUS NTAPI PortlinePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortlinePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortlineSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI DevicePowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// USB configuration at start.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
BOOLEAN QueryBusInterface(PDEVICE_OBJECT DeviceObject, PUSB_BUS_INTERFACE_USBDI_V1 Interface);
VOID ReleaseBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 Interface);
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, ULONG Length, PVOID Buffer);
NTSTATUS ValidateConfigurationDescriptor(const UCHAR* Descriptor, ULONG Length);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
                             PUSBD_PIPE_INFORMATION BulkInPipe, PUSBD_PIPE_INFORMATION BulkOutPipe);
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SendControlIrpAndWait(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT Target, PLARGE_INTEGER Timeout);
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS Status, NTSTATUS IrpStatus);

// Bulk transfers held while the device is stopped or asleep.
VOID StartOrHoldTransfer(PIRP Irp, PTRANSFER_CONTEXT Context, BOOLEAN Resent);
NTSTATUS PauseTransfers(PDEVICE_OBJECT DeviceObject, ULONG Reason);
VOID ResumeTransfers(PDEVICE_EXTENSION Extension, ULONG Reason);
VOID FailHeldTransfers(PDEVICE_EXTENSION Extension, NTSTATUS Status);
BOOLEAN HoldEndedTransfer(PIRP Irp, PTRANSFER_CONTEXT Context);
VOID FinishTransfer(PIRP Irp, PTRANSFER_CONTEXT Context, NTSTATUS Status);
VOID NTAPI HeldTransferCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID WakeDevice(PDEVICE_EXTENSION Extension);

// User-mode interface and bulk transfers.
PUSBD_PIPE_INFORMATION PipeFor(PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS NTAPI PortlineCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortlineClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortlineReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortlineDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PURB BuildBulkUrb(PDEVICE_EXTENSION Extension, PIRP Irp, ULONG Length, PMDL Mdl,
                  PUSBD_PIPE_INFORMATION* Pipe);
NTSTATUS SendBulkUrb(PIRP Irp, PTRANSFER_CONTEXT Context);
NTSTATUS NTAPI BulkTransferCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS ResetHaltedPipe(PDEVICE_OBJECT DeviceObject);
}

// A URB's USBD status reports its endpoint halted when both of its top two
// bits are set and the rest is a transfer error of the host controller
// (stall, babble, CRC and the like: 0xC0000001 to 0xC00000FF). A cancelled
// transfer (USBD_STATUS_CANCELED) and a vanished device
// (USBD_STATUS_DEVICE_GONE) carry the same two bits but halt nothing.
inline bool UsbdStatusHalted(USBD_STATUS Status) {
  const ULONG status = static_cast<ULONG>(Status);
  return (status >> 30) == 3 && (status & 0x3FFFFF00) == 0 && (status & 0xFF) != 0;
}

// Completes a request with the given status and information, no priority
// boost, and returns the status. Any IRQL up to DISPATCH_LEVEL.
inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

// The driver's two locks (StateLock, ControlIrpLock) are synchronization
// events, set while the lock is free: a wait takes the lock and clears the
// event, a set gives it back and lets one waiter in. Neither is ever taken
// again by the thread that holds it. They are not KMUTEXes: the kernel the
// tests load this driver into (Wine's) never passes a contended KMUTEX on to
// the thread waiting for it, and a stop or a power-down that met a user
// request there waited for ever. PASSIVE_LEVEL.
inline void InitializeLock(PKEVENT lock) { KeInitializeEvent(lock, SynchronizationEvent, TRUE); }
inline void AcquireLock(PKEVENT lock) { KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, NULL); }
inline void ReleaseLock(PKEVENT lock) { KeSetEvent(lock, IO_NO_INCREMENT, FALSE); }

// Takes and gives back StateLock. PASSIVE_LEVEL.
inline void AcquireStateLock(PDEVICE_EXTENSION ext) { AcquireLock(&ext->StateLock); }
inline void ReleaseStateLock(PDEVICE_EXTENSION ext) { ReleaseLock(&ext->StateLock); }
