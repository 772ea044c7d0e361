// The area test: the extent of the vertex ring, the one-degree cell count
// that limits an area, and the decision whether a grid point lies inside.
#pragma once

#include <cstdint>
#include <vector>

#include "ui/program_values.h"

namespace kavlin {

// Most one-degree cells (tiles) one modification may touch.
inline constexpr int32_t MAX_CELLS = 36;

// Least and greatest longitude and latitude of vertices 1..NREC (NREC >= 1),
// with strict comparisons in vertex order.
Extent AREA_EXTENT(const VertexTable& table);

// Whole degree of a co-ordinate, rounded toward minus infinity, as a
// double (no integer conversion, so it cannot overflow).
double tile_degree(double coordinate);

// Number of one-degree cells the extent touches:
// (f(LON_MAX) - f(LON_MIN) + 1) x (f(LAT_MAX) - f(LAT_MIN) + 1),
// in double precision so that extreme co-ordinates cannot overflow.
double cell_count(const Extent& extent);

// "Area is too big! Modification is not possible!", caption "Error".
Notice area_too_big_notice();

// The checks every area passes before any tile file is touched: at most
// 36 cells ("Area is too big! ..."), then nothing south of the equator
// ("Area reaches south of the equator! ..."). An empty notice means the
// area is acceptable.
Notice check_area(const Extent& extent);

// Whether grid point (x, y) lies in the area of the vertex table. Exact
// double comparisons, the crossing longitude always computed as
// ((y - yi) * (xj - xi)) / (yj - yi) + xi, in that order; this is the
// reference that every faster evaluation must match.
bool IN_AREA(double x, double y, const Extent& extent, const VertexTable& table);

// A run of points xs[from..to) of one row that are all inside the area.
struct InsideRun {
  int32_t from = 0;
  int32_t to = 0;
  bool operator==(const InsideRun&) const = default;
};

// The row evaluator: IN_AREA for all points of one latitude at once. For a
// fixed y the crossing longitude of each counting edge does not depend on
// x, so the crossings are computed once (with exactly IN_AREA's formula)
// and sorted; IN_AREA(x, y) is then "x inside the extent and the number of
// crossings greater than x is odd" (or just "inside the extent" for a
// one-vertex area). This is the one place where a row is split into the
// points inside and outside; it answers as IN_AREA does for every x, bit
// for bit.
class RowTest {
 public:
  RowTest(const VertexTable& table, const Extent& extent);

  // Prepares the answers for latitude y.
  void set_row(double y);
  // True when no point of the current row can be inside.
  bool row_empty() const { return row_out_; }
  // IN_AREA(x, y) for the current row.
  bool inside(double x) const;

  // For longitudes xs[0..n) of the current row (non-decreasing), the runs
  // [from, to) of points inside, in ascending order, disjoint and never
  // adjacent, into `runs` (cleared first). Returns the number of runs.
  std::size_t inside_runs(const double* xs, int32_t n, std::vector<InsideRun>& runs) const;

 private:
  const VertexTable& table_;
  Extent extent_;
  bool row_out_ = true;
  // The current row's crossing longitudes, ascending, NaNs left out (a NaN
  // crossing is never greater than x); empty for a one-vertex area.
  std::vector<double> crossings_;
};

}  // namespace kavlin
