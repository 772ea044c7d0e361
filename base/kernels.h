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

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
