// The four functions against the emulated splicer, which this program runs
// under (seamlog-splicer-emulator --answer-write "<ack>\r" --report ...): the
// contract's numbers at its edges.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "portline/libusb_device_choice.h"
#include "portline/portline_usb_contract.h"

namespace portline::libusb {
namespace {

using Buffer = std::array<std::uint8_t, kReadBufferSize>;

// Reads until the text holds what is wanted or the deadline passed; the bytes read.
std::string ReadUntil(std::int32_t& handle, const std::string& wanted) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < end) {
    Buffer buffer{};
    buffer.back() = 0xA5;  // the 65th byte is never written
    const std::int32_t n = PortlineUsbReadFile(&handle, buffer.data());
    EXPECT_GE(n, 0);
    EXPECT_LE(n, kMaxTransfer);
    EXPECT_EQ(buffer.back(), 0xA5);
    if (n < 0 || n > kMaxTransfer) break;
    got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
  }
  return got;
}

class LibusbDeviceLibrary : public testing::Test {
 protected:
  void SetUp() override {
    ChooseDevice({});  // the emulated splicer's IDs: 0000:0000
    ASSERT_EQ(PortlineUsbCreateDevice(&handle_, &status_, &found_), kCreateOpened) << "status " << status_;
  }
  void TearDown() override { PortlineUsbCloseDevice(&handle_); }

  std::int32_t handle_ = 0, status_ = 0, found_ = 0;
};

TEST_F(LibusbDeviceLibrary, ACreateCountsTheSplicerAndASecondIsRefusedWhileItIsHeld) {
  EXPECT_EQ(found_, 1);
  std::int32_t second = 0, status = 0, found = 0;
  // The emulated bus has one splicer and this program holds it.
  EXPECT_EQ(PortlineUsbCreateDevice(&second, &status, &found), kCreateAllHeld);
  EXPECT_EQ(found, 1);
}

TEST_F(LibusbDeviceLibrary, AWriteIsSentAndAnswered) {
  std::uint8_t bytes[] = {'R', '\r'};
  std::int32_t count = 2;
  EXPECT_EQ(PortlineUsbWriteFile(&handle_, bytes, &count), 2);
  // The answer comes whole, after what was already on its way.
  EXPECT_NE(ReadUntil(handle_, "<ack>\r").find("<ack>\r"), std::string::npos);
}

TEST_F(LibusbDeviceLibrary, AWriteOutsideOneToSixtyFourBytesIsAFailure) {
  std::uint8_t bytes[kMaxTransfer + 1] = {};
  for (const std::int32_t count : {0, kMaxTransfer + 1, -1}) {
    std::int32_t n = count;
    EXPECT_EQ(PortlineUsbWriteFile(&handle_, bytes, &n), kDeviceFailure) << count;
  }
}

TEST_F(LibusbDeviceLibrary, AClosedHandleNamesNoDevice) {
  std::int32_t closed = handle_;
  EXPECT_EQ(PortlineUsbCloseDevice(&closed), 0);
  Buffer buffer{};
  EXPECT_EQ(PortlineUsbReadFile(&closed, buffer.data()), kDeviceFailure);
  EXPECT_EQ(PortlineUsbCloseDevice(&closed), kDeviceFailure);
  // Opened again, the splicer goes on.
  ASSERT_EQ(PortlineUsbCreateDevice(&handle_, &status_, &found_), kCreateOpened);
}

TEST(LibusbDeviceLibraryArguments, NullCellsAreRefused) {
  std::int32_t cell = 0;
  EXPECT_EQ(PortlineUsbCreateDevice(nullptr, &cell, &cell), kCreateBadArgument);
  EXPECT_EQ(PortlineUsbCreateDevice(&cell, nullptr, &cell), kCreateBadArgument);
  EXPECT_EQ(PortlineUsbCreateDevice(&cell, &cell, nullptr), kCreateBadArgument);
  EXPECT_EQ(PortlineUsbReadFile(nullptr, nullptr), kDeviceFailure);
  EXPECT_EQ(PortlineUsbCloseDevice(nullptr), kDeviceFailure);
}

TEST(LibusbDeviceLibraryChoice, OtherIdsFindNothing) {
  ChooseDevice({0x1234, 0x5678, {}, {}});
  std::int32_t handle = 0, status = 0, found = 0;
  EXPECT_EQ(PortlineUsbCreateDevice(&handle, &status, &found), kCreateNoDevice);
  EXPECT_EQ(found, 0);
  // By bus and address the IDs do not matter.
  ChooseDevice({0x1234, 0x5678, 1, 2});
  EXPECT_EQ(PortlineUsbCreateDevice(&handle, &status, &found), kCreateOpened);
  EXPECT_EQ(found, 1);
  PortlineUsbCloseDevice(&handle);
  ChooseDevice({0, 0, 1, 3});
  EXPECT_EQ(PortlineUsbCreateDevice(&handle, &status, &found), kCreateNoDevice);
  ChooseDevice({});
}

}  // namespace
}  // namespace portline::libusb
