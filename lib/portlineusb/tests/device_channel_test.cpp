// The overlapped read/write engine of the real library, driven against a
// named pipe in place of the Portline device, and against scripted pipes for
// what a pipe cannot do: stall, or ignore a cancel.
#include "device_channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

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
    // Cancels and recoveries, in the order they came.
    std::string calls;
    // Every read issued, oldest first, with its buffer.
    std::vector<OVERLAPPED*> reads;
    std::vector<std::uint8_t*> buffers;
    // Reads issued after this many are refused.
    std::size_t refuseAfter = static_cast<std::size_t>(-1);
  };
  ScriptedPipes(Record& record, bool cancelWorks) : record_(record), cancelWorks_(cancelWorks) {}

  bool StartRead(std::uint8_t* buffer, DWORD, OVERLAPPED& operation) override {
    if (record_.reads.size() >= record_.refuseAfter) {
      SetLastError(ERROR_GEN_FAILURE);
      return false;
    }
    operation.Internal = STATUS_PENDING;
    record_.reads.push_back(&operation);
    record_.buffers.push_back(buffer);
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
    record_.calls += 'c';
    if (cancelWorks_) End(operation, 0xC0000120, 0);  // STATUS_CANCELLED
  }
  void Recover(bool inbound) override {
    ++(inbound ? record_.inboundRecoveries : record_.outboundRecoveries);
    record_.calls += 'r';
  }
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

// The device fills the read issued index-th (from 0) with bytes.
void Deliver(ScriptedPipes::Record& record, std::size_t index, const std::string& bytes) {
  ASSERT_LT(index, record.reads.size());
  std::memcpy(record.buffers[index], bytes.data(), bytes.size());
  ScriptedPipes::End(*record.reads[index], 0, static_cast<DWORD>(bytes.size()));
}

std::string Packet(std::size_t index) { return "packet " + std::to_string(index) + "\r"; }

// What one poll hands out: the bytes, or "<9999>" / "<0>".
std::string Poll(DeviceChannel& channel) {
  std::uint8_t buffer[65] = {};
  const std::int32_t r = channel.Read(buffer);
  if (r == kFailure) return "<9999>";
  if (r == 0) return "<0>";
  return std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(r));
}

TEST(ScriptedDevice, TheFirstPollKeepsAFullQueueOfReadsInFlight) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  EXPECT_EQ(Poll(channel), "<0>");
  EXPECT_EQ(record.reads.size(), kReadsQueued);
  EXPECT_EQ(Poll(channel), "<0>");
  EXPECT_EQ(record.reads.size(), kReadsQueued) << "a full queue issues nothing more";
}

// Packets that are ready at a poll: each poll hands out the oldest, one a
// call, and gives its block straight back to the device.
class ReadyPackets : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ReadyPackets, AreHandedOutOneAPollInTheOrderTheReadsWereIssued) {
  const std::size_t ready = GetParam();
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  ASSERT_EQ(Poll(channel), "<0>");
  for (std::size_t i = 0; i < ready; ++i) Deliver(record, i, Packet(i));
  for (std::size_t i = 0; i < ready; ++i) {
    ASSERT_EQ(Poll(channel), Packet(i));
    EXPECT_EQ(record.reads.size(), kReadsQueued + i + 1)
        << "the delivered read's block is issued again at once";
  }
  EXPECT_EQ(Poll(channel), "<0>");
  // The reads issued again come after those that were already queued.
  if (ready > 0) {
    Deliver(record, kReadsQueued, "again\r");
    for (std::size_t i = ready; i < kReadsQueued; ++i) Deliver(record, i, Packet(i));
    for (std::size_t i = ready; i < kReadsQueued; ++i) ASSERT_EQ(Poll(channel), Packet(i));
    EXPECT_EQ(Poll(channel), "again\r");
  }
  EXPECT_EQ(record.inboundRecoveries, 0);
}

INSTANTIATE_TEST_SUITE_P(ScriptedDevice, ReadyPackets, ::testing::Values(0, 1, 5, kReadsQueued),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return info.param == kReadsQueued ? std::string("EveryQueuedRead")
                                                             : "Ready" + std::to_string(info.param);
                         });

