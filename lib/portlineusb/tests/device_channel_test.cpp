// The overlapped read/write engine of the real library, driven against a
// named pipe in place of the Portline device, and against scripted pipes for
// what a pipe cannot do: stall, or ignore a cancel.
#include "device_channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
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
    ASSERT_TRUE(channel_.Open(FilePipes(client)));
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

// Pipes whose transfers the test completes, fails or leaves hanging.
class ScriptedPipes final : public PipeIo {
 public:
  struct Record {
    int inboundRecoveries = 0;
    int outboundRecoveries = 0;
    int cancels = 0;
    bool released = false;
    OVERLAPPED* pendingRead = nullptr;
    std::uint8_t* readBuffer = nullptr;
  };
  ScriptedPipes(Record& record, bool cancelWorks) : record_(record), cancelWorks_(cancelWorks) {}

  bool StartRead(std::uint8_t* buffer, DWORD, OVERLAPPED& operation) override {
    operation.Internal = STATUS_PENDING;
    record_.pendingRead = &operation;
    record_.readBuffer = buffer;
    SetLastError(ERROR_IO_PENDING);
    return false;
  }
  bool StartWrite(const std::uint8_t*, DWORD length, OVERLAPPED& operation) override {
    End(operation, 0, length);
    return true;
  }
  bool Result(OVERLAPPED& operation, DWORD& moved) override {
    if (operation.Internal == STATUS_PENDING) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return false;
    }
    moved = static_cast<DWORD>(operation.InternalHigh);
    SetLastError(ERROR_GEN_FAILURE);
    return operation.Internal == 0;
  }
  void Cancel(OVERLAPPED& operation) override {
    ++record_.cancels;
    if (cancelWorks_) End(operation, 0xC0000120, 0);  // STATUS_CANCELLED
  }
  void Recover(bool inbound) override { ++(inbound ? record_.inboundRecoveries : record_.outboundRecoveries); }
  void Release() override { record_.released = true; }

  static void End(OVERLAPPED& operation, DWORD status, DWORD moved) {
    operation.Internal = static_cast<ULONG_PTR>(status);
    operation.InternalHigh = moved;
    SetEvent(operation.hEvent);
  }

 private:
  Record& record_;
  bool cancelWorks_;
};

TEST(ScriptedDevice, AStalledReadClearsTheHaltedPipeBeforeItReports9999) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel.Read(buffer), 0);
  ASSERT_NE(record.pendingRead, nullptr);
  ScriptedPipes::End(*record.pendingRead, 0xC0000001, 0);  // the endpoint stalled
  EXPECT_EQ(channel.Read(buffer), kFailure);
  EXPECT_EQ(record.inboundRecoveries, 1) << "the halted pipe is reset before the failure is reported";
  EXPECT_EQ(record.outboundRecoveries, 0);
}

TEST(ScriptedDevice, ADeliveredReadNeedsNoRecovery) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel.Read(buffer), 0);
  std::memcpy(record.readBuffer, "abc", 3);
  ScriptedPipes::End(*record.pendingRead, 0, 3);
  EXPECT_EQ(channel.Read(buffer), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
  EXPECT_EQ(record.inboundRecoveries, 0);
}

TEST(ScriptedDevice, CloseGivesUpWaitingForAReadTheDeviceNeverEnds) {
  ScriptedPipes::Record record;
  {
    DeviceChannel channel;
    ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, false)));
    std::uint8_t buffer[65] = {};
    ASSERT_EQ(channel.Read(buffer), 0);
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(channel.Read(buffer), kFailure);
  }
  EXPECT_EQ(record.cancels, 1);
  EXPECT_TRUE(record.released);
  // The device finishes the read after all: its buffer was given up, not freed.
  std::memcpy(record.readBuffer, "late", 4);
  ScriptedPipes::End(*record.pendingRead, 0, 4);
}

}  // namespace
}  // namespace portline
