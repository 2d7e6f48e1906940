#include "seamlog/save/interrupted_save.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "exclusive_file.h"
#include "seamlog/convert/convert_received_text.h"

namespace seamlog::save {
namespace {

// Keeps every row, also of a run that fails: the file holds what a killed
// save wrote before the failure would have taken it back.
class CollectedTable final : public convert::RowWriter {
 public:
  bool WriteRow(std::string_view row) override {
    table.append(row);
    table.append("\r\n");
    return true;
  }
  bool WriteRows(std::string_view rows) override {
    table.append(rows);
    return true;
  }
  bool Close() override { return true; }
  bool Discard() override { return true; }
  std::string LastError() const override { return {}; }
  std::string table;
};

// The bytes of path from offset on; false when it cannot be read.
bool ReadFrom(const std::string& path, std::uint64_t offset, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in || !in.seekg(static_cast<std::streamoff>(offset))) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

bool FileLength(const std::string& path, std::uint64_t& length) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  length = static_cast<std::uint64_t>(in.tellg());
  return true;
}

// Cuts the table file back to its length before the save, under the same
// lock every save takes, and removes it when the save had created it.
bool TakeBack(const SaveIntent& intent, std::uint64_t expectedLength, std::string& reason) {
  auto file = ExclusiveFile::Open(intent.tablePath, std::chrono::seconds(5), reason);
  if (!file) return false;
  if (file->LengthBefore() != expectedLength) {
    reason = "'" + intent.tablePath + "' changed while it was being checked";
    file->Keep(reason);
    return false;
  }
  if (!file->CutBackTo(intent.lengthBefore, reason) || !file->Keep(reason)) return false;
  if (intent.created && intent.lengthBefore == 0) std::remove(intent.tablePath.c_str());
  return true;
}

}  // namespace

InterruptedSave SettleInterruptedSave(const SaveIntent& intent, std::string_view recoveredText,
                                      std::uint64_t& savedLength, std::string& reason,
                                      const CutBackHeldTable& cutBack) {
  const bool sameText = recoveredText.size() >= intent.textLength &&
                        TextDigest(recoveredText.substr(0, intent.textLength), intent.version) == intent.textDigest;
  if (intent.written) {
    // The journal forgets the text right after this was recorded: when it
    // still holds it, the table has it already.
    if (!sameText) return InterruptedSave::NothingWritten;
    savedLength = intent.savedLength;
    return InterruptedSave::TableWhole;
  }
  std::uint64_t length = 0;
  if (!FileLength(intent.tablePath, length)) {
    if (intent.created) return InterruptedSave::NothingWritten;
    reason = "'" + intent.tablePath + "' cannot be read";
    return InterruptedSave::CannotCheck;
  }
  if (length == intent.lengthBefore) return InterruptedSave::NothingWritten;
  if (length < intent.lengthBefore) {
    reason = "'" + intent.tablePath + "' is shorter than before the save";
    return InterruptedSave::TableChanged;
  }
  if (!sameText) {
    reason = "the text that was being saved did not come back whole";
    return InterruptedSave::CannotCheck;
  }
  // The table that text makes, exactly as the save wrote it.
  const std::string_view text = recoveredText.substr(0, intent.textLength);
  CollectedTable expected;
  convert::NoProgress progress;
  const convert::ConvertResult result = convert::ConvertReceivedText(text, expected, progress);
  std::string tail;
  if (!ReadFrom(intent.tablePath, intent.lengthBefore, tail)) {
    reason = "'" + intent.tablePath + "' cannot be read";
    return InterruptedSave::CannotCheck;
  }
  if (tail == expected.table && result.outcome != convert::ConvertOutcome::Failed) {
    savedLength = result.outcome == convert::ConvertOutcome::Completed ? text.size() : result.consumedLength;
    return InterruptedSave::TableWhole;
  }
  if (!std::string_view(expected.table).starts_with(tail)) {
    reason = "the end of '" + intent.tablePath + "' is not what the save wrote";
    return InterruptedSave::TableChanged;
  }
  const bool takenBack = cutBack ? cutBack(intent.lengthBefore, reason) : TakeBack(intent, length, reason);
  if (!takenBack) return InterruptedSave::CannotCheck;
  return InterruptedSave::TableTakenBack;
}

std::string InterruptedSaveMessage(const SaveIntent& intent, InterruptedSave outcome,
                                   const std::string& reason) {
  switch (outcome) {
    case InterruptedSave::NothingWritten:
      return {};
    case InterruptedSave::TableWhole:
      return "The last save into " + intent.tablePath +
             " was complete before Seamlog ended; its text was not brought back a second time.";
    case InterruptedSave::TableTakenBack:
      return "A save into " + intent.tablePath +
             " was interrupted. The part of the table it had written was taken back; the received "
             "text is kept. Save again.";
    case InterruptedSave::TableChanged:
    case InterruptedSave::CannotCheck:
      break;
  }
  return "A save into " + intent.tablePath + " was interrupted, and its end could not be taken back (" +
         reason + "). Check the end of that file before saving again: it may hold part of a table.";
}

}  // namespace seamlog::save
