#include "output_intent.h"

#include <cstdio>

namespace seamlog::tools {

OutputIntent::OutputIntent(const std::string& output) {
  const std::size_t slash = output.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash == 0 ? 1 : slash);
  name_ = (slash == std::string::npos ? output : output.substr(slash + 1)) + ".saving";
  files_ = journal::MakeJournalFiles(folder);
  path_ = files_->PathOf(name_);
}

std::optional<save::SaveIntent> OutputIntent::Pending() {
  if (!files_->Exists(name_)) return std::nullopt;
  std::string data, error;
  if (auto held = files_->OpenHeld(name_, error)) {
    std::uint64_t size = 0;
    if (held->Size(size, error) && size < 4096) held->Read(0, static_cast<std::size_t>(size), data, error);
  }
  return save::ParseIntent(data);
}

bool OutputIntent::Record(const save::SaveIntent& intent, std::string& error) {
  return files_->Replace(name_, save::FormatIntent(intent), error);
}

// Emptied first (an empty intent is no intent), then removed, so that no
// file is left beside OUTPUT.
bool OutputIntent::Clear(std::string& error) {
  if (!files_->Replace(name_, {}, error)) return false;
  std::remove(path_.c_str());
  return true;
}

IntentClearingTable::IntentClearingTable(convert::RowWriter& table, save::IntentStore& intents,
                                         const save::SaveIntent& intent)
    : table_(table), intents_(intents) {
  std::string error;
  recorded_ = intents_.Record(intent, error);
}

void IntentClearingTable::Forget() {
  std::string error;
  if (recorded_) intents_.Clear(error);
  recorded_ = false;
}

bool IntentClearingTable::Close() {
  Forget();
  return table_.Close();
}

bool IntentClearingTable::Discard() {
  const bool discarded = table_.Discard();
  Forget();
  return discarded;
}

}  // namespace seamlog::tools
