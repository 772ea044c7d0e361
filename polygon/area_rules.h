// The area rules: the extent of the area, the one-degree cell count
// that limits an area, and the decision whether a grid point lies inside.
#pragma once

#include <cstdint>
#include <vector>

#include "base/program_values.h"

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

// "Area is too big! ..." when the extent has more than 36 cells (or no
// count at all); empty otherwise. The one place of the cell limit.
Notice area_size_notice(const Extent& extent);

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
// not depend on x, so IN_AREA(x, y) is "x inside the extent and the number
// of crossings greater than x is odd" (or just "inside the extent" for a
// one-vertex area); every crossing that decides is computed with exactly
// IN_AREA's formula and operand order. A NaN crossing is never greater than
// x and never counts.
//
// A band of rows is prepared at once (set_rows) and then served row by row
// (select_row) to the blocks that ask, each for the longitudes of its own
// points. Only the crossings that fall among those longitudes are computed
// and sorted; the crossings east of them only need counting, and those west
// of them not even that. This is what keeps a block's cost in proportion to
// the edges it meets, not to all the edges of the row (a comb of thousands
// of teeth crosses every row thousands of times, and each block sees a few
// dozen of them).
//
// Which edges fall where comes from their spans: for y moving through an
// edge's latitudes, each step of the crossing formula (a subtraction, a
// product, a quotient and a sum, each correctly rounded) is monotone in y,
// so the computed crossing at any row of the band lies between the
// computed crossings at the band's lowest and highest latitude the edge
// reaches. An edge whose span lies east of a block's points counts for all
// of them without being computed; one whose span overlaps them is computed.
// Spans that are not finite (overflowing or NaN co-ordinates) are never
// trusted: such an edge is computed for every block.
//
// The band's edges (those counting at some row of it) are kept sorted by
// the west end of their span: those counting at every row of the band, and
// those starting or ending inside it, apart; and the few widest apart again,
// so that one long edge cannot make every block look at all the others.
// Rows may come in any order; rising bands are cheapest. Memory: the edges,
// and the spans of one band's edges.
class RowTest {
 public:
  RowTest(const VertexTable& table, const Extent& extent);

  // Prepares the rows at latitudes ys[0..n) and selects row 0.
  void set_rows(const double* ys, int32_t n);
  // Gives back the memory of the prepared rows and band (the edges stay):
  // for an evaluator kept until its rows are set again.
  void release_band();
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
  std::size_t inside_runs(const double* xs, int32_t n, std::vector<InsideRun>& runs) const;

 private:
  // An edge that can count: vertex j to vertex i with different, non-NaN
  // latitudes and a longitude that is not NaN; lo/hi are the lower and
  // upper latitude, d = xj - xi and b = yj - yi as IN_AREA computes them.
  struct Edge {
    double lo, hi;
    double xi, yi, d, b;
  };
  // Band edges in one group, sorted by the west end of their span (smin);
  // reach[k] is the greatest east end of edges 0..k (the edge's own east end
  // in the group of the widest). lo/hi are kept where an edge does not count
  // at every row of the band.
  struct Group {
    std::vector<double> smin, reach, xi, yi, d, b, lo, hi;
    void clear();
    void add(const Edge& e, double west, double east, bool with_span);
    std::size_t size() const { return smin.size(); }
  };
  // Brings live_ to the edges counting at some latitude of [y0, y1].
  void gather_band(double y0, double y1);
  // Sorts the band's edges by span and fills the three groups.
  void build_band(double y0, double y1);
  double wide_cut(double total_width);
  // For each row, the partial edges counting there, in group order (with
  // rising rows, as a rule, an edge's rows are found by two searches).
  void index_partial_rows();
  void place_crossings(const double* lo, const double* hi, std::size_t count) const;
  // The crossings greater than b (counted) and in (a, b] (into window_,
  // sorted) of the current row, a <= b.
  std::size_t crossings_between(double a, double b) const;
  // Number of edges counting at latitude y (any finite y).
  std::size_t edges_at(double y) const;
  bool latitude_out(double y) const { return y < extent_.LAT_MIN || y > extent_.LAT_MAX; }

  int32_t nrec_;
  Extent extent_;

  std::vector<Edge> edges_;       // sorted by lo
  std::vector<double> his_;       // the edges' hi, ascending

  // Edges (indices into edges_) counting at some latitude of the last band,
  // in the order of their spans' west ends in that band.
  std::vector<int32_t> live_;
  std::size_t next_ = 0;          // edges_[0..next_) have lo <= band_hi_
  bool banded_ = false;
  double band_lo_ = 0.0, band_hi_ = 0.0;
  // An edge's span in the band: west and east end.
  struct Span {
    double west, east;
    int32_t id;
  };
  std::vector<Span> spans_;
  std::vector<double> widths_;

  Group full_;     // counting at every row of the band
  Group partial_;  // starting or ending inside the band
  Group wide_;     // the widest spans, of either kind

  // The prepared band.
  std::vector<double> ys_;
  std::vector<uint8_t> out_;  // 1: no point of the row can be inside
  // Row r's partial edges (indices into partial_, ascending) are
  // row_edges_[row_starts_[r] .. row_starts_[r + 1]).
  std::vector<std::size_t> row_starts_;
  std::vector<int32_t> row_edges_;
  std::vector<std::size_t> row_fill_;
  std::vector<int32_t> row_span_;

  // The current row.
  int32_t row_ = -1;
  bool row_out_ = true;
  double y_ = 0.0;
  // Work space of one block: the crossings among its points (in no
  // particular order), the crossings computed together, and where the
  // answer flips.
  mutable std::vector<double> window_;
  mutable std::vector<double> computed_;
  mutable std::vector<uint64_t> flips_;
};

}  // namespace kavlin
