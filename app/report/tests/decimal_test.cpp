#include "seamlog/report/decimal.h"

#include <gtest/gtest.h>

#include <optional>

namespace seamlog::report {
namespace {

struct ParseCase {
  const char* text;
  std::optional<std::int64_t> units;
};

TEST(Decimal, FieldsParseToExactTenThousandthsOrToNoValue) {
  const ParseCase cases[] = {
      {"0.14", 1400},         {" 0.14", 1400},       {"0.7 ", 7000},
      {"1", 10000},           {"+1", 10000},         {"-0.05", -500},
      {".5", 5000},           {"5.", 50000},         {"123456", 1234560000},
      {"0.12345", 1234},      {"0.12355", 1236},     {"0.123451", 1235},
      {"0.99995", 10000},     {"", std::nullopt},    {"   ", std::nullopt},
      {"abc", std::nullopt},  {"1e3", std::nullopt}, {"0.1.2", std::nullopt},
      {"-", std::nullopt},    {".", std::nullopt},   {"1234567", std::nullopt},
      {"0,14", std::nullopt}, {"1 2", std::nullopt}, {"nan", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const ParseCase& c : cases) {
    const std::optional<Decimal> value = ParseDecimal(c.text);
    ASSERT_EQ(value.has_value(), c.units.has_value()) << "'" << c.text << "'";
    if (value) {
      EXPECT_EQ(value->Units(), *c.units) << "'" << c.text << "'";
    }
  }
}

TEST(Decimal, DivisionRoundsHalvesToTheEvenNeighbour) {
  struct Case {
    std::int64_t numerator, denominator, quotient;
  };
  const Case cases[] = {{5, 2, 2}, {7, 2, 4}, {-5, 2, -2}, {-7, 2, -4},
                        {1, 3, 0}, {2, 3, 1}, {-2, 3, -1}, {6, 3, 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(DivideHalfToEven(c.numerator, c.denominator), c.quotient)
        << c.numerator << "/" << c.denominator;
  }
}

TEST(Decimal, FormattingRoundsOnceHalfToEven) {
  struct Case {
    std::int64_t units;
    int decimals;
    const char* text;
  };
  const Case cases[] = {{1250, 2, "0.12"},  {1350, 2, "0.14"}, {1251, 2, "0.13"},
                        {-500, 2, "-0.05"}, {-40, 2, "0.00"},  {123456789, 4, "12345.6789"},
                        {5000, 0, "0"},     {15000, 0, "2"},   {3000, 2, "0.30"},
                        {100, 3, "0.010"}};
  for (const Case& c : cases) {
    EXPECT_EQ(FormatDecimal(Decimal::FromUnits(c.units), c.decimals), c.text) << c.units;
  }
}

}  // namespace
}  // namespace seamlog::report
