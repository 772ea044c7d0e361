#include "bench/bench_areas.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "base/program_values.h"

namespace kavlin::bench {

namespace {

// One "longitude latitude" line, nudged off a whole degree.
void write_vertex(std::ofstream& out, double lon, double lat) {
  if (lon == std::floor(lon)) lon = std::nextafter(lon, 100.0);
  if (lat == std::floor(lat)) lat = std::nextafter(lat, 100.0);
  char line[64];
  std::snprintf(line, sizeof line, "%.17g %.17g\n", lon, lat);
  out << line;
}

}  // namespace

// Vertex n at angle 2 pi n / N (turned by a microradian so that no vertex
// falls on a whole degree), radius 2.95 degrees at the tips and 55 % of it
// half-way between, linear in the angle.
void write_star(const std::filesystem::path& path) {
  constexpr int32_t N = MAX_VERTICES;
  constexpr int32_t TIPS = 100;
  const double pi = std::acos(-1.0);
  std::ofstream out(path);
  for (int32_t n = 0; n < N; ++n) {
    const double a = 2.0 * pi * n / N + 1e-6;
    const double phase = static_cast<double>(n % (N / TIPS)) / (N / TIPS);
    const double radius = 2.95 * (0.55 + 0.45 * std::fabs(2.0 * phase - 1.0));
    write_vertex(out, 9.0 + radius * std::cos(a), 47.0 + radius * std::sin(a));
  }
  if (!out) throw std::runtime_error("cannot write the star's polygon file");
}

// Tooth t spans [x, x + pitch / 2] at its base and leans east by a tenth of
// the pitch at its tip; the first tooth's west edge and the last tooth's
// east edge reach down to the spine's south side, which the closing edge
// runs along.
void write_comb(const std::filesystem::path& path) {
  constexpr int32_t TEETH = MAX_VERTICES / 4;
  constexpr double WEST = 6.05, EAST = 11.95, SOUTH = 44.05, SPINE = 44.35, TIP = 49.95;
  const double pitch = (EAST - WEST) / TEETH;
  std::ofstream out(path);
  for (int32_t t = 0; t < TEETH; ++t) {
    const double x = WEST + pitch * t;
    write_vertex(out, x, t == 0 ? SOUTH : SPINE);
    write_vertex(out, x + 0.1 * pitch, TIP);
    write_vertex(out, x + 0.6 * pitch, TIP);
    write_vertex(out, x + 0.5 * pitch, t == TEETH - 1 ? SOUTH : SPINE);
  }
  if (!out) throw std::runtime_error("cannot write the comb's polygon file");
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

}  // namespace kavlin::bench
