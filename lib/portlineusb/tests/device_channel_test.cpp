// The overlapped read/write engine of the real library, driven against a
// named pipe in place of the Portline device.
#include "device_channel.h"

#include <gtest/gtest.h>

#include <string>

namespace portline {
namespace {

class PipeDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring name = L"\\\\.\\pipe\\portline-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter_++);
    server_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                               nullptr);
    ASSERT_NE(server_, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    ConnectNamedPipe(server_, nullptr);
    ASSERT_TRUE(channel_.Open(client));
  }
  void TearDown() override {
    channel_.Close();
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }

  void DeviceSends(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }

  // Polls like the application does until a read returns something.
  std::int32_t PollUntilSomething(std::string& got) {
    for (int i = 0; i < 2000; ++i) {
      std::uint8_t buffer[65] = {};
      const std::int32_t r = channel_.Read(buffer);
      if (r != 0) {
        if (r != kFailure) got.assign(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(r));
        return r;
      }
      Sleep(1);
    }
    return 0;
  }

  static inline int counter_ = 0;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  DeviceChannel channel_;
};

TEST_F(PipeDevice, AReadWithNothingWaitingReturnsZeroAtOnce) {
  std::uint8_t buffer[65] = {};
  const ULONGLONG before = GetTickCount64();
  EXPECT_EQ(channel_.Read(buffer), 0);
  EXPECT_EQ(channel_.Read(buffer), 0);
  EXPECT_LT(GetTickCount64() - before, 1000u) << "a read must never wait for the device";
}

TEST_F(PipeDevice, ThePendingReadDeliversWhatTheDeviceSentLater) {
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel_.Read(buffer), 0);
  DeviceSends("splice 1\r");
  std::string got;
  EXPECT_EQ(PollUntilSomething(got), 9);
  EXPECT_EQ(got, "splice 1\r");
}

TEST_F(PipeDevice, AReadNeverDeliversMoreThanSixtyFourBytesAndLosesNone) {
  std::string sent;
  for (int i = 0; i < 150; ++i) sent += static_cast<char>('A' + i % 26);
  DeviceSends(sent);
  std::string all;
  for (int chunk = 0; chunk < 3; ++chunk) {
    std::string got;
    const std::int32_t r = PollUntilSomething(got);
    ASSERT_GT(r, 0);
    ASSERT_LE(r, 64);
    all += got;
    if (all.size() == sent.size()) break;
  }
  EXPECT_EQ(all, sent);
}

TEST_F(PipeDevice, AnUnpluggedDeviceReads9999) {
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel_.Read(buffer), 0);
  CloseHandle(server_);
  server_ = INVALID_HANDLE_VALUE;
  std::string got;
  EXPECT_EQ(PollUntilSomething(got), kFailure);
}

TEST_F(PipeDevice, AWriteSendsAtMostSixtyFourBytes) {
  const std::string bytes(100, 'w');
  EXPECT_EQ(channel_.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), 100), 64);
  char received[128] = {};
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(server_, received, sizeof received, &got, nullptr));
  EXPECT_EQ(got, 64u);
  EXPECT_EQ(channel_.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), 0), kFailure);
}

TEST_F(PipeDevice, CloseWithAReadPendingReturnsAndLaterCallsFail) {
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel_.Read(buffer), 0);
  channel_.Close();
  EXPECT_FALSE(channel_.IsOpen());
  EXPECT_EQ(channel_.Read(buffer), kFailure);
  EXPECT_EQ(channel_.Write(buffer, 1), kFailure);
}

}  // namespace
}  // namespace portline
