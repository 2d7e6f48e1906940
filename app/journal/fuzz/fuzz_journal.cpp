// libFuzzer target: whatever bytes a journal file holds, reading it back must
// neither crash nor invent text, give the same when the file comes in
// blocks, and what it gives back must survive being written as a fresh
// journal of the next generation.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "seamlog/journal/journal_format.h"

using namespace seamlog::journal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const ParsedJournal parsed = ParseJournal(file);
  if (parsed.trustedBytes > size) std::abort();
  if (parsed.condition == JournalCondition::Whole && parsed.trustedBytes != size) std::abort();
  if ((parsed.condition == JournalCondition::Empty || parsed.condition == JournalCondition::Garbage) &&
      (!parsed.text.empty() || parsed.trustedBytes != 0))
    std::abort();
  if (parsed.text.size() > kMaxJournalText) std::abort();
  // Every byte read back was in the file, after a first line and a frame header.
  if (!parsed.text.empty() && parsed.text.size() + kJournalLineV1.size() + kFrameHeaderSizeV1 > size)
    std::abort();

  JournalReader reader;
  for (std::size_t at = 0; at < size && reader.Read(file.substr(at, 7)); at += 7) {
  }
  const ParsedJournal inBlocks = reader.Finish();
  if (inBlocks.condition != parsed.condition || inBlocks.text != parsed.text ||
      inBlocks.trustedBytes != parsed.trustedBytes)
    std::abort();

  FramePosition next{parsed.next.generation + 1, 0};
  std::string fresh = JournalStart(next.generation);
  AppendFrames(fresh, parsed.text, next);
  const ParsedJournal again = ParseJournal(fresh);
  if (again.condition != JournalCondition::Whole || again.text != parsed.text) std::abort();

  // A whole journal of this version takes more frames where reading ended.
  if (parsed.condition == JournalCondition::Whole && parsed.version == 2 &&
      parsed.text.size() < kMaxJournalText) {
    std::string more(file);
    FramePosition after = parsed.next;
    AppendFrames(more, "x", after);
    if (ParseJournal(more).text != parsed.text + "x") std::abort();
  }
  return 0;
}
