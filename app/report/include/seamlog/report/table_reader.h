#pragma once
// Reads the comma-separated tables Seamlog appends to a file: any number of
// them, of the MODEL-A, MODEL-B and MODEL-C layouts, in any order. Every
// table begins with two empty rows, its header row and its units row; the
// record rows follow. The text is only read, never changed.
#include <string_view>

#include "seamlog/report/splice_record.h"

namespace seamlog::report {

// The most problems kept for one file; the rest are counted in one last problem.
inline constexpr int kMaxProblemsPerFile = 100;

// Adds the records of text to reading and every problem met, each with source
// and its line. What cannot be read safely (rows outside a table, a table of
// an unknown layout, a row of another layout in a table, a fiber row without
// its record) is skipped and named; a truncated row is read as far as it goes.
void ReadTables(std::string_view source, std::string_view text, TableReading& reading);

}  // namespace seamlog::report
