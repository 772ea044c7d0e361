#include "ui/fixed_text.h"

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

}  // namespace kavlin
