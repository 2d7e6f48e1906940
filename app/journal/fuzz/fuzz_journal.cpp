// libFuzzer target: whatever bytes a journal file holds, reading it back must
// neither crash nor invent text, and what it gives back must survive being
// written as a fresh journal.
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
  if (parsed.condition != JournalCondition::Whole && parsed.condition != JournalCondition::Torn &&
      !parsed.text.empty())
    std::abort();
  // Every byte read back was in the file, after the first line and a frame header.
  if (!parsed.text.empty() && parsed.text.size() + kJournalMagic.size() + kFrameHeaderSize > size) std::abort();

  std::string fresh(kJournalMagic);
  AppendFrames(fresh, parsed.text);
  const ParsedJournal again = ParseJournal(fresh);
  if (again.condition != JournalCondition::Whole || again.text != parsed.text) std::abort();
  return 0;
}
