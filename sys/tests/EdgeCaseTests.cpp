// Edge cases of start, the control requests, power and removal, malformed
// descriptors from the device, and hostile or concurrent use.
#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CaseName.h"
#include "Portline.h"
#include "Scenarios.h"

using namespace kmodel;
using scenarios::Bytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Descriptor = std::vector<UCHAR>;

Descriptor Interface(UCHAR number, UCHAR cls, UCHAR endpoints) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, cls, 0, 0, 0};
}

Descriptor Endpoint(UCHAR address, UCHAR type) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, 64, 0, 0};
}

// A configuration descriptor with its header's wTotalLength made to match.
Descriptor Configuration(std::initializer_list<Descriptor> parts, int interfaces = 1) {
  Descriptor d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<UCHAR>(interfaces), 1, 0, 0x80, 50};
  for (const auto& part : parts) d.insert(d.end(), part.begin(), part.end());
  d[2] = static_cast<UCHAR>(d.size());
  d[3] = static_cast<UCHAR>(d.size() >> 8);
  return d;
}

constexpr UCHAR kBulk = 2;
constexpr UCHAR kInterrupt = 3;

}  // namespace

// ---- Start ------------------------------------------------------------------------------

TEST(Start, SelectsTheFirstInterfaceOfClassZeroEvenWhenAnotherComesFirst) {
  BusConfig config;
  config.configDescriptor =
      Configuration({Interface(0, 0xFF, 2), Endpoint(0x81, kBulk), Endpoint(0x01, kBulk), Interface(1, 0, 2),
                     Endpoint(0x82, kBulk), Endpoint(0x03, kBulk)},
                    2);
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->BulkInPipe.EndpointAddress, 0x82);
  EXPECT_EQ(h.Extension()->BulkOutPipe.EndpointAddress, 0x03);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, RecordsOnlyTheBulkPipesOfAnInterfaceWithAnInterruptPipe) {
  BusConfig config;
  config.configDescriptor = Configuration(
      {Interface(0, 0, 3), Endpoint(0x83, kInterrupt), Endpoint(0x81, kBulk), Endpoint(0x02, kBulk)});
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->BulkInPipe.EndpointAddress, 0x81);
  EXPECT_EQ(h.Extension()->BulkOutPipe.EndpointAddress, 0x02);
  EXPECT_THAT(h.Bus().SelectedMaximumTransferSizes(), ElementsAre(64u, 64u, 64u));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, WithoutWdm132NoInterfaceIsAskedForAndTheSpeedQueryIsRefused) {
  Harness h;
  SetWdm132Available(false);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Bus().QueryInterfaceCount(), 0);
  EXPECT_FALSE(h.Extension()->BusInterfaceAvailable);
  ULONG_PTR info = 0;
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, nullptr, &info), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, AnInterfaceWithoutIsDeviceHighSpeedIsGivenBackAtOnce) {
  BusConfig config;
  config.busInterfaceLacksHighSpeed = true;
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_FALSE(h.Extension()->BusInterfaceAvailable);
  EXPECT_EQ(h.Bus().BusInterfaceReferences(), 0);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, ALowerSuccessOtherThanZeroIsPassedOnWithoutReadingAnyDescriptor) {
  BusConfig config;
  config.startStatus = STATUS_WAIT_1;
  Harness h(config);
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(h.Start(), STATUS_WAIT_1);
  EXPECT_TRUE(h.Bus().DescriptorReadLengths().empty());
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, UntilAStartSucceedsCreatesReadsWritesAndControlsAreRefusedAsNotReady) {
  Harness h;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  Handle early;
  EXPECT_EQ(h.Open(&early), STATUS_DEVICE_NOT_READY);
  h.Bus().FailNext(BusRequest::Start, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(h.Start(), STATUS_IO_DEVICE_ERROR);
  EXPECT_TRUE(h.Bus().DescriptorReadLengths().empty());
  Handle file;
  EXPECT_EQ(h.Open(&file), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(h.Read(file, 64, nullptr), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(h.Write(file, Bytes(8), nullptr), STATUS_DEVICE_NOT_READY);
  ULONG_PTR info = 1;
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 4096, nullptr, &info), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(info, 0u);
  EXPECT_TRUE(h.Bus().TransferLengths(true).empty());
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  h.Bus().SendFromDevice(Bytes(3));
  std::vector<UCHAR> got;
  EXPECT_EQ(h.Read(file, 64, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, Bytes(3));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Start, ARestartReleasesTheEarlierDescriptorCopyAndReference) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  // One descriptor copy and one interface reference, whatever the number of starts.
  EXPECT_EQ(h.Bus().BusInterfaceReferences(), 1);
  std::size_t descriptorBlocks = 0;
  for (const PoolBlock& b : OutstandingPool()) descriptorBlocks += b.size == 33 ? 1 : 0;
  EXPECT_EQ(descriptorBlocks, 1u);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

// ---- Restart: the new state is published whole, and I/O waits for it ----------------------

namespace {

struct Restart {
  const char* name;
  bool throughStop;   // query-stop and stop first, as a rebalance does
  BusRequest during;  // the request of the new start that the controls arrive in
};

const Restart kRestarts[] = {
    {"after a stop, during the interface query", true, BusRequest::QueryInterface},
    {"after a stop, during select configuration", true, BusRequest::SelectConfiguration},
    {"without a stop, during the interface query", false, BusRequest::QueryInterface},
    {"without a stop, during select configuration", false, BusRequest::SelectConfiguration},
};

class DuringARestart : public ::testing::TestWithParam<Restart> {};

}  // namespace

TEST_P(DuringARestart, ControlRequestsSeeTheEarlierStateWholeOrAreRefused) {
  const Descriptor earlier = StandardConfigDescriptor();
  const Descriptor later = Configuration(
      {Interface(0, 0, 3), Endpoint(0x83, kInterrupt), Endpoint(0x81, kBulk), Endpoint(0x02, kBulk)});
  using Answer = std::pair<NTSTATUS, std::vector<UCHAR>>;
  std::vector<Answer> answers;
  bool armed = false;
  Harness* harness = nullptr;
  BusConfig config;
  config.highSpeed = true;
  config.descriptorReads = {earlier, earlier, later};
  config.onRequest = [&](BusRequest request) {
    if (!armed || request != GetParam().during) return;
    armed = false;
    // Another program's requests, while the start waits for the bus.
    std::thread([&] {
      for (ULONG code : {IOCTL_PORTLINE_IS_HIGH_SPEED, IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR}) {
        std::vector<UCHAR> out;
        const NTSTATUS status = harness->Control(code, 4096, &out, nullptr);
        answers.emplace_back(status, out);
      }
    }).join();
  };
  Harness h(config);
  harness = &h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  if (GetParam().throughStop) {
    ASSERT_EQ(h.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(h.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  }
  armed = true;
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  if (GetParam().throughStop) {
    EXPECT_THAT(answers,
                ElementsAre(Answer{STATUS_DEVICE_NOT_READY, {}}, Answer{STATUS_DEVICE_NOT_READY, {}}));
  } else {
    EXPECT_THAT(answers, ElementsAre(Answer{STATUS_SUCCESS, {1, 0, 0, 0}}, Answer{STATUS_SUCCESS, earlier}));
  }
  std::vector<UCHAR> out;
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 4096, &out, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(out, later);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, &out, nullptr), STATUS_SUCCESS);
  EXPECT_THAT(out, ElementsAre(1, 0, 0, 0));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Restart, DuringARestart, ::testing::ValuesIn(kRestarts), CaseName());

TEST(AddDevice, AFailedInterfaceRegistrationLeavesNoDeviceObject) {
  AllocationSite registration{};
  {
    Harness h;
    RecordAllocationSites();
    ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
    h.Finish();
    for (const RecordedSite& s : RecordedAllocationSites()) {
      if (s.site.kind == AllocationKind::RegisterInterface) registration = s.site;
    }
  }
  ASSERT_EQ(registration.kind, AllocationKind::RegisterInterface);
  Harness h;
  FailAllocationSiteOnce(registration);
  EXPECT_EQ(h.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

// ---- Malformed descriptors ------------------------------------------------------------------

namespace {

struct Malformed {
  const char* name;
  std::vector<Descriptor> reads;  // what the device answers, read by read
  NTSTATUS status;
};

Descriptor Truncate(Descriptor d, std::size_t n) {
  d.resize(n);
  return d;
}

Descriptor WithTotal(Descriptor d, USHORT total) {
  d[2] = static_cast<UCHAR>(total);
  d[3] = static_cast<UCHAR>(total >> 8);
  return d;
}

const Descriptor kGood = StandardConfigDescriptor();

const Malformed kMalformed[] = {
    {"wTotalLength below nine", {WithTotal(kGood, 5)}, STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a descriptor of nine bytes without an interface",
     {Configuration({})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a second read shorter than wTotalLength", {WithTotal(kGood, 40)}, STATUS_DEVICE_DATA_ERROR},
    {"a probe shorter than nine bytes", {Truncate(kGood, 4)}, STATUS_DEVICE_DATA_ERROR},
    {"a descriptor of length zero",
     {Configuration({Interface(0, 0, 2), Descriptor{0, 0x21}, Endpoint(0x81, kBulk), Endpoint(0x02, kBulk)})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"an endpoint running past the end",
     {WithTotal(Truncate(kGood, 29), 29)},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"no interface of class zero",
     {Configuration({Interface(0, 0xFF, 2), Endpoint(0x81, kBulk), Endpoint(0x02, kBulk)})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"no bulk OUT pipe",
     {Configuration({Interface(0, 0, 2), Endpoint(0x81, kBulk), Endpoint(0x02, kInterrupt)})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"more endpoints announced than present",
     {Configuration({Interface(0, 0, 3), Endpoint(0x81, kBulk), Endpoint(0x02, kBulk)})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a second read announcing another length",
     {kGood, WithTotal(kGood, 200)},
     STATUS_DEVICE_CONFIGURATION_ERROR},
    {"a truncated interface descriptor",
     {Configuration({Descriptor{5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2}, Endpoint(0x81, kBulk),
                     Endpoint(0x02, kBulk)})},
     STATUS_DEVICE_CONFIGURATION_ERROR},
};

class MalformedDescriptor : public ::testing::TestWithParam<Malformed> {};

}  // namespace

TEST_P(MalformedDescriptor, FailsTheStartWithAClearStatusAndNeverReachesTheParser) {
  BusConfig config;
  config.descriptorReads = GetParam().reads;
  Harness h(config);
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(h.Start(), GetParam().status);
  EXPECT_EQ(h.Bus().SelectCount(), 0);
  Handle file;
  EXPECT_EQ(h.Open(&file), STATUS_DEVICE_NOT_READY);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(FromTheDevice, MalformedDescriptor, ::testing::ValuesIn(kMalformed), CaseName());

TEST(MalformedDescriptorAtRestart, KeepsTheEarlierConfigurationWorking) {
  BusConfig config;
  config.descriptorReads = {kGood, kGood, Configuration({})};
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Start(), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(h.Extension()->ConfigDescriptorLength, 32u);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  h.Bus().SendFromDevice(Bytes(5));
  std::vector<UCHAR> got;
  EXPECT_EQ(h.Read(file, 64, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, Bytes(5));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(DescriptorRead, ANineByteDescriptorIsReadTwiceNineBytesEachTime) {
  BusConfig config;
  config.configDescriptor = Configuration({});
  Harness h(config);
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  h.Start();
  EXPECT_THAT(h.Bus().DescriptorReadLengths(), ElementsAre(9u, 9u));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

// ---- Control requests -----------------------------------------------------------------------

TEST(Create, WithoutAFileObjectIsRefused) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.OpenWithoutFileObject(), STATUS_INVALID_PARAMETER);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(ControlRequests, ShortExactAndLargeOutputBuffers) {
  struct Case {
    ULONG code;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR info;
  };
  const Case cases[] = {
      {IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 31, STATUS_BUFFER_TOO_SMALL, 0},
      {IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 32, STATUS_SUCCESS, 32},
      {IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR, 4096, STATUS_SUCCESS, 32},
      {IOCTL_PORTLINE_IS_HIGH_SPEED, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {IOCTL_PORTLINE_IS_HIGH_SPEED, 3, STATUS_BUFFER_TOO_SMALL, 0},
      {IOCTL_PORTLINE_IS_HIGH_SPEED, 4, STATUS_SUCCESS, 4},
      {IOCTL_PORTLINE_IS_HIGH_SPEED, 4096, STATUS_SUCCESS, 4},
      {IOCTL_PORTLINE_RESET_PIPE, 0, STATUS_SUCCESS, 0},
      {IOCTL_PORTLINE_RESET_PIPE, 4096, STATUS_SUCCESS, 0},
  };
  for (bool highSpeed : {false, true}) {
    BusConfig config;
    config.highSpeed = highSpeed;
    Harness h(config);
    ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
    for (const Case& c : cases) {
      std::vector<UCHAR> out;
      ULONG_PTR info = 99;
      EXPECT_EQ(h.Control(c.code, c.length, &out, &info), c.status) << std::hex << c.code << " " << c.length;
      EXPECT_EQ(info, c.info) << std::hex << c.code << " " << c.length;
      if (c.code == IOCTL_PORTLINE_IS_HIGH_SPEED && c.status == STATUS_SUCCESS) {
        EXPECT_THAT(out, ElementsAre(highSpeed ? 1 : 0, 0, 0, 0));
      }
      if (c.code == IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR && c.status == STATUS_SUCCESS) {
        EXPECT_EQ(out, kGood);
      }
    }
    EXPECT_THAT(h.Finish(), IsEmpty());
  }
}

TEST(ControlRequests, NoStatusEverReportsMoreBytesThanTheOutputBufferHolds) {
  Harness h;
  SetWdm132Available(false);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  for (ULONG code :
       std::initializer_list<ULONG>{IOCTL_PORTLINE_IS_HIGH_SPEED, IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR,
                                    IOCTL_PORTLINE_RESET_PIPE, 0x12345678u}) {
    for (ULONG length : {0u, 3u}) {
      ULONG_PTR info = 99;
      h.Control(code, length, nullptr, &info);
      EXPECT_LE(info, length) << std::hex << code;
    }
  }
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(ControlRequests, AControlTransferTheDeviceNeverAnswersTimesOutAndIsCancelled) {
  for (Completion completion : {Completion::Synchronous, Completion::Pended}) {
    BusConfig config;
    config.completion = completion;
    Harness h(config);
    ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
    Handle file;
    ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
    h.Bus().Halt(false);
    EXPECT_EQ(h.Write(file, Bytes(8), nullptr), STATUS_UNSUCCESSFUL);
    h.Bus().HoldNextControlTransfer();
    EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_IO_TIMEOUT);
    EXPECT_EQ(h.Bus().CancelledControlTransfers(), 1);
    EXPECT_EQ(h.Extension()->HaltedPipe, &h.Extension()->BulkOutPipe);
    EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_THAT(h.Finish(), IsEmpty());
  }
}

TEST(Start, ADescriptorReadTheDeviceNeverAnswersFailsTheStartWithATimeOut) {
  Harness h;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  ASSERT_EQ(h.QueryCapabilities(), STATUS_SUCCESS);
  h.Bus().HoldNextControlTransfer();
  EXPECT_EQ(h.Start(), STATUS_IO_TIMEOUT);
  EXPECT_EQ(h.Bus().CancelledControlTransfers(), 1);
  EXPECT_EQ(h.Start(), STATUS_SUCCESS);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(ControlRequests, AnyOtherCodeIsRefusedWhateverItsBuffers) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  for (ULONG code : {0x0u, 0x222004u, 0x222010u, 0x220003u, 0x22200Fu, 0x12345678u, 0xFFFFFFFFu}) {
    for (ULONG length : {0u, 4u, 4096u}) {
      EXPECT_EQ(h.Control(code, length, nullptr, nullptr), STATUS_INVALID_PARAMETER) << std::hex << code;
    }
  }
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(ControlRequests, AFailedResetReportsTheUsbdStatusAndKeepsThePipeRecorded) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  h.Bus().Halt(false);
  EXPECT_EQ(h.Write(file, Bytes(8), nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.Extension()->HaltedPipe, &h.Extension()->BulkOutPipe);
  // A USBD status is no NTSTATUS: 0xC0000005 would reach user mode as an
  // access violation.
  h.Bus().FailNext(BusRequest::ResetPipe, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(h.Extension()->HaltedPipe, &h.Extension()->BulkOutPipe);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Extension()->HaltedPipe, nullptr);
  EXPECT_EQ(h.Write(file, Bytes(8), nullptr), STATUS_SUCCESS);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(ControlRequests, WhenBothPipesHaltOnlyTheLaterIsRecordedAndReset) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  h.Bus().Halt(true);
  h.Bus().Halt(false);
  EXPECT_EQ(h.Read(file, 64, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.Write(file, Bytes(8), nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.Extension()->HaltedPipe, &h.Extension()->BulkOutPipe);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_FALSE(h.Bus().Halted(false));
  EXPECT_TRUE(h.Bus().Halted(true));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Reads, ABufferShorterThanThePacketEndsInBabbleAndReadsGoOnAfterTheReset) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  h.Bus().SendFromDevice(Bytes(64));
  std::vector<UCHAR> got{1};
  EXPECT_EQ(h.Read(file, 10, &got), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(h.Extension()->HaltedPipe, &h.Extension()->BulkInPipe);
  h.Bus().SendFromDevice(Bytes(5, 9));
  EXPECT_EQ(h.Read(file, 64, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_RESET_PIPE, 0, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Read(file, 64, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, Bytes(5, 9));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

// ---- Power ----------------------------------------------------------------------------------

TEST(Power, ASleepStateRequestsWhateverTheCapabilitiesMapItTo) {
  BusConfig config;
  config.deviceStates[PowerSystemSleeping3] = PowerDeviceD2;
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_THAT(h.Bus().DevicePowerRequests(), ElementsAre(PowerDeviceD2));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Power, WithoutCapabilitiesTheWorkingStateAsksD0AndEverySleepStateD3) {
  Harness h;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  h.Bus().FailNext(BusRequest::Capabilities, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(h.QueryCapabilities(), STATUS_IO_DEVICE_ERROR);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  EXPECT_EQ(h.SetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
  EXPECT_EQ(h.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_THAT(h.Bus().DevicePowerRequests(), ElementsAre(PowerDeviceD3, PowerDeviceD0));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Power, ASystemRequestGoesDownFirstAndIsDoneOnlyAfterItsDeviceRequest) {
  for (Completion completion : {Completion::Synchronous, Completion::Pended}) {
    BusConfig config;
    config.completion = completion;
    Harness h(config);
    ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
    EXPECT_EQ(h.SetSystemPower(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(h.Bus().DevicePower(), PowerDeviceD3);
    EXPECT_EQ(h.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(h.Bus().DevicePower(), PowerDeviceD0);
    EXPECT_THAT(h.Bus().PowerSequence(), ElementsAre("S4", "D3", "S0", "D0"));
    EXPECT_THAT(h.Finish(), IsEmpty());
  }
}

TEST(Power, AReadCancelledWhileTheDeviceSleepsEndsCancelledAndNothingIsSentForIt) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  Request read = h.BeginRead(file, 64);
  ASSERT_EQ(h.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(read->done);
  EXPECT_EQ(h.Bus().PendingTransfers(), 0u);
  h.Cancel(read);
  EXPECT_EQ(h.Wait(read), STATUS_CANCELLED);
  ASSERT_EQ(h.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(h.Bus().PendingTransfers(), 0u);
  EXPECT_THAT(h.Bus().TransferLengths(true), ElementsAre(64u));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Power, ReadsHeldWhileTheDeviceSleepsGoBackToTheBusInTheOrderTheyWereIssued) {
  Harness* harness = nullptr;
  Handle file = nullptr;
  std::vector<Request> reads;
  bool waking = false;
  BusConfig config;
  // The library keeps issuing reads: one while the power-down's pipe abort is
  // under way, and one while the held reads are being sent again at D0.
  config.onRequest = [&](BusRequest request) {
    const bool duringAbort = request == BusRequest::AbortPipe && reads.size() == 2;
    const bool duringResend = request == BusRequest::BulkIn && waking && reads.size() == 3;
    if (!duringAbort && !duringResend) return;
    std::thread([&] { reads.push_back(harness->BeginRead(file, 64)); }).join();
  };
  Harness h(config);
  harness = &h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  reads.push_back(h.BeginRead(file, 64));
  reads.push_back(h.BeginRead(file, 64));
  ASSERT_EQ(h.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(h.Bus().PendingTransfers(), 0u);
  waking = true;
  ASSERT_EQ(h.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(h.Bus().PendingTransfers(), 4u);
  for (UCHAR packet = 0; packet < 4; ++packet) h.Bus().SendFromDevice(Bytes(packet + 1u, packet));
  for (UCHAR i = 0; i < 4; ++i) {
    EXPECT_EQ(h.Wait(reads[i]), STATUS_SUCCESS);
    EXPECT_EQ(reads[i]->data, Bytes(i + 1u, i)) << "read " << int{i} << " took another read's packet";
  }
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Power, QueryAndDeviceRequestsArePassedDownUnchanged) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.QueryPower(SystemPowerState, POWER_STATE{.SystemState = PowerSystemHibernate}), STATUS_SUCCESS);
  EXPECT_EQ(h.QueryPower(DevicePowerState, POWER_STATE{.DeviceState = PowerDeviceD3}), STATUS_SUCCESS);
  EXPECT_EQ(h.SetDevicePower(PowerDeviceD1), STATUS_SUCCESS);
  EXPECT_THAT(h.Bus().PowerSequence(), ElementsAre("D1"));
  EXPECT_THAT(h.Finish(), IsEmpty());
}

// ---- Removal and hostile use ----------------------------------------------------------------

TEST(Removal, RequestsArrivingWhileItWaitsAreRefusedWithDeletePending) {
  BusConfig config;
  config.completion = Completion::Pended;
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  Request read = h.BeginRead(file, 64);
  DrainDeferred();
  // Hold the bus's other context so that the removal cannot finish yet.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  QueueDeferred([opened] { opened.wait(); });
  std::thread removal([&h] { h.Remove(); });
  while (!(static_cast<PDEVICE_EXTENSION>(h.Device()->DeviceExtension)->RemovePending)) {
    std::this_thread::yield();
  }
  Handle late;
  EXPECT_EQ(h.Open(&late), STATUS_DELETE_PENDING);
  EXPECT_EQ(h.Read(file, 64, nullptr), STATUS_DELETE_PENDING);
  EXPECT_EQ(h.Write(file, Bytes(3), nullptr), STATUS_DELETE_PENDING);
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, nullptr, nullptr), STATUS_DELETE_PENDING);
  EXPECT_EQ(h.Close(file), STATUS_SUCCESS);
  gate.set_value();
  removal.join();
  EXPECT_EQ(h.Wait(read), STATUS_NO_SUCH_DEVICE);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(Removal, WaitsForASpeedQueryInsideTheBusInterfaceBeforeReleasingIt) {
  Harness* harness = nullptr;
  std::thread removal;
  BusConfig config;
  config.highSpeed = true;
  config.onRequest = [&](BusRequest request) {
    if (request != BusRequest::IsDeviceHighSpeed || removal.joinable()) return;
    // The removal arrives while the query is inside the bus interface and
    // goes as far as it can before the query returns.
    removal = std::thread([&] { harness->Remove(); });
    WaitUntilAThreadWaits();
  };
  Harness h(config);
  harness = &h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  std::vector<UCHAR> out;
  EXPECT_EQ(h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4, &out, nullptr), STATUS_SUCCESS);
  EXPECT_THAT(out, ElementsAre(1, 0, 0, 0));
  ASSERT_TRUE(removal.joinable());
  removal.join();
  EXPECT_EQ(h.Bus().BusInterfaceReferences(), 0);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(HostileUse, ThousandsOfCreateCloseCycles) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  for (int i = 0; i < 2000; ++i) {
    Handle file;
    ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
    ASSERT_EQ(h.Close(file), STATUS_SUCCESS);
  }
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(HostileUse, ManyConcurrentReadsAndWritesOnSeveralHandlesWhilePnpAndPowerRequestsArrive) {
  BusConfig config;
  config.completion = Completion::Pended;
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  constexpr int kHandles = 4;
  constexpr int kReadsEach = 8;
  Handle files[kHandles];
  for (auto& f : files) ASSERT_EQ(h.Open(&f), STATUS_SUCCESS);

  std::vector<std::vector<Request>> reads(kHandles);
  std::vector<std::thread> users;
  std::atomic<int> writesSent{0};
  std::atomic<int> writesRefused{0};
  for (int u = 0; u < kHandles; ++u) {
    users.emplace_back([&h, &reads, &files, &writesSent, &writesRefused, u] {
      for (int i = 0; i < kReadsEach; ++i) {
        reads[u].push_back(h.BeginRead(files[u], 4096));
        const NTSTATUS status = h.Write(files[u], Bytes(10 + i, static_cast<UCHAR>(u)), nullptr);
        (status == STATUS_SUCCESS ? writesSent : writesRefused)++;
      }
    });
  }
  EXPECT_EQ(h.Pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(h.Pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(h.QueryPower(SystemPowerState, POWER_STATE{.SystemState = PowerSystemSleeping1}), STATUS_SUCCESS);
  for (auto& t : users) t.join();

  // Between the query-stop and its cancellation requests are refused at
  // once; every other read waits in the bus for data.
  std::vector<Request> waiting;
  for (auto& perHandle : reads) {
    for (auto& read : perHandle) {
      if (!read->done) {
        waiting.push_back(read);
      } else {
        EXPECT_EQ(read->status, STATUS_DEVICE_NOT_READY);
      }
    }
  }
  for (std::size_t chunk = 0; chunk < waiting.size(); ++chunk) {
    h.Bus().SendFromDevice(Bytes(16, static_cast<UCHAR>(chunk)));
  }
  std::vector<UCHAR> firsts;
  for (auto& read : waiting) {
    ASSERT_EQ(h.Wait(read), STATUS_SUCCESS);
    ASSERT_EQ(read->data.size(), 16u);
    firsts.push_back(read->data[0]);
  }
  std::sort(firsts.begin(), firsts.end());
  for (std::size_t chunk = 0; chunk < waiting.size(); ++chunk) {
    EXPECT_EQ(firsts[chunk], static_cast<UCHAR>(chunk));
  }
  EXPECT_EQ(writesSent + writesRefused, kHandles * kReadsEach);
  EXPECT_EQ(h.Bus().ReceivedByDevice().size(), static_cast<std::size_t>(writesSent));
  EXPECT_THAT(h.Finish(), IsEmpty());
}
