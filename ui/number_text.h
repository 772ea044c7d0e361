// Number from text and number to text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavlin {

// Free-format reading of one real number from a text field: leading blanks
// are skipped; the number is an optional sign, digits with or without a
// decimal point, and an optional exponent (E or D, either case, with an
// optional sign and at least one digit); it ends at a blank, comma, slash
// or the end of the field, and the rest of the field is ignored. The value
// is the double nearest to the decimal number. Returns 0 on success,
// non-zero when the field holds no such number (an empty field included)
// or the number lies outside the range of a double.
int32_t NUMBER_FROM_TEXT(std::string_view field, double& value);

// The same for a 32-bit whole number: optional sign and decimal digits; a
// decimal point, exponent or letter inside the number fails, as does a
// value outside the 32-bit range.
int32_t NUMBER_FROM_TEXT(std::string_view field, int32_t& value);

// Fixed-point formatting into a field of `width` characters with
// `decimals` decimals, right-aligned. Returns 0 on success; when the number
// does not fit, the field is filled with asterisks and the result is
// non-zero.
int32_t NUMBER_TO_TEXT(double value, int width, int decimals, std::string& field);

}  // namespace kavlin
