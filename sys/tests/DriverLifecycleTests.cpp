// Device creation, start, removal and the user-mode interface, each run with
// the verifier on: every test ends with Finish(), which removes the device
// and reports rule violations, leaks and anything left behind.
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Harness.h"
#include "Portline.h"

using namespace kmodel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<UCHAR> Bytes(std::size_t n, UCHAR first = 0) {
  std::vector<UCHAR> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

class StartedDevice : public ::testing::TestWithParam<Completion> {
 protected:
  BusConfig Config() {
    BusConfig config;
    config.completion = GetParam();
    return config;
  }
};

}  // namespace

TEST(DriverEntryAndAddDevice, LoadingCreatesNoDeviceAndEachArrivalMakesOneWithAnEnabledInterface) {
  Harness h;
  EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  ASSERT_NE(h.Device(), nullptr);
  EXPECT_EQ(h.Device()->NextDevice, nullptr);
  EXPECT_EQ(h.Device()->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
  auto interfaces = Interfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(interfaces[0].enabled);
  EXPECT_TRUE(IsEqualGUID(interfaces[0].guid, GUID_DEVINTERFACE_PORTLINE));
  EXPECT_EQ(interfaces[0].pdo, h.Bus().Pdo());
  EXPECT_THAT(h.Finish(), IsEmpty());
  EXPECT_FALSE(Interfaces()[0].enabled);
}

TEST(DriverEntryAndAddDevice, RightAfterAddDeviceNothingIsConfigured) {
  Harness h;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  auto* ext = h.Extension();
  EXPECT_EQ(ext->Pdo, h.Bus().Pdo());
  EXPECT_EQ(ext->LowerDeviceObject, h.Bus().Pdo());
  EXPECT_EQ(ext->ConfigDescriptorLength, 0u);
  EXPECT_EQ(ext->ConfigDescriptor, nullptr);
  EXPECT_EQ(ext->BulkInPipe.PipeHandle, nullptr);
  EXPECT_EQ(ext->BulkOutPipe.MaximumTransferSize, 0u);
  EXPECT_EQ(ext->HaltedPipe, nullptr);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(DriverEntryAndAddDevice, AFailedAttachUndoesEverythingAndReportsNoSuchDevice) {
  Harness h;
  SetAttachFails(true);
  EXPECT_EQ(h.AddDevice(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(h.Driver()->DeviceObject, nullptr);
  EXPECT_THAT(h.Finish(), IsEmpty());
  EXPECT_FALSE(Interfaces()[0].enabled);
}

TEST(DriverEntryAndAddDevice, UnhandledMajorFunctionsGetTheSystemDefaultAndAreNotPassedDown) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Other(IRP_MJ_CLEANUP), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(h.Other(IRP_MJ_INTERNAL_DEVICE_CONTROL), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(DriverEntryAndAddDevice, WmiRequestsReachTheProviderTheyNameBeforeAndAfterTheStart) {
  Harness h;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(h.SystemControl(IRP_MN_REGINFO), STATUS_SUCCESS);
  ASSERT_EQ(h.Start(), STATUS_SUCCESS);
  for (UCHAR minor : {IRP_MN_QUERY_ALL_DATA, IRP_MN_QUERY_SINGLE_INSTANCE, IRP_MN_ENABLE_EVENTS}) {
    EXPECT_EQ(h.SystemControl(minor), STATUS_SUCCESS);
  }
  EXPECT_EQ(h.Bus().WmiRequestsAnswered(), 4);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST(DriverEntryAndAddDevice, TheDevicesOwnRequestsCarryAStackLocationForEveryDriverOfTheStack) {
  // The bus interface query goes through this driver's own device object,
  // above a hub PDO that takes two locations.
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_EQ(h.Bus().Pdo()->StackSize, 2);
  EXPECT_EQ(h.Bus().QueryInterfaceCount(), 1);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST_P(StartedDevice, StartReadsTheDescriptorTwiceAndRecordsBothBulkPipesAt64Bytes) {
  Harness h(Config());
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  auto* ext = h.Extension();
  EXPECT_THAT(h.Bus().DescriptorReadLengths(), ElementsAre(9u, 32u));
  EXPECT_EQ(ext->ConfigDescriptorLength, 32u);
  EXPECT_EQ(0, std::memcmp(ext->ConfigDescriptor, StandardConfigDescriptor().data(), 32));
  EXPECT_THAT(h.Bus().SelectedMaximumTransferSizes(), ElementsAre(64u, 64u));
  EXPECT_EQ(ext->BulkInPipe.EndpointAddress, 0x81);
  EXPECT_EQ(ext->BulkOutPipe.EndpointAddress, 0x02);
  EXPECT_NE(ext->BulkInPipe.PipeHandle, nullptr);
  EXPECT_TRUE(ext->BusInterfaceAvailable);
  EXPECT_EQ(ext->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST_P(StartedDevice, ReadsAndWritesMoveAtMost64BytesAndReportWhatMoved) {
  Harness h(Config());
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);

  struct Case {
    ULONG buffer;
    std::size_t sent;
    ULONG asked;
    std::size_t got;
  };
  for (const Case& c :
       {Case{10, 10, 10, 10}, Case{64, 64, 64, 64}, Case{4096, 100, 64, 64}, Case{4096, 20, 64, 20}}) {
    h.Bus().SendFromDevice(Bytes(c.sent, 7));
    std::vector<UCHAR> got;
    EXPECT_EQ(h.Read(file, c.buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(h.Bus().TransferLengths(true).back(), c.asked) << c.buffer;
    EXPECT_EQ(got, Bytes(c.got, 7)) << c.buffer;
    if (c.sent > c.got) {  // the rest waits for the next read
      EXPECT_EQ(h.Read(file, 4096, &got), STATUS_SUCCESS);
      EXPECT_EQ(got.size(), c.sent - c.got);
    }
  }
  for (std::size_t n : {10u, 64u, 100u, 4096u}) {
    ULONG_PTR written = 0;
    EXPECT_EQ(h.Write(file, Bytes(n, 1), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, std::min<std::size_t>(n, 64));
    EXPECT_EQ(h.Bus().ReceivedByDevice().back(), Bytes(std::min<std::size_t>(n, 64), 1));
  }
  EXPECT_EQ(h.Close(file), STATUS_SUCCESS);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST_P(StartedDevice, ZeroLengthReadsAndWritesSucceedWithoutReachingTheDevice) {
  Harness h(Config());
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  std::vector<UCHAR> got{1};
  EXPECT_EQ(h.Read(file, 0, &got), STATUS_SUCCESS);
  EXPECT_TRUE(got.empty());
  ULONG_PTR written = 99;
  EXPECT_EQ(h.Write(file, {}, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(h.Bus().TransferLengths(true).empty());
  EXPECT_TRUE(h.Bus().TransferLengths(false).empty());
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST_P(StartedDevice, AFailedTransferReportsTheBusStatusAndOnlyAnEndpointHaltRecordsThePipe) {
  struct Case {
    USBD_STATUS usbd;
    bool halts;
  };
  const Case cases[] = {
      {USBD_STATUS_INVALID_PARAMETER, false},  // only the top bit set
      {USBD_STATUS_CANCELED, false},           // both top bits, yet nothing halted
      {USBD_STATUS_DEVICE_GONE, false},       {USBD_STATUS_STALL_PID, true},
      {USBD_STATUS_BABBLE_DETECTED, true},    {USBD_STATUS_CRC, true},
      {USBD_STATUS_DEV_NOT_RESPONDING, true}, {USBD_STATUS_ENDPOINT_HALTED, true},
  };
  for (const Case& c : cases) {
    Harness h(Config());
    ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
    Handle file;
    ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
    h.Bus().FailNext(BusRequest::BulkOut, STATUS_IO_DEVICE_ERROR, c.usbd);
    ULONG_PTR written = 99;
    EXPECT_EQ(h.Write(file, Bytes(8), &written), STATUS_IO_DEVICE_ERROR) << std::hex << c.usbd;
    EXPECT_EQ(written, 0u) << std::hex << c.usbd;
    EXPECT_EQ(h.Extension()->HaltedPipe, c.halts ? &h.Extension()->BulkOutPipe : nullptr)
        << std::hex << c.usbd;
    EXPECT_THAT(h.Finish(), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(BothCompletionModes, StartedDevice,
                         ::testing::Values(Completion::Synchronous, Completion::Pended),
                         [](const auto& info) {
                           return info.param == Completion::Synchronous ? std::string("Synchronous")
                                                                        : std::string("Pended");
                         });
