// Feeds arbitrary bytes to seamlog-convert's handling of its input. Besides
// the sanitizers' checks, it traps when a helper breaks one of its promises:
// a stray line end that is not one, or none found where the CR LF rule is
// broken; mended text that is not CR LF; a last record outside the text or
// not at a separator; a raw stream that did not get one LF per CR, or whose
// one-pass copy differs from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "last_record.h"
#include "output_refusal.h"
#include "received_file.h"

namespace {

using namespace seamlog;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckStrayLineEnds(std::string_view text) {
  const tools::StrayLineEnds stray = tools::FindStrayLineEnds(text);
  std::string kept(text);
  if (!kept.empty() && kept.back() == '\r') kept.pop_back();
  const bool crLfOnly = [&] {
    for (std::size_t at = 0; at < kept.size(); ++at) {
      if (kept[at] == '\r' && (at + 1 >= kept.size() || kept[at + 1] != '\n')) return false;
      if (kept[at] == '\n' && (at == 0 || kept[at - 1] != '\r')) return false;
    }
    return true;
  }();
  Require((stray.count == 0) == crLfOnly);
  std::size_t lone = 0;
  for (std::size_t at = 0; at < kept.size(); ++at) {
    lone += kept[at] == '\r' && (at + 1 >= kept.size() || kept[at + 1] != '\n');
    lone += kept[at] == '\n' && (at == 0 || kept[at - 1] != '\r');
  }
  Require(stray.count == lone);
  if (stray.count == 0) return;
  Require(stray.firstOffset < text.size() && text[stray.firstOffset] == stray.first);
  Require(stray.firstLine ==
          1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + stray.firstOffset, '\n')));
}

void CheckMending(std::string_view text) {
  const tools::LineEnds ends = tools::DetectLineEnds(text);
  const std::string mended = tools::WithCrLf(text, ends);
  if (ends == tools::LineEnds::LfOnly || ends == tools::LineEnds::CrOnly) {
    Require(tools::DetectLineEnds(mended) == tools::LineEnds::CrLf);
    Require(tools::FindStrayLineEnds(mended).count == 0);
  } else {
    Require(mended == text);
  }
  std::string inPlace(text);
  tools::MakeCrLfInPlace(inPlace, ends);
  Require(inPlace == mended);
  const std::string raw = tools::WithLineFeeds(text);
  Require(raw.size() == text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r')));
  // The one-pass copy a raw capture is read with makes the same text, and
  // writes nothing past twice the bytes and its 16 spare characters.
  std::vector<char> copy(2 * text.size() + 16);
  Require(std::string_view(copy.data(), tools::CopyWithLineFeeds(text, copy.data())) == raw);
  Require(tools::HoldsCrLf(text) == (text.find("\r\n") != std::string_view::npos));
}

void CheckLastRecord(std::string_view text) {
  for (const convert::Model model : {convert::Model::A, convert::Model::B, convert::Model::C}) {
    const tools::LastRecord last = tools::FindLastRecord(text, model);
    Require(last.wholeLength == static_cast<std::size_t>(convert::ModelRowOf(model).recordTextLength));
    if (last.number == 0) {
      Require(last.length == 0 && !last.CutShort());
      continue;
    }
    Require(last.length > 0 && last.length <= text.size());
    const std::size_t start = text.size() - last.length;
    Require(text[start] == '-' && (start == 0 || text[start - 1] == '\n'));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckStrayLineEnds(text);
  CheckMending(text);
  CheckLastRecord(text);
  Require(tools::LooksLikeReport(text) == tools::LooksLikeReport(std::string(text)));
  return 0;
}
