// Cost of one poll tick with a full 64-byte read, by the size of the text
// already received: appending and finding the live view must not depend on it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "seamlog/capture/received_text.h"
#include "seamlog/link/poll_cycle.h"

namespace {

using namespace seamlog::link;

class Always64 : public DeviceLibrary {
 public:
  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t&, std::int32_t&) override {
    handle = 1;
    return 0;
  }
  std::int32_t ReadFile(std::int32_t&, std::uint8_t* buffer) override {
    static const char chunk[] = "Estimated Loss             :  0.14\rFiber Type         :   SM\r";
    std::memcpy(buffer, chunk, 64);
    return 64;
  }
  std::int32_t WriteFile(std::int32_t&, std::uint8_t*, std::int32_t& count) override { return count; }
  std::int32_t CloseDevice(std::int32_t&) override { return 0; }
};

class Host : public PollHost, public seamlog::capture::CaptureObserver {
 public:
  explicit Host(const std::string& text) : text_(text) {}
  bool connected = true;
  std::size_t viewStart = 0;
  bool Connected() const override { return connected; }
  void SetConnected(bool flag) override { connected = flag; }
  void TextAppended(std::string_view) override { viewStart = seamlog::capture::LiveViewStart(text_); }
  void TextDiscarded(std::size_t) override {}

 private:
  const std::string& text_;
};

void BM_TickWithReceivedText(benchmark::State& state) {
  Always64 library;
  seamlog::capture::Capture received(seamlog::convert::Model::A);
  PollCycle cycle(library, received);
  // One read a tick, so that the figure stays the cost of one 64-byte chunk.
  cycle.DrainWithin(DrainBudget{kMaxTransfer, std::chrono::microseconds(4000)}, SystemTickClock());
  Host host(received.ReceivedText());
  received.AddObserver(host);
  std::string text;
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += "Splice Data   Record No. : 1\r\n";
  received.AppendText(text);
  cycle.OpenDevice();
  for (auto _ : state) {
    cycle.Tick(host);
    benchmark::DoNotOptimize(host.viewStart);
  }
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_TickWithReceivedText)->Arg(20 << 10)->Arg(20 << 20);

}  // namespace

BENCHMARK_MAIN();
