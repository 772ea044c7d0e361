// The areas the benchmarks share, as polygon files, and the median of a
// set of timings.
#pragma once

#include <filesystem>
#include <vector>

namespace kavlin::bench {

// The star: 25000 vertices, 100 tips, centred on 9 E 47 N, reaching from
// about 6.05 to 11.95 E and 44.05 to 49.95 N (all 36 tiles E006..E011 x
// N44..N49 touched, no vertex on a whole degree).
void write_star(const std::filesystem::path& path);

// The comb: 25000 vertices, 6250 slightly slanted teeth pointing north from
// a spine along the south (44.05 to 44.35 N), from about 6.05 to 11.95 E up
// to 49.95 N. Every row of grid points above the spine crosses 12,500 edges.
void write_comb(const std::filesystem::path& path);

double median(std::vector<double> values);

}  // namespace kavlin::bench
