// The simulated USB bus driver: the physical device object below the driver,
// with a scripted device behind it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Kernel.h"

namespace kmodel {

enum class Completion {
  Synchronous,  // completed inside the dispatch routine, at DISPATCH_LEVEL
  Pended,       // pended, then completed later on another thread at DISPATCH_LEVEL
};

// Requests the bus can be told to fail.
enum class BusRequest {
  GetDescriptor,
  SelectConfiguration,
  BulkIn,
  BulkOut,
  ResetPipe,
  QueryInterface,
  Start,
  Capabilities,
  IsDeviceHighSpeed,  // a call through the bus interface
  AbortPipe,
};

// A configuration descriptor with one interface of class 0 and a bulk IN
// (0x81) and bulk OUT (0x02) endpoint of 64-byte packets.
std::vector<UCHAR> StandardConfigDescriptor();

struct BusConfig {
  std::vector<UCHAR> configDescriptor = StandardConfigDescriptor();
  // When not empty, descriptor read i returns descriptorReads[min(i, n-1)]
  // instead (a device that changes its answer between reads).
  std::vector<std::vector<UCHAR>> descriptorReads;
  Completion completion = Completion::Synchronous;
  bool highSpeed = false;
  bool offersBusInterface = true;
  bool busInterfaceLacksHighSpeed = false;
  NTSTATUS startStatus = STATUS_SUCCESS;
  // Device state per system state, as the capabilities report it.
  DEVICE_POWER_STATE deviceStates[POWER_SYSTEM_MAXIMUM] = {
      PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
      PowerDeviceD3,          PowerDeviceD3, PowerDeviceD3};
  // Pended completion at removal: complete the removal itself before the
  // transfers it ends (true), or the transfers first (false).
  bool removalOvertakesTransfers = false;
  // Runs as the bus takes each descriptor read, select-configuration, bus
  // interface query, IsDeviceHighSpeed call, pipe abort and bulk IN transfer,
  // before it answers or queues it: a test puts other requests in the middle
  // of a start, a power change or a call with it.
  std::function<void(BusRequest)> onRequest;
};

class UsbBus {
 public:
  UsbBus(PDRIVER_OBJECT busDriver, BusConfig config);
  ~UsbBus();
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  const BusConfig& Config() const { return config_; }

  // ---- The scripted device ----
  // Bytes the device sends, in packets of the IN endpoint's maximum packet
  // size; the pending reads, oldest first, take them now. A transfer ends
  // with a short packet or a full buffer; a packet larger than the room
  // left in the buffer ends it with babble and halts the endpoint. A packet
  // is never split between transfers.
  void SendFromDevice(std::vector<UCHAR> bytes);
  std::vector<std::vector<UCHAR>> ReceivedByDevice();
  // The endpoint stalls: a pending or the next transfer reports it halted.
  void Halt(bool in);
  bool Halted(bool in);
  void FailNext(BusRequest request, NTSTATUS status, USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS);
  void Unplug();
  // The device NAKs the next control transfer for ever: its URB stays in the
  // bus until the request is cancelled.
  void HoldNextControlTransfer();
  // The I/O manager cancels the transfers waiting in the bus.
  void CancelPendingTransfers();

  // ---- Observations ----
  std::vector<ULONG> DescriptorReadLengths();
  std::vector<ULONG> TransferLengths(bool in);
  std::vector<ULONG> SelectedMaximumTransferSizes();
  int SelectCount();
  int ResetCount();
  int QueryInterfaceCount();
  int BusInterfaceReferences();
  std::size_t PendingTransfers();
  std::vector<DEVICE_POWER_STATE> DevicePowerRequests();
  std::vector<SYSTEM_POWER_STATE> SystemPowerRequests();
  // Every set-power request in the order it reached the bus: "D3", "S3", ...
  std::vector<std::string> PowerSequence();
  bool Unplugged();
  int CancelledControlTransfers();
  int AbortCount();
  // WMI requests that reached the provider they named (this bus's PDO).
  int WmiRequestsAnswered();
  DEVICE_POWER_STATE DevicePower();

