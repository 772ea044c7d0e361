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

// The row evaluator: IN_AREA for all points of one latitude at once, the
// one place where a row is split into the points inside and outside.
//
// For a fixed latitude y the crossing longitude of each counting edge does
// not depend on x, so the crossings of a row are computed once, with
// exactly IN_AREA's formula and operand order, and sorted; IN_AREA(x, y) is
// then "x inside the extent and the number of crossings greater than x is
// odd" (or just "inside the extent" for a one-vertex area). A NaN crossing
// is never greater than x and is left out.
//
// Only the edges that count for y are looked at: the edges are sorted by
// their lower latitude and an active list (lower end <= y < upper end) is
// swept along as the rows move, so a row costs the edges it crosses, not
// the whole ring. The active list stays in the order of the last row's
// crossings, which makes the next row's sort nearly free. Rows may come in
// any order; rising rows are cheapest.
//
// A band of rows is prepared at once (set_rows) and then served row by
// row (select_row) to every block and every tile of that latitude band; a
// band that starts on the latitude the previous band ended on reuses that
// row. Memory: the edges, and the crossings of one band.
class RowTest {
 public:
  RowTest(const VertexTable& table, const Extent& extent);

  // Prepares the rows at latitudes ys[0..n) and selects row 0.
  void set_rows(const double* ys, int32_t n);
  // Makes row r (0..n-1) of the last set_rows the current row.
  void select_row(int32_t r);
  // set_rows for the one latitude y.
  void set_row(double y) { set_rows(&y, 1); }

  // True when no point of the current row can be inside.
  bool row_empty() const { return row_out_; }
  // IN_AREA(x, y) for the current row.
  bool inside(double x) const;

  // For longitudes xs[0..n) of the current row (non-decreasing), the runs
  // [from, to) of points inside, in ascending order, disjoint and never
  // adjacent, into `runs` (cleared first). Returns the number of runs.
  // Calls for the blocks of one row from west to east are cheapest.
  std::size_t inside_runs(const double* xs, int32_t n, std::vector<InsideRun>& runs) const;

 private:
  // An edge that can count: vertex j to vertex i with different, non-NaN
  // latitudes; lo/hi are the lower and upper latitude.
  struct Edge {
    double lo, hi;
    double xi, yi, xj, yj;
  };
  // Brings the active list to latitude y: exactly the edges with
  // lo <= y < hi once compute_row has pruned it.
  void sweep_to(double y);
  // Appends the sorted crossings of latitude y to crossings_.
  void compute_row(double y);
  bool latitude_out(double y) const { return y < extent_.LAT_MIN || y > extent_.LAT_MAX; }

  int32_t nrec_;
  Extent extent_;

  std::vector<Edge> edges_;       // sorted by lo
  std::vector<int32_t> by_hi_;    // indices into edges_, sorted by hi
  std::size_t next_ = 0;          // edges_[0..next_) have lo <= swept_y_
  bool swept_ = false;
  double swept_y_ = 0.0;
  std::vector<int32_t> active_;   // in the order of the last row's crossings
  std::vector<std::pair<double, int32_t>> work_;
  std::vector<int32_t> no_crossing_;  // active edges whose crossing is NaN

  // The prepared band: row r's crossings are crossings_[starts_[r] ..
  // starts_[r + 1]); out_[r] is 1 when no point of row r can be inside.
  std::vector<double> ys_;
  std::vector<double> crossings_;
  std::vector<std::size_t> starts_;
  std::vector<uint8_t> out_;

  // The current row.
  bool row_out_ = true;
  const double* c_ = nullptr;
  std::size_t m_ = 0;
  // Crossings <= the last x looked at in the current row: where the next
  // block's search starts.
  mutable std::size_t hint_ = 0;
};

}  // namespace kavlin
