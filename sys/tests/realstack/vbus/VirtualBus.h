// portline-vbus.sys: a root-enumerated virtual USB bus that carries simulated
// splicers, so that the real Portline.sys runs on a real kernel's PnP and I/O
// managers. Test equipment: one spin lock, fixed slots. The splicer's power
// state follows the device set-power requests that reach it.
#pragma once

extern "C" {
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <usb.h>
#include <ddk/usbdlib.h>
#include <usbioctl.h>
#include <ddk/usbbusif.h>
}

#include "VbusControl.h"
#include "VbusHardwareId.h"

#define VBUS_POOL_TAG ((ULONG)0x73756256)  // "Vbus"

// How often the pacing worker lets paced splicers send what is due.
#define VBUS_WORKER_TICK_MS 10u

// What a real USB stack answers for MaximumTransferSize, whatever the client
// asked for: the value has been ignored since Windows XP.
#define VBUS_STACK_MAXIMUM_TRANSFER_SIZE 4096u

enum VbusKind { kControlDevice = 1, kBusDevice, kChildDevice };

// One simulated splicer. Lives as long as the driver; its device objects come
// and go with plugging.
struct VbusChild {
  ULONG Index;
  BOOLEAN Plugged;
  BOOLEAN HighSpeed;
  BOOLEAN Halted;
  BOOLEAN Removed;     // its device object has seen IRP_MN_REMOVE_DEVICE since its last start
  PDEVICE_OBJECT Pdo;  // the device object reported to the system, or null
  PUCHAR Report;
  ULONG ReportLength;
  ULONG PacketSize;
  ULONG PacingMs;
  ULONG PacingCredit;  // milliseconds earned towards the next packet
  ULONG StallAt;
  ULONG UnplugAt;
  LIST_ENTRY Reads;    // pending bulk IN transfers, oldest first
  UCHAR Out[VBUS_OUT_CAPACITY];
  VBUS_STATUS Status;
};

struct VbusCommon {
  VbusKind Kind;
};

struct VbusBusExtension {
  VbusCommon Common;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
};

struct VbusChildExtension {
  VbusCommon Common;
  VbusChild* Child;
  BOOLEAN Started;
  BOOLEAN Configured;
  BOOLEAN Gone;       // no longer reported: deleted at its removal
  DEVICE_POWER_STATE Power;
  UCHAR PipeTags[2];  // their addresses are the pipe handles: [0] IN, [1] OUT
  UCHAR ConfigurationTag;
  UCHAR InterfaceTag;
};

// The driver's whole state.
struct VbusGlobals {
  KSPIN_LOCK Lock;
  PDEVICE_OBJECT Control;
  PDEVICE_OBJECT Bus;  // the bus's functional device object, or null
  VbusChild Children[VBUS_CHILDREN];
  // The pacing worker.
  KEVENT Wake;
  KEVENT Stopped;
  BOOLEAN WorkerRunning;
  BOOLEAN Stopping;
  LONG Sending;  // an IOCTL_VBUS_SEND sequence is under way
};

extern VbusGlobals g_vbus;

// Children (VbusChild.cpp).
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ChildInternalControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp);
// Sends a sequence of IOCTL_VBUS_SEND from a thread of its own.
NTSTATUS StartSequence(VbusChild* child, ULONG what);
PDEVICE_OBJECT CreateChildDevice(PDRIVER_OBJECT driver, VbusChild* child);
// Delivers whatever the splicers can send now to their pending reads.
// PASSIVE_LEVEL, lock not held. `tickMs`: time passed for pacing.
void PumpChildren(ULONG tickMs);
// Pulls the splicer out. PASSIVE_LEVEL, lock not held.
void UnplugChild(VbusChild* child);
void PlugChild(VbusChild* child, BOOLEAN highSpeed);
// Fails every pending read of the child. Lock held; the IRPs go to `done`.
void FailReadsLocked(VbusChild* child, NTSTATUS status, USBD_STATUS usbd, PLIST_ENTRY done);
// Completes the IRPs gathered on `done`. Lock not held.
void CompleteGathered(PLIST_ENTRY done);

// Bus (VirtualBus.cpp).
void InvalidateBus();
