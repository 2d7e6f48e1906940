#pragma once
// What a save is doing, kept on disk while it does it. A save killed in the
// middle of writing its table (power cut, end task) leaves the table half
// written while the journal still holds the text; the next start finds the
// intent and takes the half table back, so that saving again never leaves a
// table and a half. A save killed after its table was whole, before the
// journal forgot the text, is recognised too: the text does not come back
// to be saved a second time.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace seamlog::save {

// The intent file's version. Version 1, of earlier releases, keeps the
// FNV-1a digest of the text taken a byte at a time; version 2 keeps the
// faster digest of TextDigest. Both are read.
inline constexpr int kIntentVersion = 2;

struct SaveIntent {
  std::string tablePath;
  std::uint64_t lengthBefore = 0;  // the table file's length when the save took it
  bool created = false;            // the save created the table file
  std::uint64_t textLength = 0;    // characters of the received text the save converts
  std::uint64_t textDigest = 0;    // TextDigest of those characters
  bool written = false;            // the table is whole and on the disk
  std::uint64_t savedLength = 0;   // written: characters of the text the table holds
  int version = kIntentVersion;    // how textDigest was made (see TextDigest)
  bool operator==(const SaveIntent&) const = default;
};

// A 64-bit digest of text, as an intent of the given version keeps it.
// Version 1: FNV-1a a byte at a time. Version 2: the same xor-and-multiply
// step eight bytes at a time in four independent lanes, the bytes that do
// not fill a word a byte at a time, and the lanes folded together at the
// end; every step is one-to-one, so one changed word always changes it. A
// 20 MB text is digested in a fraction of the time.
std::uint64_t TextDigest(std::string_view text, int version = kIntentVersion);

// The intent as a small text file, and back; empty for anything else.
std::string FormatIntent(const SaveIntent& intent);
std::optional<SaveIntent> ParseIntent(std::string_view file);

// Where a save keeps its intent: beside the journal in Seamlog, beside the
// output file in seamlog-convert. Both calls force the file onto the disk.
class IntentStore {
 public:
  virtual ~IntentStore() = default;
  virtual bool Record(const SaveIntent& intent, std::string& error) = 0;
  virtual bool Clear(std::string& error) = 0;
};

}  // namespace seamlog::save
