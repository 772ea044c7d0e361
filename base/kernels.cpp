#include "base/kernels.h"

#include <algorithm>
#include <cstring>

namespace kavlin::kernels {

// --- Edge crossings of the area test ---

// --- The flag operation on the words of a record ---

// --- Changed words of a record: found, and hashed ---

namespace {
inline uint16_t word_of(const uint8_t* bytes, std::size_t w) {
  return static_cast<uint16_t>(bytes[2 * w] | bytes[2 * w + 1] << 8);
}
}  // namespace

bool find_changed_words(bool set, int flag_bit, const uint8_t* before, const uint8_t* after, std::size_t size,
                        uint8_t* bitmap) {
  const std::size_t words = size / 2;
  std::memset(bitmap, 0, (words + 7) / 8);
  const auto flag = static_cast<uint16_t>(1u << flag_bit);
  uint16_t wrong = 0;
  for (std::size_t w = 0; w < words; ++w) {
    const uint16_t was = word_of(before, w), now = word_of(after, w);
    const auto diff = static_cast<uint16_t>(was ^ now);
    // Another bit, or the flag where the operation finds it already set
    // (set) or leaves it set (clear).
    wrong |= static_cast<uint16_t>((diff & ~flag) | (diff & (set ? was : now)));
    bitmap[w / 8] |= static_cast<uint8_t>(((diff >> flag_bit) & 1u) << (w % 8));
  }
  return wrong == 0;
}

void masked_words(const uint8_t* record, std::size_t size, const uint8_t* bitmap, uint8_t* out) {
  const std::size_t words = size / 2;
  // Eight words a bitmap byte: none or all of them marked is one move.
  for (std::size_t b = 0; 8 * b < words; ++b) {
    const std::size_t first = 8 * b, count = std::min<std::size_t>(8, words - first);
    if (bitmap[b] == 0) {
      std::memset(out + 2 * first, 0, 2 * count);
    } else if (bitmap[b] == 0xFF) {
      std::memcpy(out + 2 * first, record + 2 * first, 2 * count);
    } else {
      for (std::size_t w = first; w < first + count; ++w) {
        const bool marked = (bitmap[b] >> (w - first) & 1) != 0;
        out[2 * w] = marked ? record[2 * w] : 0;
        out[2 * w + 1] = marked ? record[2 * w + 1] : 0;
      }
    }
  }
}

}  // namespace kavlin::kernels
