#include "base/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "base/ascii_text.h"

namespace kavlin {

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kNoNumber = 1;
constexpr int32_t kOutOfRange = 2;
constexpr int32_t kDoesNotFit = 1;

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

// The decimal exponent of the first significant digit of a decimal number
// text (5.7 gives 0, 0.05 gives -2, 12e3 gives 4), the exponent part read
// up to a bound far beyond any double. Only called on a number with a
// non-zero digit.
int64_t leading_exponent(std::string_view text) {
  constexpr int64_t BOUND = 1'000'000'000;
  std::size_t pos = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  int64_t exponent = -1;
  bool significant = false;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    if (text[pos] != '0') significant = true;
    if (significant) ++exponent;
  }
  if (pos < text.size() && text[pos] == '.') {
    for (++pos; !significant && pos < text.size() && is_digit(text[pos]); ++pos) {
      if (text[pos] != '0') significant = true;
      else --exponent;
    }
    while (pos < text.size() && is_digit(text[pos])) ++pos;
  }
  if (pos < text.size()) {  // the exponent letter
    ++pos;
    const bool negative = pos < text.size() && text[pos] == '-';
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    int64_t e = 0;
    for (; pos < text.size() && is_digit(text[pos]); ++pos) e = std::min(BOUND, e * 10 + (text[pos] - '0'));
    exponent += negative ? -e : e;
  }
  return exponent;
}

}  // namespace

std::size_t number_length(std::string_view text, NumberGrammar grammar) {
  std::size_t pos = 0;
  auto digits = [&] {
    const std::size_t first = pos;
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    return pos - first;
  };
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  std::size_t mantissa_digits = digits();
  if (grammar == NumberGrammar::WHOLE) return mantissa_digits == 0 ? 0 : pos;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    mantissa_digits += digits();
  }
  if (mantissa_digits == 0) return 0;
  const std::size_t mantissa_end = pos;
  if (pos < text.size()) {
    const char c = text[pos];
    const bool d_letter = grammar == NumberGrammar::DECIMAL_E_OR_D && (c == 'D' || c == 'd');
    if (c == 'E' || c == 'e' || d_letter) {
      ++pos;
      if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
      if (digits() == 0) return mantissa_end;
    }
  }
  return pos;
}

std::optional<double> decimal_value(std::string_view number) {
  // from_chars reads the same grammar, with E for the exponent letter and
  // without a plus sign; it rounds correctly to the nearest double and
  // never looks at the locale.
  std::string text(number.substr(!number.empty() && number[0] == '+' ? 1 : 0));
  for (char& c : text) {
    if (c == 'D' || c == 'd') c = 'e';
  }
  double result = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result, std::chars_format::general);
  if (ec == std::errc::result_out_of_range && end == text.data() + text.size()) {
    // Beyond the largest double is refused; below the least subnormal is
    // the zero of the number's sign.
    if (leading_exponent(text) >= 0) return std::nullopt;
    return text[0] == '-' ? -0.0 : 0.0;
  }
  if (ec != std::errc() || end != text.data() + text.size() || std::isinf(result)) return std::nullopt;
  return result;
}

namespace {

// The free-format number of a field: after leading blanks, ended by a
// blank, comma, slash or the end of the field. Empty when there is none.
std::string_view free_format_number(std::string_view field, NumberGrammar grammar) {
  const std::size_t start = skip_blanks(field);
  const std::size_t length = number_length(field.substr(start), grammar);
  if (length == 0 || !ends_number(field, start + length)) return {};
  return field.substr(start, length);
}

}  // namespace

int32_t NUMBER_FROM_TEXT(std::string_view field, double& value) {
  const std::string_view number = free_format_number(field, NumberGrammar::DECIMAL_E_OR_D);
  if (number.empty()) return kNoNumber;
  const std::optional<double> result = decimal_value(number);
  if (!result) return kOutOfRange;
  value = *result;
  return kOk;
}

int32_t NUMBER_FROM_TEXT(std::string_view field, int32_t& value) {
  std::string_view number = free_format_number(field, NumberGrammar::WHOLE);
  if (number.empty()) return kNoNumber;
  // from_chars takes a minus sign but no plus sign.
  if (number.front() == '+') number.remove_prefix(1);
  int32_t result = 0;
  const auto [ptr, ec] = std::from_chars(number.data(), number.data() + number.size(), result);
  if (ec != std::errc()) return kOutOfRange;
  value = result;
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