TEST(ScriptedDevice, AReadThatEndsBeforeAnEarlierOneWaitsForIt) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  ASSERT_EQ(Poll(channel), "<0>");
  Deliver(record, 2, Packet(2));
  EXPECT_EQ(Poll(channel), "<0>");
  Deliver(record, 0, Packet(0));
  EXPECT_EQ(Poll(channel), Packet(0));
  EXPECT_EQ(Poll(channel), "<0>");
  Deliver(record, 1, Packet(1));
  EXPECT_EQ(Poll(channel), Packet(1));
  EXPECT_EQ(Poll(channel), Packet(2));
  EXPECT_EQ(Poll(channel), "<0>");
}

TEST(ScriptedDevice, AFailedReadComesAfterThePacketsBeforeItAndEndsTheReadsBehindItBeforeTheReset) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  ASSERT_EQ(Poll(channel), "<0>");
  Deliver(record, 0, Packet(0));
  Deliver(record, 1, Packet(1));
  ScriptedPipes::End(*record.reads[2], 0xC0000001, 0);  // the endpoint stalled
  Deliver(record, 3, Packet(3));
  EXPECT_EQ(Poll(channel), Packet(0));
  EXPECT_EQ(Poll(channel), Packet(1));
  EXPECT_EQ(record.calls, "");
  EXPECT_EQ(Poll(channel), "<9999>");
  // Behind the failed read: read 3, which had ended, and the rest of the
  // queue (two reads were issued again): each is cancelled, then the pipe reset.
  ASSERT_EQ(record.reads.size(), kReadsQueued + 2);
  EXPECT_EQ(record.calls, std::string(kReadsQueued - 2, 'c') + "r");
  EXPECT_EQ(record.inboundRecoveries, 1);
  EXPECT_EQ(record.outboundRecoveries, 0);
}

TEST(ScriptedDevice, AReadTheDeviceRefusesIsReportedAfterTheQueuedOnesAreHandedOut) {
  ScriptedPipes::Record record;
  record.refuseAfter = 3;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  ASSERT_EQ(Poll(channel), "<0>");
  ASSERT_EQ(record.reads.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) Deliver(record, i, Packet(i));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Poll(channel), Packet(i));
  EXPECT_EQ(record.inboundRecoveries, 0);
  EXPECT_EQ(Poll(channel), "<9999>");
  EXPECT_EQ(record.inboundRecoveries, 1);
}

TEST(ScriptedDevice, AStalledReadClearsTheHaltedPipeBeforeItReports9999) {
  ScriptedPipes::Record record;
  DeviceChannel channel;
  ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, true)));
  std::uint8_t buffer[65] = {};
  ASSERT_EQ(channel.Read(buffer), 0);
  ASSERT_FALSE(record.reads.empty());
  ScriptedPipes::End(*record.reads[0], 0xC0000001, 0);  // the endpoint stalled
  EXPECT_EQ(channel.Read(buffer), kFailure);
  EXPECT_EQ(record.inboundRecoveries, 1) << "the halted pipe is reset before the failure is reported";
  EXPECT_EQ(record.outboundRecoveries, 0);
}

TEST(ScriptedDevice, CloseCancelsEveryQueuedReadAndGivesUpThoseTheDeviceNeverEnds) {
  ScriptedPipes::Record record;
  {
    DeviceChannel channel;
    ASSERT_TRUE(channel.Open(std::make_unique<ScriptedPipes>(record, false)));
    ASSERT_EQ(Poll(channel), "<0>");
    Deliver(record, 1, Packet(1));
    const DWORD began = GetTickCount();
    channel.Close();
    EXPECT_LT(GetTickCount() - began, 3 * kCloseWaitMs) << "close waits within its bounds, not once per read";
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(Poll(channel), "<9999>");
  }
  EXPECT_EQ(record.cancels, static_cast<int>(kReadsQueued) - 1) << "every read still under way is cancelled";
  EXPECT_TRUE(record.released);
  // The device finishes the reads after all: their blocks were given up, not freed.
  for (std::size_t i = 0; i < kReadsQueued; ++i) {
    if (i == 1) continue;
    std::memcpy(record.buffers[i], "late", 4);
    ScriptedPipes::End(*record.reads[i], 0, 4);
  }
}

}  // namespace
}  // namespace portline
