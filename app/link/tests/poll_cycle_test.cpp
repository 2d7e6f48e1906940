#include "seamlog/link/poll_cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace seamlog::link {
namespace {

// A scripted device library that records every call.
class ScriptedLibrary : public DeviceLibrary {
 public:
  std::deque<std::int32_t> createResults;          // empty: succeed
  std::deque<std::string> reads;                   // "" reads 0 bytes
  std::int32_t failReadAt = -1;                    // read number that returns 9999
  std::optional<std::int32_t> readResultOverride;  // forced result for every read
  std::int32_t writeResult = 1;
  std::vector<std::string> calls;
  std::vector<std::string> written;
  std::int32_t handleGiven = 7;

  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t& extra1, std::int32_t& extra2) override {
    calls.push_back("create");
    EXPECT_EQ(extra1, 0);
    EXPECT_EQ(extra2, 0);
    std::int32_t result = 0;
    if (!createResults.empty()) {
      result = createResults.front();
      createResults.pop_front();
    }
    if (result == 0)
      handle = handleGiven;
    else
      extra1 = refusalStatus;
    return result;
  }
  std::int32_t refusalStatus = 0;  // left in the status cell by a refused create
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override {
    calls.push_back("read");
    EXPECT_EQ(handle, handleGiven);
    ++readsMade_;
    if (readsMade_ == failReadAt) return kDeviceFailure;
    if (readResultOverride) return *readResultOverride;
    if (reads.empty()) return 0;
    const std::string chunk = reads.front();
    reads.pop_front();
    std::memcpy(buffer, chunk.data(), chunk.size());
    return static_cast<std::int32_t>(chunk.size());
  }
  std::int32_t WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) override {
    calls.push_back("write");
    EXPECT_EQ(handle, handleGiven);
    written.emplace_back(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(count));
    return writeResult;
  }
  std::int32_t CloseDevice(std::int32_t& handle) override {
    calls.push_back("close");
    EXPECT_EQ(handle, handleGiven);
    return 0;
  }

 private:
  std::int32_t readsMade_ = 0;
};

class FakeWindow : public PollHost, public capture::CaptureObserver, public LinkEvents {
 public:
  bool connected = false;
  std::vector<std::string> events;  // what a diagnostics log hears, byte counts aside
  std::size_t received = 0, sent = 0;
  std::vector<bool> connectionChanges;
  std::vector<std::uint32_t> pollPeriods;  // as the window re-arms its timer
  int liveRefreshes = 0;

  bool Connected() const override { return connected; }
  void SetConnected(bool flag) override {
    connected = flag;
    connectionChanges.push_back(flag);
    pollPeriods.push_back(PollPeriodMs(flag));
  }
  void TextAppended(std::string_view) override { ++liveRefreshes; }
  void TextDiscarded(std::size_t) override {}

  void OpenAttempted(std::int32_t result, std::int32_t status) override {
    events.push_back("open " + std::to_string(result) +
                     (status != 0 ? " status " + std::to_string(status) : ""));
  }
  void ReadFailed(std::int32_t result) override { events.push_back("read failed " + std::to_string(result)); }
  void WriteFailed(std::int32_t result) override {
    events.push_back("write failed " + std::to_string(result));
  }
  void Closed(std::int32_t result) override { events.push_back("closed " + std::to_string(result)); }
  void Received(std::size_t bytes) override { received += bytes; }
  void Sent(std::size_t bytes) override { sent += bytes; }
};

// A clock that moves on by a set step each time it is read.
class SteppingClock : public TickClock {
 public:
  std::chrono::microseconds step{0};
  std::chrono::steady_clock::time_point Now() override { return now_ += step; }
  void Pass(std::chrono::microseconds time) { now_ += time; }

 private:
  std::chrono::steady_clock::time_point now_{};
};

struct Fixture {
  Fixture() {
    received.AddObserver(window);
    cycle.ReportTo(window);
    cycle.DrainWithin(DrainBudget{}, clock);
  }
  SteppingClock clock;
  ScriptedLibrary library;
  FakeWindow window;
  capture::Capture received{convert::Model::A};
  PollCycle cycle{library, received};
  const std::string& text() const { return received.ReceivedText(); }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) cycle.Tick(window);
  }
};

