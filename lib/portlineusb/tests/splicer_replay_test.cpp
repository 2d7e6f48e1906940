#include "splicer_replay.h"

#include <gtest/gtest.h>

#include <string>

namespace portline::sim {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

SimSettings With(int perRead, int refuse = 0, std::int64_t disconnect = 0) {
  SimSettings s;
  s.reportFile = "r";
  s.bytesPerRead = perRead;
  s.refuseCreates = refuse;
  s.disconnectAfterBytes = disconnect;
  return s;
}

// Reads until the replay has nothing left or fails; returns the text and the
// last result.
std::string Drain(SplicerReplay& splicer, std::int32_t handle, std::int32_t& last) {
  std::string got;
  for (int guard = 0; guard < 100000; ++guard) {
    std::uint8_t buffer[65] = {};
    last = splicer.Read(handle, buffer);
    if (last == 0 || last == kFailure) break;
    got.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(last));
  }
  return got;
}

TEST(SplicerReplay, HandsOutTheReportInChunksOfTheConfiguredSize) {
  SplicerReplay splicer(Bytes("0123456789"), With(4));
  std::int32_t handle = 0;
  ASSERT_EQ(splicer.Create(handle), 0);
  std::uint8_t buffer[65] = {};
  EXPECT_EQ(splicer.Read(handle, buffer), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "0123");
  EXPECT_EQ(splicer.Read(handle, buffer), 4);
  EXPECT_EQ(splicer.Read(handle, buffer), 2);
  EXPECT_EQ(splicer.Read(handle, buffer), 0) << "a finished report reads as nothing waiting";
  EXPECT_TRUE(splicer.Finished());
}

TEST(SplicerReplay, RefusesTheConfiguredNumberOfCreatesFirst) {
  SplicerReplay splicer(Bytes("x"), With(64, 2));
  std::int32_t handle = 0;
  EXPECT_NE(splicer.Create(handle), 0);
  EXPECT_NE(splicer.Create(handle), 0);
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(splicer.Create(handle), 0);
  EXPECT_EQ(handle, kDeviceHandle);
  EXPECT_EQ(splicer.Stats().refusals, 2);
}

TEST(SplicerReplay, UnplugsAfterTheConfiguredBytesAndResumesAfterTheNextCreate) {
  std::string report;
  for (int i = 0; i < 100; ++i) report += "record " + std::to_string(i) + "\r";
  SplicerReplay splicer(Bytes(report), With(64, 0, 300));
  std::string received;
  int connections = 0;
  for (int round = 0; round < 20 && !splicer.Finished(); ++round) {
    std::int32_t handle = 0;
    ASSERT_EQ(splicer.Create(handle), 0);
    ++connections;
    std::int32_t last = 0;
    received += Drain(splicer, handle, last);
    if (last == kFailure) {
      std::uint8_t buffer[65];
      EXPECT_EQ(splicer.Read(handle, buffer), kFailure) << "an unplugged device keeps failing";
      EXPECT_EQ(splicer.Close(handle), 0);
    }
  }
  EXPECT_EQ(received, report) << "nothing lost, nothing doubled";
  EXPECT_EQ(connections, static_cast<int>((report.size() + 299) / 300));
}

TEST(SplicerReplay, AStallHaltsReadsAcrossReconnectsUntilThePipeIsResetAndLosesNothing) {
  SimSettings settings = With(4);
  settings.stallAtByte = 7;  // bytes 1 to 6 arrive, then the pipe halts
  SplicerReplay splicer(Bytes("0123456789"), settings);
  std::int32_t handle = 0;
  ASSERT_EQ(splicer.Create(handle), 0);
  std::int32_t last = 0;
  EXPECT_EQ(Drain(splicer, handle, last), "012345");
  EXPECT_EQ(last, kFailure);
  EXPECT_TRUE(splicer.Halted());
  ASSERT_EQ(splicer.Close(handle), 0);
  ASSERT_EQ(splicer.Create(handle), 0);
  std::uint8_t buffer[65];
  EXPECT_EQ(splicer.Read(handle, buffer), kFailure) << "reopening alone does not clear a halt";
  EXPECT_TRUE(splicer.ResetPipe());
  EXPECT_FALSE(splicer.ResetPipe()) << "nothing left to reset";
  EXPECT_EQ(Drain(splicer, handle, last), "6789");
  EXPECT_EQ(last, 0) << "the pipe stalls once";
}

TEST(SplicerReplay, EveryConnectionEndsAfterExactlyTheConfiguredBytes) {
  SplicerReplay splicer(Bytes(std::string(1000, 'z')), With(64, 0, 100));
  std::int32_t handle = 0;
  ASSERT_EQ(splicer.Create(handle), 0);
  std::int32_t last = 0;
  EXPECT_EQ(Drain(splicer, handle, last).size(), 100u);
  EXPECT_EQ(last, kFailure);
}

TEST(SplicerReplay, CallsOnAClosedOrWrongHandleFail) {
  SplicerReplay splicer(Bytes("abc"), With(64));
  std::uint8_t buffer[65];
  EXPECT_EQ(splicer.Read(kDeviceHandle, buffer), kFailure);
  EXPECT_EQ(splicer.Write(kDeviceHandle, buffer, 1), kFailure);
  EXPECT_EQ(splicer.Close(kDeviceHandle), kFailure);
  std::int32_t handle = 0;
  ASSERT_EQ(splicer.Create(handle), 0);
  EXPECT_EQ(splicer.Read(handle + 1, buffer), kFailure);
  EXPECT_EQ(splicer.Create(handle), kAlreadyOpen);
  EXPECT_EQ(splicer.Close(handle), 0);
  EXPECT_EQ(splicer.Close(handle), kFailure);
  EXPECT_EQ(splicer.Stats().closes, 1);
  EXPECT_EQ(splicer.Stats().strayCloses, 2);
}

TEST(SplicerReplay, WritesAreCountedAndCutToSixtyFour) {
  SplicerReplay splicer(Bytes("abc"), With(64));
  std::int32_t handle = 0;
  splicer.Create(handle);
  std::uint8_t bytes[100] = {};
  EXPECT_EQ(splicer.Write(handle, bytes, 100), 64);
  EXPECT_EQ(splicer.Write(handle, bytes, 0), kFailure);
  EXPECT_EQ(splicer.Stats().bytesWritten, 64);
}

TEST(SplicerReplay, AnEmptyReportReadsAsNothingWaiting) {
  SplicerReplay splicer({}, With(64, 0, 10));
  std::int32_t handle = 0;
  ASSERT_EQ(splicer.Create(handle), 0);
  std::uint8_t buffer[65];
  EXPECT_EQ(splicer.Read(handle, buffer), 0);
}

}  // namespace
}  // namespace portline::sim
