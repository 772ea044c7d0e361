#include "tests/polygon_reader_test_support.h"

namespace kavlin::testing {

const std::vector<LineCase>& line_cases() {
  static const std::vector<LineCase> cases = {
      {"blank_separated", "5.7545 50.0235", 0, 5.7545, 50.0235},
      {"comma", "5.7545,50.0235", 0, 5.7545, 50.0235},
      {"comma_blank", "5.7545, 50.0235", 0, 5.7545, 50.0235},
      {"tab", "5.7545\t50.0235", 0, 5.7545, 50.0235},
      {"semicolon", "5.7545;50.0235", 0, 5.7545, 50.0235},
      {"three_numbers", "1 2 3", 0, 1.0, 3.0},
      {"negative", "-3.5 -12.25", 0, -3.5, -12.25},
      {"trailing_comma", "5.7545 50.0235,", 1000},
      {"no_delimiter", "50.0235", 1000},
      {"three_leading_blanks", "   5.0", 1000},
      {"one_char", "5", 1000},
      {"blank", "", -2},
      // Further edge cases.
      {"all_blanks", std::string(80, ' '), -2},
      {"trailing_tab", "5.7545 50.0235\t", 1000},
      {"trailing_semicolon", "5.7545 50.0235;", 1000},
      {"trailing_blanks", "5.7545 50.0235      ", 0, 5.7545, 50.0235},
      {"two_leading_blanks", "  5.0", 1000},
      {"delimiter_only_in_position_1", " 5.0", 1000},
      {"two_chars", "56", 1000},
      {"two_chars_after_trim", "56    ", 1000},
      {"shortest_vertex", "5 6", 0, 5.0, 6.0},
      {"tab_only", "\t", 1000},
      {"tabs_only", "\t\t\t\t", 1000},
      {"mixed_delimiters", "5 ,;\t 6", 0, 5.0, 6.0},
      {"leading_blank_then_vertex", " 7.25 45.5", 0, 7.25, 45.5},
      {"d_exponent", "1.5D1 2e-3", 0, 15.0, 0.002},
      {"exponent_forms", "1.5d1;-2E+3", 0, 15.0, -2000.0},
      {"no_leading_digit", ".5 -.25", 0, 0.5, -0.25},
      {"explicit_plus", "+5 +6", 0, 5.0, 6.0},
      {"slash_ends_latitude", "5.7545 50/3", 0, 5.7545, 50.0},
      {"slash_ends_longitude", "5.7545/9 50.0235", 0, 5.7545, 50.0235},
      {"longitude_without_digit", "abc 50", 1000},
      {"longitude_not_a_number", "x5 50", 1000},
      {"latitude_not_a_number", "5 abc", 1000},
      {"latitude_letters_after_digits", "5 50N", 1000},
      {"semicolon_inside_longitude", "5;6 7", 1000},
      {"exponent_without_digits", "5 6e", 1000},
      {"latitude_overflow", "5 1e400", 1000},
      {"longitude_overflow", "1e400 5", 1000},
      {"nul_inside_longitude", std::string("1\0" "2 3", 5), 1000},
      {"nul_before_delimiter", std::string("5\0 6", 4), 0, 5.0, 6.0},
      {"control_char_in_latitude", "1 2\x01", 1000},
      {"cr_at_end", "5 6\r", 1000},
      {"high_bytes", "\xff\xfe 1", 1000},
  };
  return cases;
}

}  // namespace kavlin::testing
