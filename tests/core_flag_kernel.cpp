// The flag operation on a record's words: the vector version against the
// plain one (the engine's tests check the exact bits it leaves in files).
#include "base/kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kavlin {
namespace {

using kernels::Level;

// Records of every length the engine's spans take (up to a 3-second
// record), starting anywhere, with and without marks: the best version
// leaves exactly the plain version's words, count and marks.
TEST(FlagKernel, BestMatchesPlain) {
  std::mt19937 random(1912);
  constexpr int32_t WORDS = 10201;
  const struct {
    int32_t from, to;
  } spans[] = {{0, 0}, {0, 1}, {3, 10}, {5, 21}, {7, 8 * 1200 + 7}, {0, WORDS},
               {1, WORDS}, {WORDS - 9, WORDS}, {60, 61 + 64}, {63, 63 + 8 * 9}};
  for (const auto& span : spans) {
    for (const uint16_t flag : {0x0001, 0x0004, 0x0010}) {
      for (const bool set : {true, false}) {
        for (const bool mark : {true, false}) {
          std::vector<uint8_t> plain(2 * WORDS);
          for (uint8_t& b : plain) b = static_cast<uint8_t>(random());
          std::vector<uint8_t> best = plain;
          std::vector<uint8_t> plain_marks((WORDS + 7) / 8 + 8, 0x20), best_marks = plain_marks;
          const int64_t plain_count = kernels::flag_words(plain.data(), span.from, span.to, flag, set,
                                                          mark ? plain_marks.data() : nullptr, Level::Plain);
          const int64_t best_count = kernels::flag_words(best.data(), span.from, span.to, flag, set,
                                                         mark ? best_marks.data() : nullptr, Level::Best);
          const std::string what = std::to_string(span.from) + ".." + std::to_string(span.to) + " flag " +
                                   std::to_string(flag) + (set ? " set" : " clear") + (mark ? " marked" : "");
          EXPECT_EQ(best_count, plain_count) << what;
          EXPECT_TRUE(best == plain) << what;
          EXPECT_TRUE(best_marks == plain_marks) << what;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kavlin
