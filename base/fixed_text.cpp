#include "base/fixed_text.h"

namespace kavlin {

std::string pad_field(std::string_view text, std::size_t length) {
  std::string field(text.substr(0, length));
  field.resize(length, ' ');
  return field;
}

std::size_t len_trim(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && text[n - 1] == ' ') --n;
  return n;
}

std::string trim_right(std::string_view text) {
  return std::string(text.substr(0, len_trim(text)));
}

std::size_t utf8_sequence(std::string_view text, std::size_t i, char32_t& code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  char32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

namespace {

// Bytes of the character that starts at `i`: the length of a valid UTF-8
// sequence there, 1 for an ASCII byte or for a byte that starts none.
std::size_t char_bytes(std::string_view text, std::size_t i) {
  char32_t code = 0;
  const std::size_t length = utf8_sequence(text, i, code);
  return length == 0 ? 1 : length;
}

}  // namespace

std::size_t text_chars(std::string_view text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); i += char_bytes(text, i)) ++chars;
  return chars;
}

std::string cut_chars(std::string_view text, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < chars && i < text.size(); ++n) i += char_bytes(text, i);
  return std::string(text.substr(0, i));
}

std::string pad_chars(std::string_view text, std::size_t chars) {
  std::string field = cut_chars(text, chars);
  field.append(chars - text_chars(field), ' ');
  return field;
}

}  // namespace kavlin
