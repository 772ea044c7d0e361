// Number from text and number to text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavlin {

// The number grammars of the program's readers.
enum class NumberGrammar {
  WHOLE,             // [sign] digits
  DECIMAL,           // [sign] digits [. [digits]] or [sign] . digits, then
                     // optionally E or e, [sign], digits
  DECIMAL_E_OR_D,    // the same, with D or d also as exponent letter
};

// Length of the number at the very start of `text` (no blanks skipped):
// the longest stretch the grammar accepts, 0 when there is none. An
// exponent letter without digits after it is no part of the number.
std::size_t number_length(std::string_view text, NumberGrammar grammar);

// The double nearest to a text that number_length accepts whole under a
// DECIMAL grammar, read in the "C" locale. Empty when the value lies beyond
// the largest double; a value below the least subnormal is the zero of its
// sign.
std::optional<double> decimal_value(std::string_view number);

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
