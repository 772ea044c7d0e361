// ASCII character classes and case, whatever the locale: the program's
// names and numbers are ASCII, and a byte above 127 is never a letter or
// a digit here.
#pragma once

#include <cstddef>
#include <string_view>

namespace kavlin {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal but for the case of ASCII letters.
constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

}  // namespace kavlin
