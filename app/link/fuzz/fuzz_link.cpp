// libFuzzer target: arbitrary device behaviour through the poll cycle.
// The input is a script of reads: each step's first byte picks the result
// (0 to 64 bytes, a failure, or a count outside the contract) and the bytes
// that follow are the data. Checked on every run:
//   - the received text is exactly the delivered bytes with CR -> CR LF;
//   - the live view never holds more than 20,000 characters and, when cut,
//     starts right after a CR LF;
//   - the receive ring is empty after every tick;
//   - every successful open is matched by at most one close.
// The same bytes also go through the simulator's settings parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "seamlog/link/poll_cycle.h"
#include "seamlog/capture/received_text.h"
#include "sim_settings.h"

namespace {

using namespace seamlog::link;
using seamlog::capture::kLiveViewLength;
using seamlog::capture::LiveViewStart;

class ScriptedLibrary : public DeviceLibrary {
 public:
  ScriptedLibrary(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::int32_t CreateDevice(std::int32_t& handle, std::int32_t&, std::int32_t&) override {
    if (open_) std::abort();  // the cycle opens only when not connected
    if (at_ < size_ && data_[at_] == 0xFF) {  // a refused open
      ++at_;
      return 1;
    }
    open_ = true;
    handle = 5;
    return 0;
  }
  std::int32_t ReadFile(std::int32_t& handle, std::uint8_t* buffer) override {
    if (!open_ || handle != 5) std::abort();
    if (at_ >= size_) return 0;
    const std::uint8_t step = data_[at_++];
    if (step == 0xFE) return kDeviceFailure;
    if (step == 0xFD) return 65 + (at_ % 1000);  // outside the contract
    std::size_t n = step % 65;
    n = std::min(n, size_ - at_);
    std::memcpy(buffer, data_ + at_, n);
    delivered.append(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return static_cast<std::int32_t>(n);
  }
  std::int32_t WriteFile(std::int32_t&, std::uint8_t*, std::int32_t& count) override { return count; }
  std::int32_t CloseDevice(std::int32_t& handle) override {
    if (!open_ || handle != 5) std::abort();  // closed twice, or never opened
    open_ = false;
    return 0;
  }
  bool Done() const { return at_ >= size_; }

  std::string delivered;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool open_ = false;
};

class Host : public PollHost, public seamlog::capture::CaptureObserver {
 public:
  explicit Host(const std::string& text) : text_(text) {}
  bool connected = false;
  bool Connected() const override { return connected; }
  void SetConnected(bool flag) override { connected = flag; }
  void TextAppended(std::string_view) override {
    const std::string& text = text_;
    const std::size_t start = LiveViewStart(text);
    if (text.size() - start > kLiveViewLength) std::abort();
    if (start > 0 && start != text.size() - kLiveViewLength && text.compare(start - 2, 2, "\r\n") != 0) std::abort();
  }
  void TextDiscarded(std::size_t) override {}

 private:
  const std::string& text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  portline::sim::ParseSimSettings(std::string_view(reinterpret_cast<const char*>(data), size));

  ScriptedLibrary library(data, size);
  seamlog::capture::Capture received(seamlog::convert::Model::A);
  PollCycle cycle(library, received);
  Host host(received.ReceivedText());
  received.AddObserver(host);
  for (std::size_t ticks = 0; !library.Done() && ticks < 4 * size + 4; ++ticks) {
    cycle.Tick(host);
    if (cycle.Rings().ReceivedCount() != 0) std::abort();
  }
  cycle.Unload(host);

  std::string expected;
  for (char c : library.delivered) {
    expected += c;
    if (c == '\r') expected += '\n';
  }
  if (received.ReceivedText() != expected) std::abort();
  return 0;
}
