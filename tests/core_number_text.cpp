// Free-format number reading and fixed-point number formatting.
#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>

#include "base/number_text.h"

namespace kavlin {
namespace {

struct RealCase {
  const char* text;
  double expected;
};

// The value must be exactly the double nearest to the decimal text; a
// bitwise comparison also tells -0.0 from 0.0.
class NumberRealAccepted : public ::testing::TestWithParam<RealCase> {};

TEST_P(NumberRealAccepted, GivesNearestDouble) {
  double value = 12345.0;
  ASSERT_EQ(NUMBER_FROM_TEXT(GetParam().text, value), 0) << '"' << GetParam().text << '"';
  EXPECT_EQ(std::bit_cast<uint64_t>(value), std::bit_cast<uint64_t>(GetParam().expected))
      << '"' << GetParam().text << "\" gave " << value;
}

INSTANTIATE_TEST_SUITE_P(
    Number, NumberRealAccepted,
    ::testing::Values(
        RealCase{"5.7545", 5.7545}, RealCase{"50.0235", 50.0235}, RealCase{"5", 5.0},
        RealCase{"5.", 5.0}, RealCase{".5", 0.5}, RealCase{"-.5", -0.5}, RealCase{"+7.25", 7.25},
        RealCase{"   -3.5", -3.5}, RealCase{"1d2", 100.0}, RealCase{"1D2", 100.0},
        RealCase{"1e2", 100.0}, RealCase{"1E+2", 100.0}, RealCase{"2.5e-1", 0.25},
        RealCase{"2.5D-1", 0.25}, RealCase{"-4.163336342344337e-17", -4.163336342344337e-17},
        RealCase{"0.1", 0.1}, RealCase{"-0", -0.0}, RealCase{"0", 0.0}, RealCase{"-0.0", -0.0},
        // The number ends at a blank, comma or slash; the rest is ignored.
        RealCase{"5.7545 50.0235", 5.7545}, RealCase{"5.7545,x", 5.7545},
        RealCase{"12/junk", 12.0}, RealCase{"1e2 abc", 100.0},
        // Rounding to nearest at the limits of the range.
        RealCase{"1.7976931348623157e308", std::numeric_limits<double>::max()},
        RealCase{"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        RealCase{"4e-400", 0.0}, RealCase{"-4e-400", -0.0},
        // Halfway case that must round to even: 2^53 + 1.
        RealCase{"9007199254740993", 9007199254740992.0},
        RealCase{"0.30000000000000004", 0.30000000000000004}));

class NumberRealRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(NumberRealRefused, Fails) {
  double value = 42.0;
  EXPECT_NE(NUMBER_FROM_TEXT(GetParam(), value), 0) << '"' << GetParam() << '"';
  EXPECT_EQ(value, 42.0) << "a failed read must leave the value alone";
}

INSTANTIATE_TEST_SUITE_P(Number, NumberRealRefused,
                         ::testing::Values("", "    ", ".", "-", "+", "-.", "e5", "1e", "1e+",
                                           "1.2.3", "1a", "abc", "inf", "-inf", "nan", "0x10",
                                           "3*1.5", "1e309", "-1e309", "1.8e308", "\t5",
                                           "5\t", ",5", "1_000", "5;", "--5", "+-5", "1e2.5", "1d",
                                           "1..2", ".e5", "1ee5", "1e5e5", "1E-5x", "- 5", "+.e",
                                           "\v5", "5\f", "0x1p3", "1q5",
                                           // Digits of other scripts, a middle dot.
                                           "\xd9\xa3", "\xef\xbc\x95", "1\xc2\xb7" "5"));

TEST(NumberText, NulIsAnOrdinaryCharacter) {
  for (const std::string& text : {std::string("5\0", 2), std::string("1\0" "2", 3), std::string("\0" "5", 2),
                                   std::string("1e\0" "5", 4)}) {
    double real = 42.0;
    int32_t whole = 42;
    EXPECT_NE(NUMBER_FROM_TEXT(text, real), 0) << text.size();
    EXPECT_NE(NUMBER_FROM_TEXT(text, whole), 0) << text.size();
    EXPECT_EQ(real, 42.0);
    EXPECT_EQ(whole, 42);
  }
}

TEST(NumberText, ReadsInTheCLocaleWhateverTheUserLocale) {
  // A locale with a decimal comma must not change how "1.5" reads or how
  // 1.5 is written.
  const char* comma_locale = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      comma_locale = name;
      break;
    }
  }
  if (comma_locale == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  double value = 0.0;
  const int32_t read = NUMBER_FROM_TEXT("1.5", value);
  std::string field;
  const int32_t written = NUMBER_TO_TEXT(1.5, 5, 2, field);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(read, 0) << comma_locale;
  EXPECT_EQ(value, 1.5) << comma_locale;
  EXPECT_EQ(written, 0) << comma_locale;
  EXPECT_EQ(field, " 1.50") << comma_locale;
}

TEST(NumberText, LengthIsTheLongestStretchTheGrammarTakes) {
  const struct {
    const char* text;
    NumberGrammar grammar;
    std::size_t length;
  } cases[] = {
      {"12.5e3x", NumberGrammar::DECIMAL, 6},    {"1e+x", NumberGrammar::DECIMAL, 1},
      {"1d2", NumberGrammar::DECIMAL, 1},         {"1d2", NumberGrammar::DECIMAL_E_OR_D, 3},
      {"-.5e", NumberGrammar::DECIMAL, 3},        {"7.", NumberGrammar::DECIMAL, 2},
      {"+", NumberGrammar::DECIMAL, 0},           {" 5", NumberGrammar::DECIMAL, 0},
      {"-12.5", NumberGrammar::WHOLE, 3},         {"+.5", NumberGrammar::WHOLE, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(number_length(c.text, c.grammar), c.length) << c.text;
}

struct IntCase {
  const char* text;
  bool ok;
  int32_t expected;
};

class NumberInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(NumberInt, ReadsWholeNumbers) {
  int32_t value = 777;
  const int32_t result = NUMBER_FROM_TEXT(GetParam().text, value);
  if (GetParam().ok) {
    ASSERT_EQ(result, 0) << '"' << GetParam().text << '"';
    EXPECT_EQ(value, GetParam().expected) << '"' << GetParam().text << '"';
  } else {
    EXPECT_NE(result, 0) << '"' << GetParam().text << '"';
    EXPECT_EQ(value, 777);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Number, NumberInt,
    ::testing::Values(IntCase{"-51", true, -51}, IntCase{"51", true, 51}, IntCase{"+7", true, 7},
                      IntCase{"  12 rest", true, 12}, IntCase{"3,4", true, 3}, IntCase{"8/", true, 8},
                      IntCase{"0", true, 0}, IntCase{"2147483647", true, 2147483647},
                      IntCase{"-2147483648", true, INT32_MIN},
                      IntCase{"000000000000000000042", true, 42}, IntCase{"1a3", false, 0},
                      IntCase{"12.5", false, 0}, IntCase{"12.", false, 0}, IntCase{"1e3", false, 0},
                      IntCase{"2147483648", false, 0}, IntCase{"-2147483649", false, 0},
                      IntCase{"99999999999999999999999", false, 0}, IntCase{"", false, 0},
                      IntCase{"   ", false, 0}, IntCase{"-", false, 0}, IntCase{"x", false, 0}));

struct ToTextCase {
  double value;
  int width;
  int decimals;
  const char* expected;
  bool fits;
};

class NumberToText : public ::testing::TestWithParam<ToTextCase> {};

TEST_P(NumberToText, FormatsRightAligned) {
  std::string field = "old";
  const int32_t result = NUMBER_TO_TEXT(GetParam().value, GetParam().width, GetParam().decimals, field);
  EXPECT_EQ(field, GetParam().expected);
  if (GetParam().fits) {
    EXPECT_EQ(result, 0);
  } else {
    EXPECT_NE(result, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Number, NumberToText,
    ::testing::Values(ToTextCase{static_cast<double>(1.01f), 5, 2, " 1.01", true},
                      ToTextCase{1.01, 4, 2, "1.01", true}, ToTextCase{-2.5, 8, 3, "  -2.500", true},
                      ToTextCase{0.125, 6, 2, "  0.12", true},  // exact binary tie: to even
                      ToTextCase{2.675, 6, 2, "  2.67", true},  // 2.67499999... in binary
                      ToTextCase{123.0, 3, 0, "123", true}, ToTextCase{99.5, 3, 0, "100", true},
                      ToTextCase{12345.0, 5, 2, "*****", false}, ToTextCase{-1.0, 4, 2, "****", false},
                      ToTextCase{99.996, 5, 2, "*****", false}));

TEST(NumberText, ToTextMatchesPrintfFixedPoint) {
  // Same digits as "%*.*f" in the C locale, over a spread of values.
  const double values[] = {0.0,   -0.0,      0.5,   1.5,    2.5,        -2.5,     1.005,  0.045,
                           123.456, -99.995, 1e-7, 5e15,  12345.678, 1.01f,   49.33,  -0.0004};
  for (const double v : values) {
    for (int decimals = 0; decimals <= 4; ++decimals) {
      for (int width = 1; width <= 22; width += 7) {
        char expected[64];
        const int n = std::snprintf(expected, sizeof expected, "%*.*f", width, decimals, v);
        std::string field;
        const int32_t result = NUMBER_TO_TEXT(v, width, decimals, field);
        if (n <= width) {
          EXPECT_EQ(result, 0) << v << " " << width << " " << decimals;
          EXPECT_EQ(field, expected) << v << " " << width << " " << decimals;
        } else {
          EXPECT_NE(result, 0) << v << " " << width << " " << decimals;
          EXPECT_EQ(field, std::string(static_cast<std::size_t>(width), '*'));
        }
      }
    }
  }
}

TEST(NumberText, ToTextRefusesBadFieldShapes) {
  std::string field = "old";
  EXPECT_NE(NUMBER_TO_TEXT(1.0, 0, 2, field), 0);
  EXPECT_EQ(field, "");
  EXPECT_NE(NUMBER_TO_TEXT(1.0, 4, -1, field), 0);
  EXPECT_EQ(field, "****");
}

}  // namespace
}  // namespace kavlin
