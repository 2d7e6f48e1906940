#include "Scenarios.h"

#include "Portline.h"

using namespace kmodel;

namespace scenarios {

std::vector<UCHAR> Bytes(std::size_t n, UCHAR first) {
  std::vector<UCHAR> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

namespace {

// One read the device answers with `sent` bytes, and one write.
void ReadAndWrite(Harness& h, Handle file, std::size_t sent, const char* when) {
  Request read = h.BeginRead(file, 4096);
  h.Bus().SendFromDevice(Bytes(sent, 3));
  h.Expect(h.Wait(read), STATUS_SUCCESS, when);
  h.Expect(read->data == Bytes(sent, 3), "the read returns the bytes the device sent");
  ULONG_PTR written = 0;
  h.Expect(h.Write(file, Bytes(20, 9), &written), STATUS_SUCCESS, when);
  h.Expect(written == 20, "the write reports 20 bytes");
}

void PlugInUseAndUnplug(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  for (ULONG size : {0u, 10u, 64u, 4096u}) {
    Request read = h.BeginRead(file, size);
    if (size != 0) h.Bus().SendFromDevice(Bytes(std::min<ULONG>(size, 64), 1));
    h.Expect(h.Wait(read), STATUS_SUCCESS, "read");
    h.Expect(read->data.size() == std::min<ULONG>(size, 64), "a read moves at most 64 bytes");
    ULONG_PTR written = 0;
    h.Expect(h.Write(file, Bytes(size, 5), &written), STATUS_SUCCESS, "write");
    h.Expect(written == std::min<ULONG>(size, 64), "a write sends at most 64 bytes");
  }
  std::vector<UCHAR> out;
  ULONG_PTR info = 0;
  h.Expect(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 64, &out, &info), STATUS_SUCCESS,
           "descriptor query");
  h.Expect(out == StandardConfigDescriptor(), "the descriptor comes back whole");
  h.Expect(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, &out, &info), STATUS_SUCCESS, "speed query");
  h.Expect(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, &out, &info), STATUS_SUCCESS, "reset");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
}

void StopAndStartAgain(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  ReadAndWrite(h, file, 12, "before the stop");
  h.Expect(h.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS, "query stop");
  h.Expect(h.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS, "stop");
  h.Expect(h.Start(), STATUS_SUCCESS, "second start");
  h.Expect(h.Bus().DescriptorReadLengths().size() == 4, "the second start reads the descriptor again");
  h.Expect(h.Bus().SelectCount() == 2, "the second start selects the configuration again");
  ReadAndWrite(h, file, 30, "after the second start");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void SurpriseRemovalWithReadsPending(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  std::vector<Request> reads;
  for (int i = 0; i < 3; ++i) reads.push_back(h.BeginRead(file, 64));
  DrainDeferred();  // the reads are waiting in the bus
  h.Expect(h.SurpriseRemove(), STATUS_SUCCESS, "surprise removal");
  for (auto& read : reads) h.Expect(h.Wait(read), STATUS_NO_SUCH_DEVICE, "a read pending at unplug");
  bool enabled = false;
  for (auto& i : Interfaces()) enabled = enabled || i.enabled;
  h.Expect(enabled, "the interface stays enabled until the removal");
  ULONG_PTR written = 0;
  h.Expect(h.Write(file, Bytes(4), &written), STATUS_NO_SUCH_DEVICE, "a write after unplug");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
}

void RemovalWithReadsPending(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle a, b;
  h.Expect(h.Open(&a), STATUS_SUCCESS, "open");
  h.Expect(h.Open(&b), STATUS_SUCCESS, "open");
  std::vector<Request> reads = {h.BeginRead(a, 64), h.BeginRead(b, 10), h.BeginRead(a, 4096)};
  DrainDeferred();  // the reads are waiting in the bus
  h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
  for (auto& read : reads) h.Expect(h.Wait(read), STATUS_NO_SUCH_DEVICE, "a read pending at removal");
}

void PowerCycle(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  ReadAndWrite(h, file, 8, "before sleep");
  h.Expect(h.QueryPower(SystemPowerState, POWER_STATE{.SystemState = PowerSystemSleeping3}),
           STATUS_SUCCESS, "query S3");
  h.Expect(h.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS, "S3");
  h.Expect(h.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS, "S0");
  h.Expect(h.Bus().PowerSequence() == std::vector<std::string>{"D3", "S3", "D0", "S0"},
           "S3 asks for D3 and S0 for D0, each finished before the system request goes down");
  ReadAndWrite(h, file, 40, "after wake");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void HaltAndResetTwice(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  Request read = h.BeginRead(file, 64);
  h.Bus().Halt(true);
  h.Expect(h.Wait(read), STATUS_UNSUCCESSFUL, "a read on a stalled endpoint");
  h.Expect(read->information == 0, "a halted read reports 0 bytes");
  h.Expect(h.Extension() && h.Extension()->HaltedPipe == &h.Extension()->BulkInPipe,
           "the halted pipe is recorded");
  std::vector<UCHAR> out;
  ULONG_PTR info = 0;
  h.Expect(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, &out, &info), STATUS_SUCCESS, "first reset");
  h.Expect(!h.Bus().Halted(true) && h.Bus().ResetCount() == 1, "the first reset clears the stall");
  h.Expect(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, &out, &info), STATUS_SUCCESS, "second reset");
  h.Expect(h.Bus().ResetCount() == 1, "the second reset finds no halted pipe and sends nothing");
  // A read that could not be sent never saw the stall, so nothing knew to
  // reset it: the endpoint is still stalled and further reads fail.
  if (!(InjectedFailureHappened() && h.Bus().Halted(true))) {
    ReadAndWrite(h, file, 16, "after the reset");
  }
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void DisableAndEnableRepeated(Harness& h) {
  for (int round = 0; round < 3; ++round) {
    h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
    Handle file;
    h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
    ReadAndWrite(h, file, 5, "while enabled");
    h.Expect(h.Close(file), STATUS_SUCCESS, "close");
    h.Expect(h.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS, "query remove");
    h.Expect(h.Remove(), STATUS_SUCCESS, "removal");
  }
}

void QueryRemoveThenCancel(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  h.Expect(h.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS, "query remove");
  h.Expect(h.Pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS, "cancel remove");
  ReadAndWrite(h, file, 7, "after the cancelled removal");
  h.Expect(h.Close(file), STATUS_SUCCESS, "close");
}

void ReadsCancelledWhenTheProcessEnds(Harness& h) {
  h.Expect(h.Arrive(), STATUS_SUCCESS, "arrival");
  Handle file;
  h.Expect(h.Open(&file), STATUS_SUCCESS, "open");
  std::vector<Request> reads = {h.BeginRead(file, 64), h.BeginRead(file, 64)};
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
      {"HaltAndResetTwice", HaltAndResetTwice},
      {"DisableAndEnableRepeated", DisableAndEnableRepeated},
      {"QueryRemoveThenCancel", QueryRemoveThenCancel},
      {"ReadsCancelledWhenTheProcessEnds", ReadsCancelledWhenTheProcessEnds},
  };
  return all;
}

}  // namespace scenarios
