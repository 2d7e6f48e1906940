#include "seamlog/report/loss_statistics.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace seamlog::report {

Verdict Judge(const std::optional<Decimal>& loss, const AcceptanceLimits& limits) {
  if (!loss) return Verdict::NoValue;
  if (*loss > limits.limit) return Verdict::Fail;
  if (*loss >= limits.warning) return Verdict::Warn;
  return Verdict::Pass;
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass:
      return "pass";
    case Verdict::Warn:
      return "warn";
    case Verdict::Fail:
      return "fail";
    case Verdict::NoValue:
      break;
  }
  return "no value";
}

std::vector<Attempt> CountAttempts(const std::vector<SpliceRecord>& records) {
  std::vector<Attempt> attempts(records.size());
  std::map<std::tuple<Model, int, std::string>, std::vector<std::size_t>> splices;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const SpliceRecord& r = records[i];
    if (r.number) splices[{r.model, *r.number, r.memo}].push_back(i);
  }
  for (const auto& [key, indices] : splices) {
    for (std::size_t k = 0; k < indices.size(); ++k) {
      attempts[indices[k]] = {static_cast<int>(k) + 1, static_cast<int>(indices.size())};
    }
  }
  return attempts;
}

std::string FormatFigure(const Figure& figure, int decimals) {
  std::int64_t power = 1;
  for (int d = 0; d < decimals; ++d) power *= 10;
  const std::int64_t scaled = DivideHalfToEven(figure.units * power, figure.divisor * Decimal::kScale);
  // FormatDecimal of a whole number of the last decimal shown rounds nothing.
  std::int64_t toUnits = 1;
  for (int d = decimals; d < 4; ++d) toUnits *= 10;
  return FormatDecimal(Decimal::FromUnits(scaled * toUnits), decimals);
}

LossSummary Summarise(const std::vector<SpliceRecord>& records, const std::vector<Attempt>& attempts,
                      const AcceptanceLimits& limits) {
  LossSummary summary;
  summary.records = static_cast<int>(records.size());
  std::vector<std::int64_t> losses;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Attempt attempt = i < attempts.size() ? attempts[i] : Attempt{};
    if (!attempt.Final()) continue;
    ++summary.splices;
    if (attempt.of > 1) ++summary.resplicedSplices;
    for (const FiberRow& fiber : records[i].fibers) {
      ++summary.fibers;
      switch (Judge(fiber.estimatedLoss, limits)) {
        case Verdict::Pass:
          ++summary.pass;
          break;
        case Verdict::Warn:
          ++summary.warn;
          break;
        case Verdict::Fail:
          ++summary.fail;
          break;
        case Verdict::NoValue:
          ++summary.noValue;
          break;
      }
      if (fiber.estimatedLoss) losses.push_back(fiber.estimatedLoss->Units());
    }
  }
  const auto n = static_cast<std::int64_t>(losses.size());
  summary.fibersWithLoss = static_cast<int>(n);
  if (n == 0) return summary;

  std::int64_t sum = 0;
  for (std::int64_t loss : losses) sum += loss;
  summary.mean = Figure{sum, n};
  std::sort(losses.begin(), losses.end());
  summary.maximum = Figure{losses.back(), 1};
  const std::size_t middle = losses.size() / 2;
  summary.median =
      losses.size() % 2 != 0 ? Figure{losses[middle], 1} : Figure{losses[middle - 1] + losses[middle], 2};
  if (n > 1) {
    const long double mean = static_cast<long double>(sum) / n;
    long double squares = 0;
    for (std::int64_t loss : losses) squares += (loss - mean) * (loss - mean);
    // Thousandths of a unit: far finer than any figure shown.
    const long double deviation = std::sqrt(squares / (n - 1)) * 1000;
    summary.standardDeviation = Figure{std::llround(deviation), 1000};
  }
  summary.percentWithinLimit = Figure{(summary.pass + summary.warn) * 100 * Decimal::kScale, n};
  if (limits.averageLimit) summary.averageHolds = sum <= limits.averageLimit->Units() * n;
  return summary;
}

}  // namespace seamlog::report
