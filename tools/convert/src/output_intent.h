#pragma once
// The intent of a run, kept beside OUTPUT as OUTPUT.saving while the table
// is written, so that a run killed half-way leaves no half table behind: the
// next run into OUTPUT settles it first (see seamlog/save/save_intent.h).
#include <memory>
#include <optional>
#include <string>

#include "seamlog/convert/row_writer.h"
#include "seamlog/journal/journal_files.h"
#include "seamlog/save/save_intent.h"

namespace seamlog::tools {

class OutputIntent final : public save::IntentStore {
 public:
  explicit OutputIntent(const std::string& output);

  // The file's path, for messages.
  const std::string& path() const { return path_; }
  // What an interrupted earlier run left, if anything. Looked at by the
  // holder of the table's lock: a run clears its intent before it lets go of
  // the table, so one found then was left by a run that was interrupted.
  std::optional<save::SaveIntent> Pending();

  bool Record(const save::SaveIntent& intent, std::string& error) override;
  bool Clear(std::string& error) override;

 private:
  std::unique_ptr<journal::JournalFiles> files_;
  std::string name_;
  std::string path_;
};

// The table of a run, with its intent recorded before the first row and
// cleared once the table is on the disk, before the table is let go.
class IntentClearingTable final : public convert::RowWriter {
 public:
  IntentClearingTable(convert::RowWriter& table, save::IntentStore& intents, const save::SaveIntent& intent);
  bool WriteRow(std::string_view row) override { return table_.WriteRow(row); }
  bool WriteEmptyRows(int count) override { return table_.WriteEmptyRows(count); }
  bool WriteRows(std::string_view rows) override { return table_.WriteRows(rows); }
  bool Close() override;
  bool Discard() override;
  std::string LastError() const override { return table_.LastError(); }

 private:
  void Forget();
  convert::RowWriter& table_;
  save::IntentStore& intents_;
  save::SaveIntent intent_;
  bool recorded_ = false;
};

}  // namespace seamlog::tools
