// Shared pieces of the area tests: rings of (lon, lat) vertices as vertex
// tables, the literal area test of one point, and grid co-ordinates as the
// engine computes them.
#pragma once

#include <utility>
#include <vector>

#include "polygon/area_rules.h"
#include "tests/test_support.h"

namespace kavlin::testing {

using Ring = std::vector<std::pair<double, double>>;  // (lon, lat)

inline VertexTable make_table(const Ring& ring) { return testing::vertex_table(ring); }

inline bool in_area(const VertexTable& t, double x, double y) { return IN_AREA(x, y, AREA_EXTENT(t), t); }

// Grid co-ordinates as the engine computes them: block i (1..12) and point
// l (1..101) of tile degree deg.
inline double grid(int deg, int block, int point) { return (point - 1) / 1200.0 + (deg + (block - 1) / 12.0); }

}  // namespace kavlin::testing
