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

// --- The flag operation on the words of a record ---

// Sets (`set`) or clears the one bit `flag` in the 16-bit little-endian
// words [from, to) of `words`, and returns how many words changed. With
// `changed` not null, bit w % 8 of changed[w / 8] is also set for each
// word w that changed (other bits are left as they are); the best version
// may OR zero bytes into the 8 bytes past the byte of word to - 1, so
// `changed` must reach that far.
int64_t flag_words(uint8_t* words, int32_t from, int32_t to, uint16_t flag, bool set, uint8_t* changed,
                   Level level = Level::Best);

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
