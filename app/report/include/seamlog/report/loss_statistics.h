#pragma once
// Acceptance of the estimated losses: the verdict of every fiber row, the
// attempts of re-spliced splices, and the figures of a job.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "seamlog/report/decimal.h"
#include "seamlog/report/splice_record.h"

namespace seamlog::report {

struct AcceptanceLimits {
  Decimal limit = Decimal::FromUnits(3000);    // 0.30 dB: a fiber above it fails
  Decimal warning = Decimal::FromUnits(1500);  // 0.15 dB: from here on a fiber warns
  std::optional<Decimal> averageLimit;         // the mean of the job may not exceed it
};

enum class Verdict { Pass, Warn, Fail, NoValue };

Verdict Judge(const std::optional<Decimal>& loss, const AcceptanceLimits& limits);
const char* VerdictName(Verdict verdict);  // "pass", "warn", "fail", "no value"

// Which attempt a record is at its splice. A splice is known by its record
// number and memo: the same pair seen again is a re-splice, and the last
// attempt read is the one that stands. Record numbers are the splicer's own,
// so records of different models are never the same splice; a record without
// a number is a splice of its own.
struct Attempt {
  int number = 1;  // from 1, in reading order
  int of = 1;      // attempts of the splice
  bool Final() const { return number == of; }
};
std::vector<Attempt> CountAttempts(const std::vector<SpliceRecord>& records);

// An exact figure: units / divisor ten-thousandths (of a dB, or of a per cent).
struct Figure {
  std::int64_t units = 0;
  std::int64_t divisor = 1;
};
// With the given number of decimals (0 to 4), rounded once, half to even.
std::string FormatFigure(const Figure& figure, int decimals);

// The figures of a job, over the fiber rows of the attempts that stand.
struct LossSummary {
  int records = 0;           // every record read, earlier attempts included
  int splices = 0;           // splices, each counted once
  int resplicedSplices = 0;  // splices with more than one attempt
  int fibers = 0;            // fiber rows of the attempts that stand
  int fibersWithLoss = 0;
  int pass = 0, warn = 0, fail = 0, noValue = 0;
  std::optional<Figure> mean, median, maximum;  // dB
  std::optional<Figure> standardDeviation;      // dB, of a sample (n - 1); needs two values
  std::optional<Figure> percentWithinLimit;          // pass and warn, of the fibers with a loss
  std::optional<bool> averageHolds;             // when an average limit is set
};

LossSummary Summarise(const std::vector<SpliceRecord>& records, const std::vector<Attempt>& attempts,
                      const AcceptanceLimits& limits);

}  // namespace seamlog::report
