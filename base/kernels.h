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

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
