#pragma once
// Turning received splicer text into the comma-separated table of its model.
//
// The text is taken byte for byte: every byte is one character, nothing is
// converted between code pages. Rows go to a RowWriter (each ends in CR LF),
// progress to a ProgressSink. Every converter closes the writer when it ends,
// on success and on failure alike; rows written before a failure stay.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "seamlog/convert/models.h"
#include "seamlog/convert/progress.h"
#include "seamlog/convert/row_writer.h"

namespace seamlog::convert {

enum class ConvertOutcome {
  Completed,  // every record was converted and the writer closed cleanly
  Stopped,    // MODEL-C: a record without its "Irregular" or "Loss" heading line
              // ended the run (the converter's False result)
  Failed,     // a write error, or a count or position beyond 16 bits
};

struct ConvertResult {
  Model model;                 // the model whose converter ran
  std::int64_t recordCount;    // received records estimated with that model's length
  ConvertOutcome outcome;
  std::string reason;          // why it stopped or failed, in words; empty on success
  int stoppedAtRecord = 0;     // Stopped: number of the record (from 1) that lacked a heading
  // Completed: how many characters from the start of the text this save has
  // dealt with, and may be cleared: the records converted, and any text after
  // them that holds no start of a record. What follows from the first
  // separator hyphen there on is a record still arriving, not yet converted;
  // it belongs to the next save. Stopped: the start of the record that
  // stopped the run (the records before it are in the table). 0 when the
  // run failed.
  std::size_t consumedLength = 0;
  // MODEL-C: numbers of records cut short without their heading lines, left
  // out of the table.
  std::vector<int> skippedRecords;
};

// Recognises the model from the first 300 characters and runs its converter.
// The caller compares result.model with its current selection and decides the
// captions. Save As reports Stopped and Failed alike as "Data save failed."
// and keeps the text: a table cut short is no save.
ConvertResult ConvertReceivedText(std::string_view receivedText, RowWriter& out,
                                  ProgressSink& progress);

// The three converters, usable directly.
ConvertResult ConvertModelA(std::string_view receivedText, RowWriter& out, ProgressSink& progress);
ConvertResult ConvertModelB(std::string_view receivedText, RowWriter& out, ProgressSink& progress);
ConvertResult ConvertModelC(std::string_view receivedText, RowWriter& out, ProgressSink& progress);

}  // namespace seamlog::convert
