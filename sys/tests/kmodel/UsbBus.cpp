// The simulated USB bus driver.
#include "UsbBus.h"

#include <algorithm>
#include <cstring>

namespace kmodel {
namespace {

UsbBus* g_current = nullptr;

USBD_PIPE_HANDLE HandleFor(UCHAR address) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(0x5000 + address));
}

PUCHAR MdlAddress(PMDL mdl) { return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset; }

}  // namespace

std::vector<UCHAR> StandardConfigDescriptor() {
  return {0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration
          0x09, 0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00,  // interface 0, class 0
          0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,              // bulk IN 0x81
          0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00};             // bulk OUT 0x02
}

UsbBus* UsbBus::Current() { return g_current; }

UsbBus::UsbBus(PDRIVER_OBJECT busDriver, BusConfig config) : config_(std::move(config)) {
  busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  busDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  busDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  for (int major :
       {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}) {
    busDriver->MajorFunction[major] = DispatchOther;
  }
  busDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  pdo_ = CreatePhysicalDevice(busDriver);
  g_current = this;
}

UsbBus::~UsbBus() {
  if (g_current == this) g_current = nullptr;
}

// ---- Completion --------------------------------------------------------------------
void UsbBus::CompleteNow(PIRP irp) {
  AtDispatchLevel dispatch;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS UsbBus::Answer(PIRP irp, std::function<void(PIRP)> work) {
  if (config_.completion == Completion::Synchronous) {
    work(irp);
    const NTSTATUS status = irp->IoStatus.Status;
    CompleteNow(irp);
    return status;
  }
  IoMarkIrpPending(irp);
  GuardIrp(irp, true);
  QueueDeferred([this, irp, work] {
    GuardIrp(irp, false);
    work(irp);
    CompleteNow(irp);
  });
  return STATUS_PENDING;
}

bool UsbBus::TakeFailure(BusRequest request, Failure* failure) {
  std::lock_guard lock(mu_);
  auto it = failures_.find(request);
  if (it == failures_.end()) return false;
  *failure = it->second;
  failures_.erase(it);
  return true;
}

// ---- URBs --------------------------------------------------------------------------
NTSTATUS NTAPI UsbBus::DispatchInternal(PDEVICE_OBJECT, PIRP irp) {
  UsbBus* bus = g_current;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    Violation("bus driver received internal control code 0x%08lX",
              static_cast<unsigned long>(stack->Parameters.DeviceIoControl.IoControlCode));
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    bus->CompleteNow(irp);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) {
    Violation("URB request without a URB");
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    bus->CompleteNow(irp);
    return STATUS_INVALID_PARAMETER;
  }
  const bool bulk = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  {
    std::lock_guard lock(bus->mu_);
    if (bus->devicePowerState_ != PowerDeviceD0) {
      Violation("URB function 0x%04X sent to a device in D%d", urb->UrbHeader.Function,
                bus->devicePowerState_ - 1);
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      if (bulk) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
      irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
      bus->CompleteNow(irp);
      return STATUS_DEVICE_NOT_READY;
    }
    if (!bulk && bus->holdNextControl_) {
      // The device NAKs it: it waits in the bus until it is cancelled.
      bus->holdNextControl_ = false;
      bus->heldControl_ = irp;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelHeldControl);
      return STATUS_PENDING;
    }
  }
  if (!bulk) {
    return bus->Answer(irp, [bus, urb](PIRP i) { bus->HandleUrb(i, urb); });
  }
  // A bulk IN transfer with no data waits in the bus until the device sends.
  if (bus->config_.completion == Completion::Synchronous) {
    if (bus->HandleBulk(irp, urb)) return STATUS_PENDING;
    const NTSTATUS status = irp->IoStatus.Status;
    bus->CompleteNow(irp);
    return status;
  }
  IoMarkIrpPending(irp);
  GuardIrp(irp, true);
  QueueDeferred([bus, irp, urb] {
    GuardIrp(irp, false);
    if (!bus->HandleBulk(irp, urb)) bus->CompleteNow(irp);
  });
  return STATUS_PENDING;
}

