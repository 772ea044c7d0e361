#include "base/kernels.h"

namespace kavlin::kernels {

// --- Edge crossings of the area test ---

void crossings(double y, const double* xi, const double* yi, const double* d, const double* b, std::size_t n,
               double* out) {
  for (std::size_t k = 0; k < n; ++k) out[k] = crossing_at(y, xi[k], yi[k], d[k], b[k]);
}

// --- The flag operation on the words of a record ---

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
