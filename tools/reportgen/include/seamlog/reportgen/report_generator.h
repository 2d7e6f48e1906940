#pragma once
// Writes realistic splice reports as the three splicer models send them, for
// tests, benchmarks and the bundled samples. Lines end in CR LF; every record
// begins with a 66-character separator block: a line of 31 hyphens, then a
// 31-character title line.
//
// Layouts assumed (positions count from 1 within the record body, which
// follows the separator block):
//
// MODEL-A, 618 characters a record (66 + a 552-character body). One line per
//   value; the value stands at the end of its line, right-aligned in its
//   field: No. 35/4, Cut(L) 69/3, Cut(R) 105/3, Offset 141/3, Deform 176/3,
//   Ect(L) 212/3, Ect(R) 247/3, Core Offset 282/3, Arc Count 316/4,
//   Estimation Loss 351/5, Align Method 382/15, Fiber 420/15, Date 458/15,
//   Time 496/15, Memo 534/15; an empty line ends the body.
//
// MODEL-B, 378 characters a record (66 + a 312-character body).
//   No. at 12/4; a column heading line ending in "Irregular"; four fiber lines
//   starting at 56, 92, 128 and 154 (count, offset +4, cut L +10, cut R +15,
//   gap +20; lines 1 and 2 also the eighth column at +28 and Irregular at
//   +30/4); "Loss" at 182 with its value 9 further on; "Fiber-Sleeve" at 200
//   with fiber 2's loss (3 characters and a blank) 18 further on and the
//   condition from 21 further on to the end of its line (ending at 230); the
//   next line holds the losses of fibers 3 and 4 at 235 and 244; "Date" at 270
//   with the date 6 and the time 30 further on.
//
// MODEL-C, 665 characters a record for up to 8 fibers (66 + a 599-character
//   body), longer for 9 to 12. No. at 12/4; a heading line ending in
//   "Irregular"; one 36-character line per fiber (count /2, offset +4,
//   cut L +10, cut R +15, gap +20, eighth column +28, Irregular +30/4); a
//   "Total" line (blank at +5, eighth column and Irregular as a fiber line);
//   splice information lines that fill the body to its nominal size; a heading
//   line ending in "Loss"; twelve loss lines with the loss at +3/4; line 2
//   holds the condition, line 5 the date (yy/mm/dd) at +16, line 6 the time at
//   +19, line 8 the memo; condition and memo run from +12 to the end of their
//   lines.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "seamlog/convert/models.h"

namespace seamlog::reportgen {

using convert::Model;

// A small deterministic generator: the same seed gives the same report on
// every platform and compiler.
class Random {
 public:
  explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
  std::uint32_t Next();
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
  // A decimal "d.d" or "d.dd"... built from an integer below limit.
  std::string Fixed(int limit, int decimals, int width);

 private:
  std::uint64_t state_;
};

// Every value is already formatted to its field's width.
struct ValuesA {
  std::string number, cutLeft, cutRight, offset, deform, ectLeft, ectRight, coreOffset,
      arcCount, estimationLoss, alignMethod, fiber, date, time, memo;
};

struct FiberB {
  std::string count, offset, cutLeft, cutRight, gap, loss;
};
struct ValuesB {
  std::string number;
  std::array<FiberB, 4> fibers;
  std::array<std::string, 2> eighth, irregular;  // fibers 1 and 2
  std::string condition, date, time;             // condition: 9 characters
};

struct FiberC {
  std::string count, offset, cutLeft, cutRight, gap, eighth, irregular, loss;
};
struct ValuesC {
  std::string number;
  int fiberCount = 1;                   // 1 to 12
  std::array<FiberC, 12> fibers;        // loss is used for all twelve loss lines
  std::string totalEighth, totalIrregular;
  std::string condition, date, time, memo;  // date as yy/mm/dd
};

ValuesA RandomValuesA(Random& random, int number);
ValuesB RandomValuesB(Random& random, int number);
// fibers 0 picks 1 to 8 at random.
ValuesC RandomValuesC(Random& random, int number, int fibers);

std::string SeparatorBlock(Model model);
std::string RecordBodyA(const ValuesA& values);  // 552 characters
std::string RecordBodyB(const ValuesB& values);  // 312 characters
std::string RecordBodyC(const ValuesC& values);  // 599 characters up to 8 fibers

struct ReportOptions {
  Model model = Model::A;
  int records = 10;
  std::uint32_t seed = 1;
  int fibers = 0;  // MODEL-C: fibers per record, 0 for 1 to 8 at random
};

// The report as the splicer sends it, separator block before every record.
std::string GenerateReport(const ReportOptions& options);

// The report as the splicer's byte stream: every CR LF becomes a CR alone.
std::string AsSentBySplicer(std::string_view report);

}  // namespace seamlog::reportgen