void UsbBus::HandleUrb(PIRP irp, PURB urb) {
  bool gone;
  {
    std::lock_guard lock(mu_);
    gone = unplugged_ || removed_;
  }
  if (gone) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    return;
  }
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      HandleDescriptor(irp, urb);
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      HandleSelect(irp, urb);
      break;
    case URB_FUNCTION_RESET_PIPE:
      HandleReset(irp, urb);
      break;
    case URB_FUNCTION_ABORT_PIPE:
      HandleAbort(irp, urb);
      break;
    default:
      Violation("bus driver received URB function 0x%04X", urb->UrbHeader.Function);
      urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
  }
}

void UsbBus::HandleDescriptor(PIRP irp, PURB urb) {
  if (config_.onRequest) config_.onRequest(BusRequest::GetDescriptor);
  auto& request = urb->UrbControlDescriptorRequest;
  if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
    Violation("descriptor URB with header length %u", urb->UrbHeader.Length);
  }
  if (request.DescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || request.Index != 0) {
    Violation("descriptor read of type %u index %u", request.DescriptorType, request.Index);
  }
  std::vector<UCHAR> answer;
  {
    std::lock_guard lock(mu_);
    descriptorReads_.push_back(request.TransferBufferLength);
    const std::size_t index = descriptorReads_.size() - 1;
    answer = config_.descriptorReads.empty()
                 ? config_.configDescriptor
                 : config_.descriptorReads[std::min(index, config_.descriptorReads.size() - 1)];
    lastDescriptor_ = answer;
  }
  Failure failure;
  if (TakeFailure(BusRequest::GetDescriptor, &failure)) {
    urb->UrbHeader.Status = failure.usbd;
    request.TransferBufferLength = 0;
    irp->IoStatus.Status = failure.status;
    return;
  }
  const ULONG n = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(answer.size()));
  std::memcpy(request.TransferBuffer, answer.data(), n);
  request.TransferBufferLength = n;
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
}

