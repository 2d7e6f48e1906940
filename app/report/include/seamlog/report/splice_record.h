#pragma once
// What the reader takes out of the tables Seamlog appends: splice records,
// each with one fiber row per fiber of the splice, and the problems it met.
#include <optional>
#include <string>
#include <vector>

#include "seamlog/convert/models.h"
#include "seamlog/report/decimal.h"

namespace seamlog::report {

using convert::Model;

// One fiber of a splice. A value the splicer left blank or filled with
// something other than a number is no value (never 0).
struct FiberRow {
  int position = 1;                          // 1 for MODEL-A; the fiber count column of B and C
  std::optional<Decimal> estimatedLoss;      // dB, the splicer's estimate
  std::string lossText;                      // the loss field as the table holds it, trimmed
  std::optional<Decimal> cutLeft, cutRight;  // deg
  std::optional<Decimal> offset;             // um (MODEL-A: the Offset column)
  std::optional<Decimal> coreOffset;         // um, MODEL-A only
  std::optional<Decimal> gap;                // um, MODEL-B and MODEL-C
  int line = 0;                              // line of the file the row is on
};

struct SpliceRecord {
  Model model = Model::A;
  std::optional<int> number;  // the No. column; none when blank or not a number
  std::string numberText;     // the No. column, trimmed
  std::vector<FiberRow> fibers;
  std::string date, time;  // as the table holds them, trimmed
  std::string fiberType;   // MODEL-A: the Fiber column
  std::string memo;        // MODEL-A and MODEL-C, trimmed
  std::string condition;   // MODEL-B and MODEL-C, trimmed
  std::string source;      // the file it was read from
  int line = 0;            // line of its first row
};

struct ReadProblem {
  std::string source;
  int line = 0;  // 0: the file as a whole
  std::string message;
};

struct TableReading {
  std::vector<SpliceRecord> records;  // in the order of the files and their lines
  std::vector<ReadProblem> problems;
  int tables = 0;  // header rows of a known layout
};

}  // namespace seamlog::report
