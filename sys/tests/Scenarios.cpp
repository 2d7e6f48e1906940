#include "Scenarios.h"

#include <algorithm>

#include "Portline.h"

using namespace kmodel;

namespace scenarios {

std::vector<UCHAR> Bytes(std::size_t n, UCHAR first) {
  std::vector<UCHAR> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

namespace {

// Add, capabilities and start, as when the splicer is plugged in. True when
// the start went on without the bus interface, its query's IRP having failed.
bool Arrive(Harness& h) {
  h.Step("add device", STATUS_SUCCESS, [&h] { return h.AddDevice(); });
  h.Expect(h.QueryCapabilities(), STATUS_SUCCESS, "capabilities");
  return h.Step("start", STATUS_SUCCESS, [&h] { return h.Start(); }) &&
         h.InjectedFailureStatus() == STATUS_SUCCESS;
}

// A read of `length` bytes that the device answers with `bytes` once it waits.
void ReadExpecting(Harness& h, Handle file, ULONG length, const std::vector<UCHAR>& bytes, const char* what) {
  Request read = h.BeginStep(what, [&] { return h.BeginRead(file, length); });
  if (!bytes.empty()) h.Bus().SendFromDevice(bytes);
  h.Expect(h.Wait(read), STATUS_SUCCESS, what);
  h.Expect(read->data == bytes, "a read returns the bytes the device sent");
}

void WriteExpecting(Harness& h, Handle file, const std::vector<UCHAR>& bytes, NTSTATUS expected,
                    ULONG_PTR sent, const char* what) {
  ULONG_PTR written = 0;
  h.Step(what, expected, [&] { return h.Write(file, bytes, &written); });
  h.Expect(written == sent, "a write reports the bytes sent");
}

// One read the device answers with `sent` bytes, and one write.
void ReadAndWrite(Harness& h, Handle file, std::size_t sent, const char* when) {
  ReadExpecting(h, file, 4096, Bytes(sent, 3), when);
  WriteExpecting(h, file, Bytes(20, 9), STATUS_SUCCESS, 20, when);
}

Request PendingRead(Harness& h, Handle file, ULONG length) {
  return h.BeginStep("a read left pending", [&] { return h.BeginRead(file, length); });
}

NTSTATUS ResetPipe(Harness& h) { return h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr); }

void PlugInUseAndUnplug(Harness& h) {
  const bool withoutBusInterface = Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  for (ULONG size : {0u, 10u, 64u, 4096u}) {
    const ULONG moved = std::min<ULONG>(size, 64);
    ReadExpecting(h, file, size, Bytes(moved, 1), "a read moves at most 64 bytes");
    WriteExpecting(h, file, Bytes(size, 5), STATUS_SUCCESS, moved, "a write sends at most 64 bytes");
  }
  std::vector<UCHAR> out;
  ULONG_PTR info = 0;
  h.Expect(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 64, &out, &info), STATUS_SUCCESS,
           "descriptor query");
  h.Expect(out == StandardConfigDescriptor(), "the descriptor comes back whole");
  h.Expect(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, &out, &info),
           withoutBusInterface ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS, "speed query");
  h.Expect(ResetPipe(h), STATUS_SUCCESS, "reset");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
}