void UsbBus::HandleSelect(PIRP irp, PURB urb) {
  if (config_.onRequest) config_.onRequest(BusRequest::SelectConfiguration);
  std::lock_guard lock(mu_);
  ++selects_;
  if (!pendingIn_.empty()) {
    // A hub does not configure a device under transfers it still holds.
    Violation("select-configuration while %zu transfers are pending in the bus", pendingIn_.size());
    urb->UrbHeader.Status = USBD_STATUS_ERROR_BUSY;
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    return;
  }
  Failure failure;
  if (TakeFailure(BusRequest::SelectConfiguration, &failure)) {
    urb->UrbHeader.Status = failure.usbd;
    irp->IoStatus.Status = failure.status;
    return;
  }
  // The device configures itself as its last descriptor answer described.
  const std::vector<UCHAR>& d = lastDescriptor_;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  // Find the interface the URB asks for in the device's own descriptor.
  std::size_t offset = d.size() >= 9 ? d[0] : d.size();
  while (offset + 1 < d.size() && d[offset] >= 2) {
    if (d[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && offset + 9 <= d.size() &&
        d[offset + 2] == info->InterfaceNumber && d[offset + 3] == info->AlternateSetting) {
      break;
    }
    offset += d[offset];
  }
  if (offset + 9 > d.size() || d[offset] < 2) {
    urb->UrbHeader.Status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    return;
  }
  info->Class = d[offset + 5];
  info->SubClass = d[offset + 6];
  info->Protocol = d[offset + 7];
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<ULONG_PTR>(0x4000));
  ULONG pipe = 0;
  selectedSizes_.clear();
  pipes_.clear();
  for (offset += d[offset]; offset + 7 <= d.size() && d[offset] >= 2 && pipe < info->NumberOfPipes;
       offset += d[offset]) {
    if (d[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d[offset + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
    USBD_PIPE_INFORMATION& p = info->Pipes[pipe++];
    p.EndpointAddress = d[offset + 2];
    p.PipeType = static_cast<USBD_PIPE_TYPE>(d[offset + 3] & 3);
    p.MaximumPacketSize = static_cast<USHORT>(d[offset + 4] | (d[offset + 5] << 8));
    p.Interval = d[offset + 6];
    p.PipeHandle = HandleFor(p.EndpointAddress);
    selectedSizes_.push_back(p.MaximumTransferSize);
    // As real stacks have done since Windows XP, the bus ignores the size the
    // client asked for and reports its own.
    p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    pipes_[p.PipeHandle] = {p.EndpointAddress, p.PipeType, p.MaximumPacketSize};
  }
  if (pipe != info->NumberOfPipes) {
    urb->UrbHeader.Status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    return;
  }
  urb->UrbSelectConfiguration.ConfigurationHandle =
      reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<ULONG_PTR>(0x3000));
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
}

void UsbBus::HandleReset(PIRP irp, PURB urb) {
  std::lock_guard lock(mu_);
  ++resets_;
  if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
    Violation("reset URB with header length %u", urb->UrbHeader.Length);
  }
  Failure failure;
  if (TakeFailure(BusRequest::ResetPipe, &failure)) {
    urb->UrbHeader.Status = failure.usbd;
    irp->IoStatus.Status = failure.status;
    return;
  }
  auto it = pipes_.find(urb->UrbPipeRequest.PipeHandle);
  if (it == pipes_.end()) {
    Violation("reset of an unknown pipe handle %p", urb->UrbPipeRequest.PipeHandle);
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return;
  }
  (it->second.address & 0x80 ? haltedIn_ : haltedOut_) = false;
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
}

void UsbBus::HandleAbort(PIRP irp, PURB urb) {
  if (config_.onRequest) config_.onRequest(BusRequest::AbortPipe);
  std::vector<PIRP> aborted;
  {
    std::lock_guard lock(mu_);
    ++aborts_;
    if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
      Violation("abort URB with header length %u", urb->UrbHeader.Length);
    }
    auto it = pipes_.find(urb->UrbPipeRequest.PipeHandle);
    if (it == pipes_.end()) {
      Violation("abort of an unknown pipe handle %p", urb->UrbPipeRequest.PipeHandle);
      urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      return;
    }
    if (it->second.address & 0x80) {
      for (auto& pending : pendingIn_) aborted.push_back(pending.irp);
      pendingIn_.clear();
    }
  }
  EndTransfers(aborted, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
}

VOID NTAPI UsbBus::CancelHeldControl(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbBus* bus = g_current;
  {
    std::lock_guard lock(bus->mu_);
    bus->heldControl_ = nullptr;
    ++bus->cancelledControl_;
  }
  auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  urb->UrbHeader.Status = USBD_STATUS_CANCELED;
  irp->IoStatus.Status = STATUS_CANCELLED;
  bus->CompleteNow(irp);
}

void UsbBus::HoldNextControlTransfer() {
  std::lock_guard lock(mu_);
  holdNextControl_ = true;
}

bool UsbBus::HandleBulk(PIRP irp, PURB urb) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  if (config_.onRequest && (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0)
    config_.onRequest(BusRequest::BulkIn);
  std::unique_lock lock(mu_);
  if (urb->UrbHeader.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
    Violation("bulk URB with header length %u", urb->UrbHeader.Length);
  }
  if (unplugged_ || removed_) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    transfer.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    return false;
  }
  auto pipe = pipes_.find(transfer.PipeHandle);
  if (pipe == pipes_.end()) {
    Violation("bulk transfer on pipe handle %p, which no configuration selected", transfer.PipeHandle);
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return false;
  }
  const bool in = (pipe->second.address & 0x80) != 0;
  if (((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in) {
    Violation("bulk transfer flags 0x%lX do not match the pipe's direction",
              static_cast<unsigned long>(transfer.TransferFlags));
  }
  if (transfer.TransferBufferMDL == nullptr ||
      MmGetMdlByteCount(transfer.TransferBufferMDL) < transfer.TransferBufferLength) {
    Violation("bulk transfer without an MDL large enough for it");
  }
  (in ? inLengths_ : outLengths_).push_back(transfer.TransferBufferLength);

  Failure failure;
  const BusRequest kind = in ? BusRequest::BulkIn : BusRequest::BulkOut;
  if (unplugged_) {
    failure = {STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE};
  } else if ((in ? haltedIn_ : haltedOut_)) {
    failure = {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
  } else if (!TakeFailure(kind, &failure)) {
    failure = {STATUS_SUCCESS, USBD_STATUS_SUCCESS};
  }
  if (!NT_SUCCESS(failure.status)) {
    urb->UrbHeader.Status = failure.usbd;
    transfer.TransferBufferLength = 0;
    irp->IoStatus.Status = failure.status;
    return false;
  }
  if (!in) {
    PUCHAR source = MdlAddress(transfer.TransferBufferMDL);
    outData_.emplace_back(source, source + transfer.TransferBufferLength);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return false;
  }
  PendingIn pending{irp, urb, 0};
  if (MoveIn(pending)) return false;
  IoMarkIrpPending(irp);
  pendingIn_.push_back(pending);
  GuardIrp(irp, true);
  return true;
}

// The maximum packet size of the selected IN endpoint. Called with mu_ held.
USHORT UsbBus::InPacketSize() {
  for (auto& [handle, pipe] : pipes_) {
    if ((pipe.address & 0x80) && pipe.type == UsbdPipeTypeBulk && pipe.maximumPacketSize != 0) {
      return pipe.maximumPacketSize;
    }
  }
  return 64;
}

// Moves the device's packets into an IN transfer, whole, until a short
// packet or a full buffer ends it. A packet that does not fit in the room
// left is babble: it is lost, the transfer ends in error with the bytes it
// had, and the endpoint halts. Called with mu_ held and the IRP unguarded.
bool UsbBus::MoveIn(PendingIn& pending) {
  auto& transfer = pending.urb->UrbBulkOrInterruptTransfer;
  const ULONG length = transfer.TransferBufferLength;
  const USHORT packetSize = InPacketSize();
  auto finish = [&](NTSTATUS status, USBD_STATUS usbd) {
    transfer.TransferBufferLength = pending.filled;
    pending.urb->UrbHeader.Status = usbd;
    pending.irp->IoStatus.Status = status;
    return true;
  };
  while (!inPackets_.empty()) {
    std::vector<UCHAR> packet = std::move(inPackets_.front());
    inPackets_.pop_front();
    if (packet.size() > length - pending.filled) {
      haltedIn_ = true;
      return finish(STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED);
    }
    std::memcpy(MdlAddress(transfer.TransferBufferMDL) + pending.filled, packet.data(), packet.size());
    pending.filled += static_cast<ULONG>(packet.size());
    if (packet.size() < packetSize || pending.filled == length) {
      return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
  }
  return false;
}

// ---- The scripted device -----------------------------------------------------------
void UsbBus::InOrder(std::function<void()> action) {
  if (config_.completion == Completion::Synchronous) {
    action();
  } else {
    QueueDeferred(std::move(action));
  }
}

void UsbBus::SendFromDevice(std::vector<UCHAR> bytes) {
  InOrder([this, bytes] {
    std::vector<PIRP> done;
    std::vector<PIRP> stalled;
    {
      std::lock_guard lock(mu_);
      const USHORT packetSize = InPacketSize();
      for (std::size_t at = 0; at < bytes.size(); at += packetSize) {
        const std::size_t n = std::min<std::size_t>(packetSize, bytes.size() - at);
        inPackets_.emplace_back(bytes.begin() + at, bytes.begin() + at + n);
      }
      while (!pendingIn_.empty() && !inPackets_.empty()) {
        PendingIn& pending = pendingIn_.front();
        GuardIrp(pending.irp, false);
        if (!MoveIn(pending)) {
          GuardIrp(pending.irp, true);
          break;
        }
        done.push_back(pending.irp);
        pendingIn_.pop_front();
      }
      if (haltedIn_) {  // babble halted the endpoint: the transfers behind it end too
        stalled = TakePendingTransfers();
      }
    }
    for (PIRP irp : done) CompleteNow(irp);
    EndTransfers(stalled, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  });
}

std::vector<std::vector<UCHAR>> UsbBus::ReceivedByDevice() {
  std::lock_guard lock(mu_);
  return outData_;
}

std::vector<PIRP> UsbBus::TakePendingTransfers() {
  std::lock_guard lock(mu_);
  std::vector<PIRP> irps;
  for (auto& pending : pendingIn_) irps.push_back(pending.irp);
  pendingIn_.clear();
  return irps;
}

void UsbBus::EndTransfers(const std::vector<PIRP>& irps, NTSTATUS status, USBD_STATUS usbd, bool cancelled) {
  for (PIRP irp : irps) {
    GuardIrp(irp, false);
    auto urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = usbd;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    if (cancelled) irp->Cancel = TRUE;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    CompleteNow(irp);
  }
}

void UsbBus::Halt(bool in) {
  InOrder([this, in] {
    std::vector<PIRP> stalled;
    {
      std::lock_guard lock(mu_);
      (in ? haltedIn_ : haltedOut_) = true;
      if (in) stalled = TakePendingTransfers();
    }
    EndTransfers(stalled, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  });
}

bool UsbBus::Halted(bool in) {
  DrainDeferred();  // the device's state after every action already asked of it
  std::lock_guard lock(mu_);
  return in ? haltedIn_ : haltedOut_;
}

void UsbBus::FailNext(BusRequest request, NTSTATUS status, USBD_STATUS usbdStatus) {
  std::lock_guard lock(mu_);
  failures_[request] = {status, usbdStatus};
}

void UsbBus::Unplug() {
  InOrder([this] {
    {
      std::lock_guard lock(mu_);
      unplugged_ = true;
    }
    EndTransfers(TakePendingTransfers(), STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  });
}

void UsbBus::CancelPendingTransfers() {
  InOrder([this] { EndTransfers(TakePendingTransfers(), STATUS_CANCELLED, USBD_STATUS_CANCELED, true); });
}

// ---- PnP and power -----------------------------------------------------------------
NTSTATUS NTAPI UsbBus::DispatchPnp(PDEVICE_OBJECT, PIRP irp) {
  UsbBus* bus = g_current;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
    Violation(
        "PnP IRP (minor 0x%02X) reached the bus with status 0x%08lX instead of "
        "STATUS_NOT_SUPPORTED",
        stack->MinorFunction, static_cast<unsigned long>(irp->IoStatus.Status));
  }
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
    std::vector<PIRP> transfers = bus->TakePendingTransfers();
    {
      std::lock_guard lock(bus->mu_);
      if (minor == IRP_MN_SURPRISE_REMOVAL) {
        bus->unplugged_ = true;  // the device is gone
      } else {
        bus->removed_ = true;  // its configuration ends with the device object
        // A vanished device's PDO, and with it every interface it handed
        // out, may be deleted from here on.
        for (Grant& grant : bus->grants_) grant.ended = true;
      }
    }
    // Ended late, the transfers find the driver either waiting for them or,
    // if it did not wait, its device already gone.
    PDEVICE_OBJECT above = bus->pdo_->AttachedDevice;
    const bool late =
        bus->config_.removalOvertakesTransfers && minor == IRP_MN_REMOVE_DEVICE && !transfers.empty();
    auto end = [bus, transfers, late, above] {
      if (late) WaitUntilDriverWaitsOrDeletes(above);
      bus->EndTransfers(transfers, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    };
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (bus->config_.completion == Completion::Synchronous) {
      end();
      bus->CompleteNow(irp);
      return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    GuardIrp(irp, true);
    auto complete = [bus, irp] {
      GuardIrp(irp, false);
      bus->CompleteNow(irp);
    };
    if (bus->config_.removalOvertakesTransfers) {
      QueueDeferred(complete);
      QueueDeferred(end);
    } else {
      QueueDeferred(end);
      QueueDeferred(complete);
    }
    return STATUS_PENDING;
  }
  return bus->Answer(irp, [bus](PIRP i) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(i);
    Failure failure;
    switch (s->MinorFunction) {
      case IRP_MN_START_DEVICE: {
        std::lock_guard lock(bus->mu_);
        bus->removed_ = false;
      }
        i->IoStatus.Status =
            bus->TakeFailure(BusRequest::Start, &failure) ? failure.status : bus->config_.startStatus;
        break;
      case IRP_MN_QUERY_CAPABILITIES: {
        if (bus->TakeFailure(BusRequest::Capabilities, &failure)) {
          i->IoStatus.Status = failure.status;
          break;
        }
        PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1) {
          Violation("capabilities query with a record of size %u version %u", caps->Size, caps->Version);
        }
        std::memcpy(caps->DeviceState, bus->config_.deviceStates, sizeof(caps->DeviceState));
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        i->IoStatus.Status = STATUS_SUCCESS;
        break;
      }
      case IRP_MN_QUERY_INTERFACE:
        bus->HandleQueryInterface(i, s);
        break;
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        i->IoStatus.Status = STATUS_SUCCESS;
        break;
      default:
        break;  // not handled: the status stays as it came
    }
  });
}

void UsbBus::HandleQueryInterface(PIRP irp, PIO_STACK_LOCATION stack) {
  if (config_.onRequest) config_.onRequest(BusRequest::QueryInterface);
  std::lock_guard lock(mu_);
  ++queries_;
  auto& query = stack->Parameters.QueryInterface;
  if (!IsEqualGUID(*query.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID) || !config_.offersBusInterface) {
    return;
  }
  Failure failure;
  if (TakeFailure(BusRequest::QueryInterface, &failure)) {
    irp->IoStatus.Status = failure.status;
    return;
  }
  if (query.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || query.Version != USB_BUSIF_USBDI_VERSION_1) {
    Violation("bus interface query of size %u version %u", query.Size, query.Version);
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return;
  }
  auto* busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
  std::memset(busInterface, 0, sizeof(*busInterface));
  busInterface->Size = sizeof(*busInterface);
  busInterface->Version = USB_BUSIF_USBDI_VERSION_1;
  grants_.push_back({this, 1, false});
  busInterface->BusContext = &grants_.back();
  busInterface->InterfaceReference = InterfaceReference;
  busInterface->InterfaceDereference = InterfaceDereference;
  busInterface->IsDeviceHighSpeed = config_.busInterfaceLacksHighSpeed ? nullptr : IsDeviceHighSpeed;
  ++references_;
  irp->IoStatus.Status = STATUS_SUCCESS;
}

UsbBus::Grant* UsbBus::GrantFor(PVOID context, const char* function) {
  auto* grant = static_cast<Grant*>(context);
  std::lock_guard lock(grant->bus->mu_);
  if (grant->ended) {
    Violation("bus interface %s called after the removal reached the bus", function);
  } else if (grant->references <= 0) {
    Violation("bus interface %s called after its last reference was given back", function);
  }
  return grant;
}

VOID NTAPI UsbBus::InterfaceReference(PVOID context) {
  Grant* grant = GrantFor(context, "InterfaceReference");
  std::lock_guard lock(grant->bus->mu_);
  ++grant->references;
  ++grant->bus->references_;
}

VOID NTAPI UsbBus::InterfaceDereference(PVOID context) {
  Grant* grant = GrantFor(context, "InterfaceDereference");
  std::lock_guard lock(grant->bus->mu_);
  --grant->references;
  if (--grant->bus->references_ < 0) Violation("bus interface dereferenced more often than referenced");
}

BOOLEAN NTAPI UsbBus::IsDeviceHighSpeed(PVOID context) {
  Grant* grant = GrantFor(context, "IsDeviceHighSpeed");
  UsbBus* bus = grant->bus;
  auto live = [grant] {
    std::lock_guard lock(grant->bus->mu_);
    return !grant->ended && grant->references > 0;
  };
  const bool liveAtEntry = live();
  if (bus->config_.onRequest) bus->config_.onRequest(BusRequest::IsDeviceHighSpeed);
  if (liveAtEntry && !live()) {
    Violation("bus interface released while IsDeviceHighSpeed ran through it");
  }
  return bus->config_.highSpeed ? TRUE : FALSE;
}

NTSTATUS NTAPI UsbBus::DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  UsbBus* bus = g_current;
  if (!RemoveLockHeldFor(irp)) {
    Violation("power IRP %p reached the bus while the function driver held no remove lock for it", irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    std::lock_guard lock(bus->mu_);
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (state > PowerDeviceD0 && !bus->pendingIn_.empty()) {
      Violation("the device went to D%d with %zu transfers pending in the bus", state - 1,
                bus->pendingIn_.size());
    }
    // The port is suspended at once; it is powered again when the request is done.
    if (state > PowerDeviceD0) bus->devicePowerState_ = state;
  }
  return bus->Answer(irp, [bus](PIRP i) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(i);
    if (s->MinorFunction == IRP_MN_SET_POWER) {
      std::lock_guard lock(bus->mu_);
      if (s->Parameters.Power.Type == DevicePowerState) {
        if (s->Parameters.Power.State.DeviceState == PowerDeviceD0) bus->devicePowerState_ = PowerDeviceD0;
        bus->devicePower_.push_back(s->Parameters.Power.State.DeviceState);
        bus->powerSequence_.push_back("D" + std::to_string(s->Parameters.Power.State.DeviceState - 1));
      } else {
        bus->systemPower_.push_back(s->Parameters.Power.State.SystemState);
        bus->powerSequence_.push_back("S" + std::to_string(s->Parameters.Power.State.SystemState - 1));
      }
    }
    i->IoStatus.Status = STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI UsbBus::DispatchOther(PDEVICE_OBJECT, PIRP irp) {
  Violation("bus driver received major function 0x%02X, which the function driver must not pass down",
            IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  g_current->CompleteNow(irp);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// WMI: the bus's PDO is the provider of its own WMI blocks; a request for
// another provider is not its to answer and goes back as it came.
NTSTATUS NTAPI UsbBus::DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  UsbBus* bus = g_current;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.WMI.ProviderId == reinterpret_cast<ULONG_PTR>(device)) {
    std::lock_guard lock(bus->mu_);
    ++bus->wmiAnswered_;
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  bus->CompleteNow(irp);
  return status;
}

// ---- Observations ------------------------------------------------------------------
std::vector<ULONG> UsbBus::DescriptorReadLengths() {
  std::lock_guard l(mu_);
  return descriptorReads_;
}
std::vector<ULONG> UsbBus::TransferLengths(bool in) {
  std::lock_guard l(mu_);
  return in ? inLengths_ : outLengths_;
}
std::vector<ULONG> UsbBus::SelectedMaximumTransferSizes() {
  std::lock_guard l(mu_);
  return selectedSizes_;
}
int UsbBus::SelectCount() {
  std::lock_guard l(mu_);
  return selects_;
}
int UsbBus::ResetCount() {
  std::lock_guard l(mu_);
  return resets_;
}
int UsbBus::QueryInterfaceCount() {
  std::lock_guard l(mu_);
  return queries_;
}
int UsbBus::BusInterfaceReferences() {
  std::lock_guard l(mu_);
  return references_;
}
std::size_t UsbBus::PendingTransfers() {
  std::lock_guard l(mu_);
  return pendingIn_.size();
}
std::vector<DEVICE_POWER_STATE> UsbBus::DevicePowerRequests() {
  std::lock_guard l(mu_);
  return devicePower_;
}
std::vector<SYSTEM_POWER_STATE> UsbBus::SystemPowerRequests() {
  std::lock_guard l(mu_);
  return systemPower_;
}
std::vector<std::string> UsbBus::PowerSequence() {
  std::lock_guard l(mu_);
  return powerSequence_;
}
bool UsbBus::Unplugged() {
  std::lock_guard l(mu_);
  return unplugged_;
}
int UsbBus::CancelledControlTransfers() {
  std::lock_guard l(mu_);
  return cancelledControl_;
}
int UsbBus::AbortCount() {
  std::lock_guard l(mu_);
  return aborts_;
}
int UsbBus::WmiRequestsAnswered() {
  std::lock_guard l(mu_);
  return wmiAnswered_;
}
DEVICE_POWER_STATE UsbBus::DevicePower() {
  std::lock_guard l(mu_);
  return devicePowerState_;
}

}  // namespace kmodel
