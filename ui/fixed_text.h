// Fixed-length text fields: values padded with blanks on the right, whose
// length is the position of their last non-blank character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavlin {

// The text cut or blank-padded to exactly `length` characters.
std::string pad_field(std::string_view text, std::size_t length);

// Position of the last non-blank character (0 for an all-blank field).
// Only the blank counts here; tabs and NUL bytes are characters.
std::size_t len_trim(std::string_view text);

// The text without its trailing blanks.
std::string trim_right(std::string_view text);

// Length of the valid UTF-8 sequence that starts at byte `i` of `text`, with
// its code point in `code`; 0 when no valid sequence starts there (an
// ASCII byte, a stray or cut continuation byte, an overlong form, a
// surrogate or a value beyond Unicode).
std::size_t utf8_sequence(std::string_view text, std::size_t i, char32_t& code);

}  // namespace kavlin
