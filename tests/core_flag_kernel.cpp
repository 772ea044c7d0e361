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

// Bits 5 to 15 of a record's words: the known answer of a few words, and
// the best version against the plain one for every count around its
// eight-word steps and its 4000-round sums.
TEST(HighBitsKernel, KnownWordsAndBestMatchesPlain) {
  const std::vector<uint8_t> few{0x1F, 0x00, 0x20, 0x00, 0xFF, 0xFF, 0xE0, 0x07, 0x00, 0x00};
  for (const Level level : {Level::Plain, Level::Best}) {
    EXPECT_EQ(kernels::high_bits(few.data(), 5, level), (kernels::HighBitsSpan{0, 2047, 3}));
    EXPECT_EQ(kernels::high_bits(few.data() + 2, 3, level), (kernels::HighBitsSpan{1, 2047, 3}));
    EXPECT_EQ(kernels::high_bits(few.data(), 0, level), (kernels::HighBitsSpan{0x7FF, 0, 0}));
  }
  std::mt19937 random(50);
  std::vector<uint8_t> words(2 * 40000);
  for (uint8_t& b : words) b = static_cast<uint8_t>(random());
  // Every third word has its bits 5 to 15 clear.
  for (std::size_t w = 0; w < words.size() / 2; w += 3) {
    words[2 * w] &= 0x1F;
    words[2 * w + 1] = 0;
  }
  for (const std::size_t count : {1u, 7u, 8u, 9u, 15u, 16u, 10201u, 5151u, 32000u, 32007u, 40000u}) {
    for (const std::size_t from : {0u, 1u, 3u}) {
      if (from + count > words.size() / 2) continue;
      const uint8_t* start = words.data() + 2 * from;
      EXPECT_EQ(kernels::high_bits(start, count, Level::Best), kernels::high_bits(start, count, Level::Plain))
          << count << " words from " << from;
    }
  }
}

}  // namespace
}  // namespace kavlin
