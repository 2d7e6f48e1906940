#pragma once
// A save that was interrupted, settled at the next start: the table file's
// end is compared with the table the journal's text makes, and a half
// table is taken back under the lock every save takes.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "seamlog/save/save_intent.h"

namespace seamlog::save {

// What the next start makes of an intent it finds.
enum class InterruptedSave {
  NothingWritten,  // the table file is as it was before the save
  TableWhole,      // the save's whole table is in the file: its text was saved
  TableTakenBack,  // a half-written table was found and removed
  TableChanged,    // the file's end is not what the save wrote: left alone
  CannotCheck,     // the text the save converted is gone, or the file cannot be read
};

// Settles a save that was interrupted, from the text the journal brought
// back: compares the table file's end with the table that text makes and
// takes a half-written table back. `reason` says what went wrong when it
// returns CannotCheck or TableChanged, or the take-back failed.
// TableWhole gives in savedLength how many characters of the text the table
// holds, to be forgotten as a completed save forgets them.
// A caller that already holds the table file (under its lock) passes
// cutBack, which cuts it to a length; otherwise the file is taken for that.
using CutBackHeldTable = std::function<bool(std::uint64_t length, std::string& reason)>;
InterruptedSave SettleInterruptedSave(const SaveIntent& intent, std::string_view recoveredText,
                                      std::uint64_t& savedLength, std::string& reason,
                                      const CutBackHeldTable& cutBack = {});

// The operator's words for an interrupted save; empty when there is nothing
// to say.
std::string InterruptedSaveMessage(const SaveIntent& intent, InterruptedSave outcome,
                                   const std::string& reason);

}  // namespace seamlog::save