TEST(PollCycle, ATickThatOpensTheDeviceReadsInTheSameTick) {
  Fixture f;
  f.library.reads = {"AB\rCD"};
  f.Ticks(1);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"create", "read"}));
  EXPECT_EQ(f.window.connectionChanges, std::vector<bool>{true});
  EXPECT_EQ(f.text(), "AB\r\nCD");
  EXPECT_EQ(f.window.liveRefreshes, 1);
}

TEST(PollCycle, ARefusedCreateEndsTheTickWithNothingShown) {
  Fixture f;
  f.library.createResults = {3, 9999};
  f.library.refusalStatus = 5010;
  f.Ticks(2);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"create", "create"}));
  EXPECT_TRUE(f.window.connectionChanges.empty());
  EXPECT_EQ(f.text(), "");
  EXPECT_EQ(f.window.liveRefreshes, 0);
  f.Ticks(1);
  EXPECT_TRUE(f.window.connected) << "the third attempt succeeds";
  // What the library left in its status cell reaches the log.
  EXPECT_EQ(f.window.events,
            (std::vector<std::string>{"open 3 status 5010", "open 9999 status 5010", "open 0"}));
}

TEST(PollCycle, ChunksAccumulateAcrossTicksWithCrLfLineEnds) {
  Fixture f;
  f.library.reads = {"line one\r", "\nline", "", " two\r"};
  f.Ticks(6);
  EXPECT_EQ(f.text(), "line one\r\n\nline two\r\n");
  EXPECT_EQ(f.window.liveRefreshes, 3) << "a tick that reads nothing leaves the view alone";
  EXPECT_EQ(f.library.calls.front(), "create");
  EXPECT_EQ(std::count(f.library.calls.begin(), f.library.calls.end(), "create"), 1);
}

TEST(PollCycle, AFailedReadInTheFirstTickClosesTheDeviceInThatTick) {
  Fixture f;
  f.library.failReadAt = 1;
  f.Ticks(1);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"create", "read", "close"}));
  EXPECT_EQ(f.window.connectionChanges, (std::vector<bool>{true, false}));
  EXPECT_FALSE(f.window.connected);
}

TEST(PollCycle, AfterAFailedReadThePollSlowsDownAndTheNextTickOpensAgainWithTheTextKept) {
  Fixture f;
  f.library.reads = {"first\r", "second"};
  f.library.failReadAt = 2;
  f.Ticks(3);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"create", "read", "read", "close", "create", "read"}));
  EXPECT_EQ(f.text(), "first\r\nsecond");
  EXPECT_TRUE(f.window.connected);
  EXPECT_EQ(f.window.pollPeriods, (std::vector<std::uint32_t>{1, 1000, 1}))
      << "every millisecond while open, once a second while trying to open";
  EXPECT_EQ(f.window.events, (std::vector<std::string>{"open 0", "read failed 9999", "closed 0", "open 0"}));
  EXPECT_EQ(f.window.received, 12u) << "bytes as the splicer sent them, before CR LF";
}

TEST(PollCycle, ASuccessfulOpenEmptiesBothRings) {
  Fixture f;
  const std::uint8_t stale[] = {1, 2, 3};
  f.cycle.Rings().PushReceived(stale, 3);
  f.library.readResultOverride = 0;
  f.Ticks(1);
  EXPECT_EQ(f.cycle.Rings().ReceivedCount(), 0);
  EXPECT_EQ(f.text(), "") << "bytes left from before the open are not shown";
}

TEST(PollCycle, ReadCountsOutsideTheContractCountAsFailures) {
  for (std::int32_t bad : {65, 1000, -1}) {
    Fixture f;
    f.library.readResultOverride = bad;
    f.Ticks(1);
    EXPECT_EQ(f.library.calls.back(), "close") << bad;
    EXPECT_FALSE(f.window.connected) << bad;
    EXPECT_EQ(f.text(), "") << bad;
    EXPECT_EQ(f.window.events[1], "read failed " + std::to_string(bad));
  }
}

