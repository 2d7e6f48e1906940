#include "seamlog/report/decimal.h"

#include <cstdlib>

namespace seamlog::report {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr int kMaxWholeDigits = 6;  // keeps sums over a million rows, and their figures, in 64 bits

}  // namespace

std::optional<Decimal> ParseDecimal(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::int64_t whole = 0;
  int wholeDigits = 0;
  std::size_t i = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (++wholeDigits > kMaxWholeDigits) return std::nullopt;
    whole = whole * 10 + (text[i] - '0');
  }
  std::int64_t fraction = 0;  // the first four decimals
  int fractionDigits = 0;
  bool pastFourth = false;   // any decimal after the fourth
  int fifth = 0;             // the fifth decimal
  bool restNonZero = false;  // any non-zero decimal after the fifth
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && IsDigit(text[i]); ++i) {
      const int digit = text[i] - '0';
      if (fractionDigits < 4) {
        fraction = fraction * 10 + digit;
      } else if (!pastFourth) {
        pastFourth = true;
        fifth = digit;
      } else if (digit != 0) {
        restNonZero = true;
      }
      ++fractionDigits;
    }
  }
  if (i != text.size() || wholeDigits + fractionDigits == 0) return std::nullopt;
  for (int d = fractionDigits; d < 4; ++d) fraction *= 10;
  std::int64_t units = whole * Decimal::kScale + fraction;
  if (pastFourth && (fifth > 5 || (fifth == 5 && (restNonZero || units % 2 != 0)))) ++units;
  return Decimal::FromUnits(negative ? -units : units);
}

std::int64_t DivideHalfToEven(std::int64_t numerator, std::int64_t denominator) {
  std::int64_t quotient = numerator / denominator;
  std::int64_t remainder = numerator % denominator;
  if (remainder < 0) {  // floor division
    remainder += denominator;
    --quotient;
  }
  const std::int64_t twice = 2 * remainder;
  if (twice > denominator || (twice == denominator && quotient % 2 != 0)) ++quotient;
  return quotient;
}

std::string FormatDecimal(Decimal value, int decimals) {
  std::int64_t step = 1;
  for (int d = decimals; d < 4; ++d) step *= 10;
  std::int64_t scaled = DivideHalfToEven(value.Units(), step);
  const bool negative = scaled < 0;
  if (negative) scaled = -scaled;
  std::int64_t unit = 1;
  for (int d = 0; d < decimals; ++d) unit *= 10;
  std::string text = std::to_string(scaled / unit);
  if (decimals > 0) {
    std::string fraction = std::to_string(scaled % unit);
    text += '.';
    text.append(static_cast<std::size_t>(decimals) - fraction.size(), '0');
    text += fraction;
  }
  return negative ? "-" + text : text;
}

}  // namespace seamlog::report
