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
    : table_(table), intents_(intents), intent_(intent) {
  std::string error;
  recorded_ = intents_.Record(intent_, error);
}

void IntentClearingTable::Forget() {
  std::string error;
  if (recorded_) intents_.Clear(error);
  recorded_ = false;
}

// The table reaches the disk first: an intent cleared before that would leave
// a half table nobody takes back after a power cut. Killed between the two,
// the next run finds the intent and the whole table behind it, and leaves the
// table as it is. The intent goes while the table is still held, so that a
// run waiting for the table never finds the intent of one that ended well.
// A table that could not be closed keeps its intent (recorded again when the
// close failed after it was cleared), so that a next run takes back whatever
// it could not.
bool IntentClearingTable::Close() {
  const bool recorded = recorded_;
  if (table_.CloseWith([this] { Forget(); })) return true;
  if (recorded && !recorded_) {
    std::string error;
    recorded_ = intents_.Record(intent_, error);
  }
  return false;
}

bool IntentClearingTable::Discard() {
  const bool discarded = table_.Discard();
  Forget();
  return discarded;
}

}  // namespace seamlog::tools
