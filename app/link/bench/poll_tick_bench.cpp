// Cost of one poll tick with a full 64-byte read, by the size of the text
// already received: appending and finding the live view must not depend on it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "link/poll_cycle.h"
#include "link/received_text.h"

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

class Host : public PollHost {
 public:
  bool connected = true;
  std::string text;
  std::size_t view_start = 0;
  bool Connected() const override { return connected; }
  void SetConnected(bool flag) override { connected = flag; }
  std::string& ReceivedText() override { return text; }
  void ShowLiveText() override { view_start = LiveViewStart(text); }
};

void BM_TickWithReceivedText(benchmark::State& state) {
  Always64 library;
  PollCycle cycle(library);
  Host host;
  host.text.reserve(static_cast<std::size_t>(state.range(0)) * 2);
  while (host.text.size() < static_cast<std::size_t>(state.range(0))) host.text += "Splice Data   Record No. : 1\r\n";
  cycle.OpenDevice();
  for (auto _ : state) {
    cycle.Tick(host);
    benchmark::DoNotOptimize(host.view_start);
  }
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_TickWithReceivedText)->Arg(20 << 10)->Arg(20 << 20);

}  // namespace

BENCHMARK_MAIN();