TEST(PollCycle, WithAnEmptyTransmitRingNothingIsEverWritten) {
  Fixture f;
  f.library.reads = {"x", "y", "z"};
  f.Ticks(5);
  EXPECT_EQ(std::count(f.library.calls.begin(), f.library.calls.end(), "write"), 0);
}

TEST(PollCycle, QueuedBytesAreSentBeforeTheReadAtMostSixtyFourATick) {
  Fixture f;
  f.Ticks(1);
  std::string queued(100, 'q');
  queued[64] = 'r';
  f.cycle.Rings().PushTransmit(reinterpret_cast<const std::uint8_t*>(queued.data()), 100);
  f.library.calls.clear();
  f.Ticks(2);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"write", "read", "write", "read"}));
  ASSERT_EQ(f.library.written.size(), 2u);
  EXPECT_EQ(f.library.written[0], queued.substr(0, 64));
  EXPECT_EQ(f.library.written[1], queued.substr(64));
  EXPECT_EQ(f.window.sent, 100u);
}

TEST(PollCycle, AFailedWriteStillReadsThenClosesTheDevice) {
  Fixture f;
  f.Ticks(1);
  const std::uint8_t byte = 'w';
  f.cycle.Rings().PushTransmit(&byte, 1);
  f.library.writeResult = kDeviceFailure;
  f.library.reads = {"kept"};
  f.library.calls.clear();
  f.Ticks(1);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"write", "read", "close"}));
  EXPECT_EQ(f.text(), "kept");
  EXPECT_FALSE(f.window.connected);
  EXPECT_EQ(f.window.events, (std::vector<std::string>{"open 0", "write failed 9999", "closed 0"}));
  EXPECT_EQ(f.window.sent, 0u);
}

TEST(PollCycle, UnloadWhileConnectedClosesTheDeviceOnce) {
  Fixture f;
  f.Ticks(2);
  f.library.calls.clear();
  f.cycle.Unload(f.window);
  EXPECT_EQ(f.library.calls, std::vector<std::string>{"close"});
}

TEST(PollCycle, UnloadWhileNotConnectedMakesNoLibraryCall) {
  Fixture f;
  f.library.createResults = {1};
  f.Ticks(1);
  f.library.calls.clear();
  f.cycle.Unload(f.window);
  EXPECT_TRUE(f.library.calls.empty());
}

TEST(PollCycle, WhileNotConnectedTheTextDoesNotChange) {
  Fixture f;
  f.received.AppendText("earlier");
  f.window.liveRefreshes = 0;
  f.library.createResults = {1, 1, 1};
  f.Ticks(3);
  EXPECT_EQ(f.text(), "earlier");
  EXPECT_EQ(f.window.liveRefreshes, 0);
}

TEST(PollCycle, AWholeReportArrivesByteForByte) {
  Fixture f;
  std::string report;
  for (int i = 0; i < 200; ++i)
    report += "Splice " + std::to_string(i) + "\r" + std::string(1, '\0') + "\xB0";
  std::string expected;
  for (char c : report) {
    expected += c;
    if (c == '\r') expected += '\n';
  }
  for (std::size_t at = 0; at < report.size(); at += 61) f.library.reads.push_back(report.substr(at, 61));
  f.Ticks(static_cast<int>(f.library.reads.size()) + 2);
  EXPECT_EQ(f.text(), expected);
}

// Full 64-byte packets, each telling its number, each ending in CR.
std::vector<std::string> Packets(int count) {
  std::vector<std::string> packets;
  for (int i = 0; i < count; ++i) {
    std::string p = "packet " + std::to_string(i) + " ";
    p.resize(kMaxTransfer - 1, static_cast<char>('a' + i % 26));
    packets.push_back(p + "\r");
  }
  return packets;
}

std::string AsText(const std::vector<std::string>& packets, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += packets[i].substr(0, kMaxTransfer - 1) + "\r\n";
  return text;
}

