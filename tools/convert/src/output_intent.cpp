#include "output_intent.h"

#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

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

std::optional<save::SaveIntent> OutputIntent::PendingAfter(std::chrono::milliseconds wait) {
  constexpr std::chrono::milliseconds kLookAgain{20};
  std::optional<save::SaveIntent> pending = Pending();
  for (std::chrono::milliseconds waited{0}; pending && waited < wait; waited += kLookAgain) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(kLookAgain.count()));
#else
    std::this_thread::sleep_for(kLookAgain);
#endif
    pending = Pending();
  }
  return pending;
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

// The table reaches the disk first: an intent cleared before that would leave
// a half table nobody takes back after a power cut. Killed between the two,
// the next run finds the intent and the whole table behind it, and leaves the
// table as it is. A table that could not be closed keeps its intent, so that
// a next run takes back whatever it could not.
bool IntentClearingTable::Close() {
  if (!table_.Close()) return false;
  Forget();
  return true;
}

bool IntentClearingTable::Discard() {
  const bool discarded = table_.Discard();
  Forget();
  return discarded;
}

}  // namespace seamlog::tools
