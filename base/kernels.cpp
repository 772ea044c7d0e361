#include "base/kernels.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kavlin::kernels {

// --- Edge crossings of the area test ---

void crossings(double y, const double* xi, const double* yi, const double* d, const double* b, std::size_t n,
               double* out) {
  for (std::size_t k = 0; k < n; ++k) out[k] = crossing_at(y, xi[k], yi[k], d[k], b[k]);
}

// --- The flag operation on the words of a record ---

namespace {

int64_t flag_words_plain(uint8_t* words, int32_t from, int32_t to, uint16_t flag, bool set, uint8_t* changed) {
  int64_t count = 0;
  for (int32_t w = from; w < to; ++w) {
    uint8_t* p = words + 2 * w;
    const auto old_word = static_cast<uint16_t>(p[0] | (p[1] << 8));
    const auto new_word = static_cast<uint16_t>(set ? old_word | flag : old_word & ~flag);
    if (new_word == old_word) continue;
    p[0] = static_cast<uint8_t>(new_word & 0xFF);
    p[1] = static_cast<uint8_t>(new_word >> 8);
    ++count;
    if (changed != nullptr) changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
  }
  return count;
}

#if defined(__SSE2__)

// Bits gathered in a register and ORed into the bitmap eight bytes at a
// time (bytes ORed twice keep their bits).
class BitWriter {
 public:
  BitWriter(uint8_t* bitmap, int32_t word) : out_(bitmap + (word >> 3)), pos_(word & 7) {}
  // `n` (at most 8) bits for the next n words.
  void put(uint32_t bits, int n) {
    if (pos_ + n > 64) flush();
    acc_ |= static_cast<uint64_t>(bits) << pos_;
    pos_ += n;
  }
  void finish() {
    if (pos_ > 0) or_bytes();
  }

 private:
  void or_bytes() {
    uint64_t v;
    std::memcpy(&v, out_, 8);
    v |= acc_;
    std::memcpy(out_, &v, 8);
  }
  void flush() {
    or_bytes();
    const int full = pos_ >> 3;
    out_ += full;
    acc_ = full == 8 ? 0 : acc_ >> (8 * full);
    pos_ -= 8 * full;
  }
  uint8_t* out_;
  int pos_;
  uint64_t acc_ = 0;
};

// Eight words at a time: the flag bits that change are summed lane by
// lane, and for the marks moved to the top of each word, packed to bytes
// and gathered by movemask. The words after the last full eight go
// through the plain version.
template <bool kSet, bool kMark>
int64_t flag_words_sse2(uint8_t* words, int32_t from, int32_t to, uint16_t flag, uint8_t* changed) {
  const int shift = std::countr_zero(flag);
  const __m128i zero = _mm_setzero_si128();
  const __m128i flags = _mm_set1_epi16(static_cast<int16_t>(flag));
  const __m128i to_top = _mm_cvtsi32_si128(15 - shift);
  const __m128i down = _mm_cvtsi32_si128(shift);
  BitWriter bits(changed, from);
  int64_t count = 0;
  int32_t w = from;
  while (to - w >= 8) {
    // At most 4000 rounds a sum: no 16-bit lane passes 4000.
    const int32_t end = w + 8 * std::min((to - w) / 8, 4000);
    __m128i counts = zero;  // per lane, in units of the flag bit
    for (; w < end; w += 8) {
      auto* p = reinterpret_cast<__m128i*>(words + 2 * w);
      __m128i v = _mm_loadu_si128(p);
      const __m128i f = kSet ? _mm_andnot_si128(v, flags) : _mm_and_si128(v, flags);
      v = kSet ? _mm_or_si128(v, flags) : _mm_andnot_si128(flags, v);
      _mm_storeu_si128(p, v);
      counts = _mm_add_epi16(counts, _mm_srl_epi16(f, down));
      if constexpr (kMark) {
        bits.put(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(_mm_sll_epi16(f, to_top), zero))), 8);
      }
    }
    const __m128i sums = _mm_madd_epi16(counts, _mm_set1_epi16(1));
    int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
    count += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
  if constexpr (kMark) bits.finish();
  return count + flag_words_plain(words, w, to, flag, kSet, changed);
}

#endif

}  // namespace

int64_t flag_words(uint8_t* words, int32_t from, int32_t to, uint16_t flag, bool set, uint8_t* changed, Level level) {
#if defined(__SSE2__)
  if (level == Level::Best) {
    if (changed != nullptr) {
      return set ? flag_words_sse2<true, true>(words, from, to, flag, changed)
                 : flag_words_sse2<false, true>(words, from, to, flag, changed);
    }
    return set ? flag_words_sse2<true, false>(words, from, to, flag, changed)
               : flag_words_sse2<false, false>(words, from, to, flag, changed);
  }
#endif
  (void)level;
  return flag_words_plain(words, from, to, flag, set, changed);
}

// --- Bits 5 to 15 of a record's words ---

namespace {

HighBitsSpan high_bits_plain(const uint8_t* words, std::size_t count) {
  HighBitsSpan span;
  for (std::size_t w = 0; w < count; ++w) {
    const auto value = static_cast<uint16_t>((words[2 * w] | words[2 * w + 1] << 8) >> 5);
    span.least = std::min(span.least, value);
    span.greatest = std::max(span.greatest, value);
    span.not_zero += value != 0 ? 1 : 0;
  }
  return span;
}

#if defined(__SSE2__)

// Eight words at a time; the values (0 to 2047) fit the signed 16-bit
// minimum and maximum, and a lane counts its zeros down from 0 (at most
// 4000 rounds a count). The words after the last full eight go through
// the plain version.
HighBitsSpan high_bits_sse2(const uint8_t* words, std::size_t count) {
  __m128i least = _mm_set1_epi16(0x7FF);
  __m128i greatest = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
  int64_t zeros = 0;
  std::size_t w = 0;
  while (count - w >= 8) {
    const std::size_t end = w + 8 * std::min<std::size_t>((count - w) / 8, 4000);
    __m128i zero_lanes = zero;  // minus the zeros, per lane
    for (; w < end; w += 8) {
      const __m128i v = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 2 * w)), 5);
      least = _mm_min_epi16(least, v);
      greatest = _mm_max_epi16(greatest, v);
      zero_lanes = _mm_add_epi16(zero_lanes, _mm_cmpeq_epi16(v, zero));
    }
    const __m128i sums = _mm_madd_epi16(zero_lanes, _mm_set1_epi16(1));
    int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
    zeros -= int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }
  uint16_t low[8], high[8];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(low), least);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(high), greatest);
  HighBitsSpan span = high_bits_plain(words + 2 * w, count - w);
  span.not_zero += static_cast<int64_t>(w) - zeros;
  for (int lane = 0; lane < 8; ++lane) {
    span.least = std::min(span.least, low[lane]);
    span.greatest = std::max(span.greatest, high[lane]);
  }
  return span;
}

#endif

}  // namespace

HighBitsSpan high_bits(const uint8_t* words, std::size_t count, Level level) {
#if defined(__SSE2__)
  if (level == Level::Best) return high_bits_sse2(words, count);
#endif
  (void)level;
  return high_bits_plain(words, count);
}

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