TEST(PollCycle, OneTickDrainsTheFullPacketsWaitingInOrderWithinItsBudget) {
  struct Row {
    const char* what;
    int ready;
    std::size_t budgetBytes;
    long budgetUs, clockStepUs;
    std::size_t takenInFirstTick;  // packets
    int readsInFirstTick;
    long sincePreviousTickUs = 0;
  };
  const Row rows[] = {
      {"nothing waiting: one read", 0, 16384, 4000, 0, 0, 1},
      {"one packet: read again to find nothing more", 1, 16384, 4000, 0, 1, 2},
      {"five packets", 5, 16384, 4000, 0, 5, 6},
      {"300 packets: 16 KB a tick, not one read more", 300, 16384, 4000, 0, 256, 256},
      {"a byte budget that is not a whole packet ends after it is spent", 300, 100, 4000, 0, 2, 2},
      {"a slow library: 4 ms at 1 ms a read", 300, 16384, 4000, 1000, 4, 4},
      {"ticks 2 ms apart still read for 4 ms", 300, 16384, 4000, 1000, 4, 4, 2000},
      {"ticks 10 ms apart read for three quarters of the 11 ms since", 300, 16384, 4000, 1000, 9, 9, 10000},
      {"a throttled timer 15.6 ms apart reads for 12 ms at most", 300, 16384, 4000, 500, 24, 24, 15600},
      {"a tick after a long pause reads for 12 ms at most", 300, 16384, 4000, 1000, 12, 12, 1000000},
      {"the byte budget still holds on a throttled timer", 300, 1024, 4000, 500, 16, 16, 15600},
  };
  for (const Row& row : rows) {
    Fixture f;
    f.Ticks(1);  // opens; nothing waits yet
    f.cycle.DrainWithin(DrainBudget{row.budgetBytes, std::chrono::microseconds(row.budgetUs)}, f.clock);
    f.Ticks(1);  // the tick before, with nothing waiting
    f.clock.Pass(std::chrono::microseconds(row.sincePreviousTickUs));
    f.clock.step = std::chrono::microseconds(row.clockStepUs);
    const std::vector<std::string> packets = Packets(row.ready);
    f.library.reads.assign(packets.begin(), packets.end());
    f.library.calls.clear();
    f.Ticks(1);
    EXPECT_EQ(f.text(), AsText(packets, 0, row.takenInFirstTick)) << row.what;
    EXPECT_EQ(std::count(f.library.calls.begin(), f.library.calls.end(), "read"), row.readsInFirstTick)
        << row.what;
    EXPECT_EQ(f.cycle.Rings().ReceivedCount(), 0) << row.what << ": all read reaches the text in the tick";
    f.Ticks(row.ready + 1);
    EXPECT_EQ(f.text(), AsText(packets, 0, packets.size())) << row.what << ": later ticks take the rest";
    EXPECT_EQ(f.window.received, packets.size() * kMaxTransfer) << row.what;
    EXPECT_TRUE(f.window.connected) << row.what;
  }
}

TEST(PollCycle, AShortPacketEndsTheDrain) {
  Fixture f;
  f.Ticks(1);
  const std::vector<std::string> packets = Packets(2);
  f.library.reads = {packets[0], "short\r", packets[1]};
  f.library.calls.clear();
  f.Ticks(1);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"read", "read"}));
  EXPECT_EQ(f.text(), AsText(packets, 0, 1) + "short\r\n");
}

TEST(PollCycle, AFailedReadInTheMiddleOfADrainKeepsWhatCameBeforeAndClosesInThatTick) {
  Fixture f;
  f.Ticks(1);
  const std::vector<std::string> packets = Packets(5);
  f.library.reads.assign(packets.begin(), packets.end());
  f.library.failReadAt = 5;  // the open's tick made read 1
  f.library.calls.clear();
  f.Ticks(1);
  EXPECT_EQ(f.library.calls, (std::vector<std::string>{"read", "read", "read", "read", "close"}));
  EXPECT_EQ(f.text(), AsText(packets, 0, 3));
  EXPECT_FALSE(f.window.connected);
  EXPECT_EQ(f.window.events, (std::vector<std::string>{"open 0", "read failed 9999", "closed 0"}));
}

}  // namespace
}  // namespace seamlog::link