void StopAndStartAgain(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  ReadAndWrite(h, file, 12, "before the stop");
  // The library always keeps a read waiting; it waits across the stop.
  Request held = PendingRead(h, file, 64);
  DrainDeferred();
  h.Expect(h.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS, "query stop");
  h.Expect(h.Bus().PendingTransfers() == 0, "nothing waits in the bus after a query-stop");
  h.Expect(h.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS, "stop");
  Handle late;
  h.Expect(h.Open(&late), STATUS_DEVICE_NOT_READY, "an open while stopped");
  h.Expect(h.Read(file, 64, nullptr), STATUS_DEVICE_NOT_READY, "a read while stopped");
  h.Expect(h.Write(file, Bytes(4), nullptr), STATUS_DEVICE_NOT_READY, "a write while stopped");
  h.Expect(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 64, nullptr, nullptr), STATUS_DEVICE_NOT_READY,
           "a control request while stopped");
  const std::size_t reads = h.Bus().DescriptorReadLengths().size();
  const int selects = h.Bus().SelectCount();
  h.Step("second start", STATUS_SUCCESS, [&h] { return h.Start(); });
  const std::vector<ULONG> lengths = h.Bus().DescriptorReadLengths();
  h.Expect(lengths.size() >= reads + 2 && lengths[lengths.size() - 2] == 9 && lengths.back() == 32,
           "the second start reads the descriptor again");
  h.Expect(h.Bus().SelectCount() > selects, "the second start selects the configuration again");
  h.Bus().SendFromDevice(Bytes(9, 40));
  h.Expect(h.Wait(held), STATUS_SUCCESS, "the read held across the stop");
  h.Expect(held->data == Bytes(9, 40), "the held read returns the bytes sent after the start");
  ReadAndWrite(h, file, 30, "after the second start");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void SurpriseRemovalWithReadsPending(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  std::vector<Request> reads;
  for (int i = 0; i < 3; ++i) reads.push_back(PendingRead(h, file, 64));
  DrainDeferred();  // the reads are waiting in the bus
  h.Expect(h.SurpriseRemove(), STATUS_SUCCESS, "surprise removal");
  for (auto& read : reads) h.Expect(h.Wait(read), STATUS_NO_SUCH_DEVICE, "a read pending at unplug");
  Handle late;
  h.Expect(h.Open(&late), STATUS_NO_SUCH_DEVICE, "an open after unplug");
  WriteExpecting(h, file, Bytes(4), STATUS_NO_SUCH_DEVICE, 0, "a write after unplug");
  h.Expect(h.Read(file, 64, nullptr), STATUS_NO_SUCH_DEVICE, "a read after unplug");
  h.Expect(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 64, nullptr, nullptr), STATUS_NO_SUCH_DEVICE,
           "a control request after unplug");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
}

void RemovalWithReadsPending(Harness& h) {
  Arrive(h);
  Handle a, b;
  h.Expect(h.Open(&a), STATUS_SUCCESS, "open");
  h.Expect(h.Open(&b), STATUS_SUCCESS, "open");
  std::vector<Request> reads = {PendingRead(h, a, 64), PendingRead(h, b, 10), PendingRead(h, a, 4096)};
  DrainDeferred();  // the reads are waiting in the bus
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
  for (auto& read : reads) h.Expect(h.Wait(read), STATUS_NO_SUCH_DEVICE, "a read pending at removal");
}

void PowerCycle(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  ReadAndWrite(h, file, 8, "before sleep");
  h.Expect(h.QueryPower(SystemPowerState, POWER_STATE{.SystemState = PowerSystemSleeping3}), STATUS_SUCCESS,
           "query S3");
  // A system request whose device request cannot be made goes down alone.
  const bool sleptAlone =
      h.Step("S3", STATUS_SUCCESS, [&h] { return h.SetSystemPower(PowerSystemSleeping3); });
  // A wake request that cannot be made for S0 is made once more on its own.
  h.Step("S0", STATUS_SUCCESS, [&h] { return h.SetSystemPower(PowerSystemWorking); });
  DrainDeferred();
  std::vector<std::string> sequence = {"S3"};
  if (!sleptAlone) sequence.push_back("D3");
  sequence.push_back("S0");
  sequence.push_back("D0");
  h.Expect(h.Bus().PowerSequence() == sequence,
           "S3 asks for D3 and S0 for D0, each on the system request's way back up");
  ReadAndWrite(h, file, 40, "after wake");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

// Sleep and hibernate with the library's read waiting, and a write made
// while the device sleeps: both go to the device once it is awake again.
void SleepAndHibernateWithAReadPending(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  UCHAR first = 0;
  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemHibernate}) {
    Request read = PendingRead(h, file, 64);
    DrainDeferred();
    h.Step("sleep", STATUS_SUCCESS, [&h, state] { return h.SetSystemPower(state); });
    Request write = h.BeginStep("a write while asleep", [&] { return h.BeginWrite(file, Bytes(6, first)); });
    h.Step("wake", STATUS_SUCCESS, [&h] { return h.SetSystemPower(PowerSystemWorking); });
    h.Expect(h.Wait(write), STATUS_SUCCESS, "a write made while asleep");
    const auto received = h.Bus().ReceivedByDevice();
    h.Expect(!received.empty() && received.back() == Bytes(6, first),
             "the device gets the write after waking");
    h.Bus().SendFromDevice(Bytes(11, first));
    h.Expect(h.Wait(read), STATUS_SUCCESS, "a read pending across sleep");
    h.Expect(read->data == Bytes(11, first), "the read returns what the device sent after waking");
    first += 20;
  }
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

