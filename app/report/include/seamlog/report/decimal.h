#pragma once
// Decimal values of the tables (losses in dB, angles, offsets) held exactly,
// in ten-thousandths, so that limits, sums and the rounding of the figures
// shown never suffer from binary fractions.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace seamlog::report {

class Decimal {
 public:
  static constexpr std::int64_t kScale = 10000;  // four decimals

  constexpr Decimal() = default;
  static constexpr Decimal FromUnits(std::int64_t units) {
    Decimal d;
    d.units_ = units;
    return d;
  }
  // Whole ten-thousandths.
  constexpr std::int64_t Units() const { return units_; }
  double ToDouble() const { return static_cast<double>(units_) / kScale; }

  friend constexpr auto operator<=>(Decimal, Decimal) = default;

 private:
  std::int64_t units_ = 0;
};

// A field's text as a number: optional blanks around an optional sign and
// digits with at most one point ("0.14", " 0.7 ", "-1", ".5"). Anything else
// (an empty or blank field, letters, "1e3", a second point, more than six
// digits before the point) is no value. Decimals past the fourth are rounded
// half to even.
std::optional<Decimal> ParseDecimal(std::string_view text);

// numerator / denominator rounded to the nearest whole number, halves to the
// even neighbour. denominator > 0.
std::int64_t DivideHalfToEven(std::int64_t numerator, std::int64_t denominator);

// The value with the given number of decimals (0 to 4), rounded half to even:
// FormatDecimal(0.125 dB, 2) is "0.12".
std::string FormatDecimal(Decimal value, int decimals);

}  // namespace seamlog::report
