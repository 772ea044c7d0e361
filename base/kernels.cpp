#include "base/kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace kavlin::kernels {

// --- Edge crossings of the area test ---

namespace {

void crossings_plain(double y, const double* xi, const double* yi, const double* d, const double* b, std::size_t n,
                     double* out) {
  for (std::size_t k = 0; k < n; ++k) out[k] = crossing_at(y, xi[k], yi[k], d[k], b[k]);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KAVLIN_CROSSINGS_VECTOR 1
// crossing_at four edges at a time: in each lane one correctly rounded
// subtraction, product, quotient and sum, in the same order; the edges past
// the last four go through the plain loop. Worth it where a block meets
// many edges (a comb of thousands of teeth: about a tenth of the run's
// processor time); eight lanes at a time gained nothing over four.
[[gnu::target("avx2")]] void crossings_avx2(double y, const double* xi, const double* yi, const double* d,
                                            const double* b, std::size_t n, double* out) {
  const __m256d vy = _mm256_set1_pd(y);
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m256d product = _mm256_mul_pd(_mm256_sub_pd(vy, _mm256_loadu_pd(yi + k)), _mm256_loadu_pd(d + k));
    const __m256d quotient = _mm256_div_pd(product, _mm256_loadu_pd(b + k));
    _mm256_storeu_pd(out + k, _mm256_add_pd(quotient, _mm256_loadu_pd(xi + k)));
  }
  crossings_plain(y, xi + k, yi + k, d + k, b + k, n - k, out + k);
}
#endif

}  // namespace

void crossings(Level level, double y, const double* xi, const double* yi, const double* d, const double* b,
               std::size_t n, double* out) {
#if defined(KAVLIN_CROSSINGS_VECTOR)
  static const bool four_lanes = __builtin_cpu_supports("avx2");
  if (level == Level::Best && four_lanes) return crossings_avx2(y, xi, yi, d, b, n, out);
#endif
  crossings_plain(y, xi, yi, d, b, n, out);
}

// --- The flag operation on the words of a record ---

// --- Changed words of a record: found, and hashed ---

}  // namespace kavlin::kernels
