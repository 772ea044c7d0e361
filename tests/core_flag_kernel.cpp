// The flag operation on a record's words: the vector version against the
// plain one, and the plain one on a record small enough to check by hand.
#include "base/kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kavlin {
namespace {

using kernels::Level;

TEST(FlagKernel, PlainSetsAndClearsTheOneBitAndMarksChangedWords) {
  // Words 0x0001 0x0000 0x00FF 0xFFFE, little-endian.
  const struct {
    uint16_t flag;
    bool set;
    int32_t from, to;
    std::vector<uint8_t> after;
    int64_t changed;
    uint8_t marks;
  } cases[] = {
      {0x0001, true, 0, 4, {0x01, 0x00, 0x01, 0x00, 0xFF, 0x00, 0xFF, 0xFF}, 2, 0b1010},
      {0x0001, false, 0, 4, {0x00, 0x00, 0x00, 0x00, 0xFE, 0x00, 0xFE, 0xFF}, 2, 0b0101},
      {0x0010, false, 1, 3, {0x01, 0x00, 0x00, 0x00, 0xEF, 0x00, 0xFE, 0xFF}, 1, 0b0100},
      {0x0010, true, 3, 4, {0x01, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFE, 0xFF}, 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> words = {0x01, 0x00, 0x00, 0x00, 0xFF, 0x00, 0xFE, 0xFF};
    std::vector<uint8_t> marks(9, 0);
    EXPECT_EQ(kernels::flag_words(words.data(), c.from, c.to, c.flag, c.set, marks.data(), Level::Plain), c.changed);
    EXPECT_EQ(words, c.after) << c.flag << " " << c.set;
    EXPECT_EQ(marks[0], c.marks);
  }
}

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
