#include "ui/number_text.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace kavlin {

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kNoNumber = 1;
constexpr int32_t kOutOfRange = 2;
constexpr int32_t kDoesNotFit = 1;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A number ends at a blank, a comma, a slash or the end of the field.
bool ends_number(std::string_view field, std::size_t pos) {
  if (pos >= field.size()) return true;
  const char c = field[pos];
  return c == ' ' || c == ',' || c == '/';
}

std::size_t skip_blanks(std::string_view field) {
  std::size_t pos = 0;
  while (pos < field.size() && field[pos] == ' ') ++pos;
  return pos;
}

// The "C" locale, so that the decimal point is always '.', whatever the
// user's locale says.
locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

int32_t NUMBER_FROM_TEXT(std::string_view field, double& value) {
  std::size_t pos = skip_blanks(field);

  // Copy the number in the form strtod reads, checking its grammar on the
  // way: [sign] digits [. digits] [E [sign] digits], D exponents as E.
  std::string text;
  text.reserve(field.size() - pos + 1);
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    if (field[pos] == '-') text.push_back('-');
    ++pos;
  }
  std::size_t mantissa_digits = 0;
  while (pos < field.size() && is_digit(field[pos])) {
    text.push_back(field[pos++]);
    ++mantissa_digits;
  }
  if (pos < field.size() && field[pos] == '.') {
    text.push_back('.');
    ++pos;
    while (pos < field.size() && is_digit(field[pos])) {
      text.push_back(field[pos++]);
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0) return kNoNumber;
  if (pos < field.size() &&
      (field[pos] == 'E' || field[pos] == 'e' || field[pos] == 'D' || field[pos] == 'd')) {
    text.push_back('e');
    ++pos;
    if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) text.push_back(field[pos++]);
    std::size_t exponent_digits = 0;
    while (pos < field.size() && is_digit(field[pos])) {
      text.push_back(field[pos++]);
      ++exponent_digits;
    }
    if (exponent_digits == 0) return kNoNumber;
  }
  if (!ends_number(field, pos)) return kNoNumber;

  // glibc's strtod rounds correctly to the nearest double. ERANGE is set
  // both for overflow (an infinite result) and for underflow (a subnormal
  // or zero result); only overflow is refused.
  errno = 0;
  char* end = nullptr;
  const double result = strtod_l(text.c_str(), &end, c_locale());
  if (end != text.c_str() + text.size()) return kNoNumber;
  if (std::isinf(result)) return kOutOfRange;
  value = result;
  return kOk;
}

int32_t NUMBER_FROM_TEXT(std::string_view field, int32_t& value) {
  std::size_t pos = skip_blanks(field);
  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-')) {
    negative = field[pos] == '-';
    ++pos;
  }
  // Accumulate as a negative number so that INT32_MIN is reachable.
  int64_t acc = 0;
  std::size_t digits = 0;
  bool overflow = false;
  while (pos < field.size() && is_digit(field[pos])) {
    if (!overflow) {
      acc = acc * 10 - (field[pos] - '0');
      if (acc < static_cast<int64_t>(INT32_MIN) - 1) overflow = true;
    }
    ++pos;
    ++digits;
  }
  if (digits == 0 || !ends_number(field, pos)) return kNoNumber;
  if (overflow) return kOutOfRange;
  if (!negative) acc = -acc;
  if (acc < INT32_MIN || acc > INT32_MAX) return kOutOfRange;
  value = static_cast<int32_t>(acc);
  return kOk;
}

int32_t NUMBER_TO_TEXT(double value, int width, int decimals, std::string& field) {
  if (width <= 0) {
    field.clear();
    return kDoesNotFit;
  }
  if (decimals < 0) {
    field.assign(static_cast<std::size_t>(width), '*');
    return kDoesNotFit;
  }
  // std::to_chars in fixed notation gives the digits of printf("%.*f"),
  // always with a '.' as decimal point.
  // The largest double has 309 integer digits.
  std::string buffer(static_cast<std::size_t>(decimals) + 320, '\0');
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) {
    field.assign(static_cast<std::size_t>(width), '*');
    return kDoesNotFit;
  }
  const std::size_t length = static_cast<std::size_t>(result.ptr - buffer.data());
  if (length > static_cast<std::size_t>(width)) {
    field.assign(static_cast<std::size_t>(width), '*');
    return kDoesNotFit;
  }
  field.assign(static_cast<std::size_t>(width) - length, ' ');
  field.append(buffer.data(), length);
  return kOk;
}

}  // namespace kavlin
