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

// Texts are the program's byte strings (UTF-8 where they are valid); their
// lengths in characters count code points, and a byte that is no part of a
// valid UTF-8 character counts as one character.

// Longest UTF-8 encoding of one character: a field of n characters is read
// from a control with room for n of them.
inline constexpr std::size_t UTF8_MAX_BYTES = 4;

// Length of the valid UTF-8 sequence that starts at byte `i` of `text`, with
// its code point in `code`; 0 when no valid sequence starts there (an
// ASCII byte, a stray or cut continuation byte, an overlong form, a
// surrogate or a value beyond Unicode).
std::size_t utf8_sequence(std::string_view text, std::size_t i, char32_t& code);
// Appends the UTF-8 encoding of the code point `code` (at most 0x10FFFF).
void append_utf8(std::string& out, char32_t code);

// Number of characters of `text`.
std::size_t text_chars(std::string_view text);
// The first `chars` characters of `text` (all of it when shorter); never
// cuts a UTF-8 character.
std::string cut_chars(std::string_view text, std::size_t chars);
// `text` cut to `chars` characters and blank-padded to that many.
std::string pad_chars(std::string_view text, std::size_t chars);

}  // namespace kavlin