// A device disabled in Device Manager with a read waiting, then enabled.
void DisableWithAReadPendingAndEnable(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  Request read = PendingRead(h, file, 64);
  DrainDeferred();
  h.Expect(h.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS, "query remove");
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
  h.Expect(h.Wait(read), STATUS_NO_SUCH_DEVICE, "a read pending at the disable");
  Arrive(h);
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open after the enable");
  ReadAndWrite(h, file, 3, "after the enable");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void HaltAndResetTwice(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  Request read = PendingRead(h, file, 64);
  h.Bus().Halt(true);
  h.Expect(h.Wait(read), STATUS_UNSUCCESSFUL, "a read on a stalled endpoint");
  h.Expect(read->information == 0, "a halted read reports 0 bytes");
  h.Expect(h.Extension() && h.Extension()->HaltedPipe == &h.Extension()->BulkInPipe,
           "the halted pipe is recorded");
  h.Step("first reset", STATUS_SUCCESS, [&h] { return ResetPipe(h); });
  h.Expect(!h.Bus().Halted(true) && h.Bus().ResetCount() == 1, "the first reset clears the stall");
  h.Expect(ResetPipe(h), STATUS_SUCCESS, "second reset");
  h.Expect(h.Bus().ResetCount() == 1, "the second reset finds no halted pipe and sends nothing");
  ReadAndWrite(h, file, 16, "after the reset");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void DisableAndEnableRepeated(Harness& h) {
  for (int round = 0; round < 3; ++round) {
    Arrive(h);
    Handle file;
    h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
    ReadAndWrite(h, file, 5, "while enabled");
    h.Expect(h.Close(file), STATUS_SUCCESS, "close");
    h.Expect(h.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS, "query remove");
    h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
  }
}

void QueryRemoveThenCancel(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  h.Expect(h.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS, "query remove");
  Handle refused;
  h.Expect(h.Open(&refused), STATUS_DELETE_PENDING, "an open while the removal is queried");
  ReadAndWrite(h, file, 4, "a handle open before the query");
  h.Expect(h.Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS, "cancel remove");
  ReadAndWrite(h, file, 7, "after the cancelled removal");
  Handle reopened;
  h.Expect(h.Open(&reopened), STATUS_SUCCESS, "an open after the cancelled removal");
  h.Expect(h.Close(reopened), STATUS_SUCCESS, "close the new handle");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void ReadsCancelledWhenTheProcessEnds(Harness& h) {
  Arrive(h);
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  std::vector<Request> reads = {PendingRead(h, file, 64), PendingRead(h, file, 64)};
  h.Bus().CancelPendingTransfers();
  for (auto& read : reads) h.Expect(h.Wait(read), STATUS_CANCELLED, "a cancelled read");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

}  // namespace

const std::vector<Named>& All() {
  static const std::vector<Named> all = {
      {"PlugInUseAndUnplug", PlugInUseAndUnplug},
      {"StopAndStartAgain", StopAndStartAgain},
      {"SurpriseRemovalWithReadsPending", SurpriseRemovalWithReadsPending},
      {"RemovalWithReadsPending", RemovalWithReadsPending},
      {"PowerCycle", PowerCycle},
      {"SleepAndHibernateWithAReadPending", SleepAndHibernateWithAReadPending},
      {"DisableWithAReadPendingAndEnable", DisableWithAReadPendingAndEnable},
      {"HaltAndResetTwice", HaltAndResetTwice},
      {"DisableAndEnableRepeated", DisableAndEnableRepeated},
      {"QueryRemoveThenCancel", QueryRemoveThenCancel},
      {"ReadsCancelledWhenTheProcessEnds", ReadsCancelledWhenTheProcessEnds},
  };
  return all;
}

}  // namespace scenarios