  static UsbBus* Current();

 private:
  struct Failure {
    NTSTATUS status;
    USBD_STATUS usbd;
  };
  struct Pipe {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT maximumPacketSize;
  };
  // One bus interface handed out by a query: its functions' bus context. It
  // ends when the removal reaches the bus, which may then delete the PDO it
  // belongs to; a call through it afterwards is a verifier failure.
  struct Grant {
    UsbBus* bus;
    int references;
    bool ended;
  };
  // The grant behind a bus context, checked as `function` is called through it.
  static Grant* GrantFor(PVOID context, const char* function);

  // An IN transfer waiting in the bus, with the bytes it has taken so far.
  struct PendingIn {
    PIRP irp;
    PURB urb;
    ULONG filled;
  };

  static NTSTATUS NTAPI DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI CancelHeldControl(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI InterfaceReference(PVOID context);
  static VOID NTAPI InterfaceDereference(PVOID context);
  static BOOLEAN NTAPI IsDeviceHighSpeed(PVOID context);

  // Finishes the request now or later, per the completion mode. `work`
  // fills in the IRP's status; it runs with the IRP in the bus's hands.
  NTSTATUS Answer(PIRP irp, std::function<void(PIRP)> work);
  void CompleteNow(PIRP irp);
  bool TakeFailure(BusRequest request, Failure* failure);

  void HandleUrb(PIRP irp, PURB urb);
  void HandleDescriptor(PIRP irp, PURB urb);
  void HandleSelect(PIRP irp, PURB urb);
  // Returns true when the transfer was kept pending in the bus.
  bool HandleBulk(PIRP irp, PURB urb);
  void HandleReset(PIRP irp, PURB urb);
  void HandleAbort(PIRP irp, PURB urb);
  void HandleQueryInterface(PIRP irp, PIO_STACK_LOCATION stack);
  // Runs a device action now (synchronous mode) or queued behind the work
  // already pending (pended mode), so that actions keep their order.
  void InOrder(std::function<void()> action);
  // Ends every transfer waiting in the bus with the given statuses.
  std::vector<PIRP> TakePendingTransfers();
  // `cancelled`: the I/O manager cancelled them (Irp->Cancel is set).
  void EndTransfers(const std::vector<PIRP>& irps, NTSTATUS status, USBD_STATUS usbd, bool cancelled = false);
  // Moves whole packets into an IN transfer; true when the transfer is done.
  bool MoveIn(PendingIn& transfer);
  USHORT InPacketSize();

  PDEVICE_OBJECT pdo_;
  BusConfig config_;
  std::recursive_mutex mu_;
  std::deque<std::vector<UCHAR>> inPackets_;  // what the device has sent, packet by packet
  std::vector<std::vector<UCHAR>> outData_;
  std::deque<PendingIn> pendingIn_;
  std::map<USBD_PIPE_HANDLE, Pipe> pipes_;
  std::map<BusRequest, Failure> failures_;
  std::deque<Grant> grants_;  // a deque: the contexts handed out stay where they are
  bool haltedIn_ = false;
  bool haltedOut_ = false;
  bool unplugged_ = false;
  bool removed_ = false;  // removal reached the bus; a new start ends it
  bool holdNextControl_ = false;
  PIRP heldControl_ = nullptr;
  int cancelledControl_ = 0;
  int aborts_ = 0;
  int wmiAnswered_ = 0;
  DEVICE_POWER_STATE devicePowerState_ = PowerDeviceD0;
  std::vector<ULONG> descriptorReads_;
  std::vector<UCHAR> lastDescriptor_;
  std::vector<ULONG> inLengths_;
  std::vector<ULONG> outLengths_;
  std::vector<ULONG> selectedSizes_;
  int selects_ = 0;
  int resets_ = 0;
  int queries_ = 0;
  int references_ = 0;
  std::vector<DEVICE_POWER_STATE> devicePower_;
  std::vector<SYSTEM_POWER_STATE> systemPower_;
  std::vector<std::string> powerSequence_;
};

}  // namespace kmodel
