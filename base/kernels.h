// The program's inner loops over grid words and co-ordinates, each in one
// plain version that is the reference, and beside it a version with the
// processor's vector instructions only where a benchmark case gains 10% or
// more from it. Processor intrinsics stand in this file pair and nowhere
// else; tests check every vector version against its plain version.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavlin::kernels {

// Which version a kernel runs: the best the processor has, or the plain
// reference (tests and benchmarks compare the two).
enum class Level : uint8_t { Best, Plain };


// --- Edge crossings of the area test ---

// The longitude where the edge from vertex i to vertex j meets latitude y,
// with d = xj - xi and b = yj - yi: ((y - yi) * d) / b + xi, one correctly
// rounded operation at a time in that order. The area test decides inside
// or outside with exactly this, so every version keeps it to the bit.
inline double crossing_at(double y, double xi, double yi, double d, double b) {
  const double product = (y - yi) * d;
  const double quotient = product / b;
  return quotient + xi;
}

// out[k] = crossing_at(y, xi[k], yi[k], d[k], b[k]) for k in [0, n). Plain
// only: four edges at a time with vector instructions saved less than a
// tenth of a whole run even for a comb of thousands of teeth.
void crossings(double y, const double* xi, const double* yi, const double* d, const double* b, std::size_t n,
               double* out);

// --- The flag operation on the words of a record ---

// Sets (`set`) or clears the one bit `flag` in the 16-bit little-endian
// words [from, to) of `words`, and returns how many words changed. With
// `changed` not null, bit w % 8 of changed[w / 8] is also set for each
// word w that changed (other bits are left as they are); the best version
// may OR zero bytes into the 8 bytes past the byte of word to - 1, so
// `changed` must reach that far.
int64_t flag_words(uint8_t* words, int32_t from, int32_t to, uint16_t flag, bool set, uint8_t* changed,
                   Level level = Level::Best);

// --- Bits 5 to 15 of a record's words ---

// The least and greatest of word >> 5 over the `count` 16-bit
// little-endian words at `words`, and how many of them are not zero.
// `count` 0 gives least 0x7FF, greatest 0 and none.
struct HighBitsSpan {
  uint16_t least = 0x7FF;
  uint16_t greatest = 0;
  int64_t not_zero = 0;
  bool operator==(const HighBitsSpan&) const = default;
};
HighBitsSpan high_bits(const uint8_t* words, std::size_t count, Level level = Level::Best);

// --- Changed words of a record: found, and hashed ---
// Plain versions only: finding the changed words runs only where the engine
// does not report them (an undo), and masking them for the hash is a few
// percent of a journaled run at most, so no vector version could gain 10%.

// Compares a record as read (`before`) with the record as written
// (`after`), `size` bytes of little-endian 16-bit words, for the flag
// operation on bit `flag_bit` (set when `set`, cleared otherwise): sets bit
// w % 8 of bitmap[w / 8] for every word w that differs (the bitmap, of
// (size / 2 + 7) / 8 bytes, is cleared first). False when any difference is
// not that operation: another bit changed, or the flag the wrong way.
bool find_changed_words(bool set, int flag_bit, const uint8_t* before, const uint8_t* after, std::size_t size,
                        uint8_t* bitmap);

// Copies the `size` bytes of `record` to `out` with every word the bitmap
// does not mark 0.
void masked_words(const uint8_t* record, std::size_t size, const uint8_t* bitmap, uint8_t* out);

}  // namespace kavlin::kernels
