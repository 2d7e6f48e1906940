// The virtual USB bus's control interface, shared by portline-vbus.sys and the
// user-mode programs that drive it: the control device's name, its I/O
// control codes and their records.
#pragma once

#ifndef CTL_CODE
#include <winioctl.h>
#endif

// User mode opens "\\.\PortlineVbus".
#define VBUS_CONTROL_PATH_A "\\\\.\\PortlineVbus"

// Simulated splicers the bus can carry.
#define VBUS_CHILDREN 2
// Largest report one splicer holds, and the bytes recorded from its OUT pipe.
#define VBUS_MAX_REPORT (256u * 1024u)
#define VBUS_OUT_CAPACITY 4096u
// The splicer is a full-speed device: every bulk packet is at most this long.
#define VBUS_MAX_PACKET 64u
// A byte position that is never reached.
#define VBUS_NEVER 0xFFFFFFFFu

#define VBUS_IOCTL(function) ((ULONG)CTL_CODE(0x8000u, (function), METHOD_BUFFERED, FILE_ANY_ACCESS))
// In: VBUS_PLUG. Plugs the splicer in (again); its report goes on where it stopped.
#define IOCTL_VBUS_PLUG VBUS_IOCTL(0x900)
// In: ULONG child. Pulls the splicer out: pending transfers fail, the system
// is told the device has gone.
#define IOCTL_VBUS_UNPLUG VBUS_IOCTL(0x901)
// In: VBUS_REPORT followed by the report's bytes. Replaces what the splicer
// sends and starts it from its first byte; clears the OUT record.
#define IOCTL_VBUS_SET_REPORT VBUS_IOCTL(0x902)
// In: ULONG child. Out: VBUS_STATUS.
#define IOCTL_VBUS_GET_STATUS VBUS_IOCTL(0x903)
// In: ULONG child. Out: the bytes that arrived on the OUT pipe, oldest first.
#define IOCTL_VBUS_GET_OUT VBUS_IOCTL(0x904)

// In: VBUS_SEND. The bus sends the splicer's device stack, from its top, the
// plug-and-play or power requests Windows sends in the named situation, one
// after another, from a thread of its own; VBUS_STATUS.Sequences counts the
// sequences it has finished and SequenceStatus tells how the last one went.
#define IOCTL_VBUS_SEND VBUS_IOCTL(0x905)

// What IOCTL_VBUS_SEND sends.
#define VBUS_REBALANCE 1        // query-stop, stop, start (cancel-stop if the query fails)
#define VBUS_QUERY_REMOVE 2     // query-remove, cancel-remove
#define VBUS_SLEEP 3            // system query-power S3, then the device's D3 (see DeviceIrpsFromBus)
#define VBUS_WAKE 4             // the device's D0
#define VBUS_DISABLE 5          // query-remove, remove (cancel-remove if the query fails)

typedef struct _VBUS_SEND {
  ULONG Child;
  ULONG What;
} VBUS_SEND;

typedef struct _VBUS_PLUG {
  ULONG Child;
  ULONG HighSpeed;  // what the bus interface's IsDeviceHighSpeed answers
} VBUS_PLUG;

typedef struct _VBUS_REPORT {
  ULONG Child;
  ULONG PacketSize;  // 1 to VBUS_MAX_PACKET bytes per bulk IN packet
  ULONG PacingMs;    // this long per packet on average (1: 64 KB/s); 0: as fast as reads come
  ULONG StallAt;     // the IN endpoint halts once this many bytes have gone out
  ULONG UnplugAt;    // the splicer is pulled out once this many bytes have gone out
  // the report's bytes follow
} VBUS_REPORT;

typedef struct _VBUS_STATUS {
  ULONG Plugged;        // reported to the system as present
  ULONG Devices;        // device objects of this splicer not yet deleted (0 or 1, 2 while a replug overlaps)
  ULONG Started;        // the current device object has been started and not stopped or removed
  ULONG Configured;     // a configuration is selected
  ULONG Halted;         // the IN endpoint is halted
  ULONG Sent;           // report bytes delivered to completed reads
  ULONG ReportLength;
  ULONG PendingReads;   // bulk IN transfers waiting for data
  ULONG OutLength;      // bytes recorded from the OUT pipe
  ULONG InterfaceReferences;  // bus interface references handed out and not given back
  ULONG LateDereferences;     // references given back after the device object's removal
  // Counters since the report was set.
  ULONG Plugs, Starts, Stops, SurpriseRemovals, Removals;
  ULONG Reads, Cancels, Stalls, Overruns, PipeResets, PipeAborts, GoneTransfers, RejectedUrbs;
  ULONG LargestRead;    // longest bulk IN transfer asked for
  ULONG LargestWrite;   // longest bulk OUT transfer
  ULONG ReportedMaximumTransferSize;  // what SELECT_CONFIGURATION answered
  ULONG ClientMaximumTransferSize;    // what the client asked for there
  // IOCTL_VBUS_SEND.
  ULONG Sequences;        // sequences finished
  LONG SequenceStatus;    // the last one's first failed request's status, or 0
  ULONG SequenceRequest;  // the request being sent: major * 0x100 + minor + 1, or 0
  ULONG SequenceAnswered; // requests of the last sequence that have come back
  ULONG DevicePower;      // the splicer's device power state: 1 D0 ... 4 D3
  ULONG QueryStops, QueryRemoves, CancelRemoves;  // requests that reached the splicer
  ULONG SystemPowerIrps;  // system set-power requests that reached the splicer
  ULONG DeviceSleeps, DeviceWakes;  // device set-power requests (D3, D0) that reached it
  // Device set-power requests the bus sent itself, in place of the ones the
  // function driver asks for with PoRequestPowerIrp (Wine 8 has none).
  ULONG DeviceIrpsFromBus;
  ULONG PoweredOffUrbs;   // URBs that arrived while the splicer was not in D0
  ULONG ReadsAtSleep;     // bulk IN transfers still waiting when it left D0
} VBUS_STATUS;
