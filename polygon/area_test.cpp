#include "polygon/area_test.h"

#include <algorithm>
#include <cmath>

namespace kavlin {

Extent AREA_EXTENT(const VertexTable& table) {
  Extent e;
  e.LON_MIN = e.LON_MAX = table.AREA_LON[1];
  e.LAT_MIN = e.LAT_MAX = table.AREA_LAT[1];
  for (int32_t i = 2; i <= table.NREC; ++i) {
    const double lon = table.AREA_LON[i];
    const double lat = table.AREA_LAT[i];
    if (lon > e.LON_MAX) e.LON_MAX = lon;
    if (lon < e.LON_MIN) e.LON_MIN = lon;
    if (lat > e.LAT_MAX) e.LAT_MAX = lat;
    if (lat < e.LAT_MIN) e.LAT_MIN = lat;
  }
  return e;
}

double tile_degree(double coordinate) { return std::floor(coordinate); }

double cell_count(const Extent& e) {
  return (tile_degree(e.LON_MAX) - tile_degree(e.LON_MIN) + 1.0) *
         (tile_degree(e.LAT_MAX) - tile_degree(e.LAT_MIN) + 1.0);
}

Notice area_too_big_notice() { return {"Area is too big! Modification is not possible!", "Error"}; }

Notice check_area(const Extent& extent) {
  if (!(cell_count(extent) <= MAX_CELLS)) return area_too_big_notice();
  if (extent.LAT_MIN < 0.0) {
    // Tile names carry only northern latitudes: there is no tile to change.
    return {"Area reaches south of the equator! Modification is not possible!", "Error"};
  }
  return {};
}

bool IN_AREA(double x, double y, const Extent& e, const VertexTable& t) {
  if (x < e.LON_MIN || x > e.LON_MAX || y < e.LAT_MIN || y > e.LAT_MAX) return false;
  int32_t ncross = 0;
  int32_t j = t.NREC;
  for (int32_t i = 1; i <= t.NREC; ++i) {
    const double xi = t.AREA_LON[i];
    const double yi = t.AREA_LAT[i];
    const double xj = t.AREA_LON[j];
    const double yj = t.AREA_LAT[j];
    if (yi != yj) {
      if ((yj <= y && y < yi) || (yi <= y && y < yj)) {
        const double product = (y - yi) * (xj - xi);
        const double quotient = product / (yj - yi);
        const double crossing = quotient + xi;
        if (crossing > x) ++ncross;
      }
    }
    j = i;
  }
  if (t.NREC == 1) return true;
  return (ncross % 2) == 1;
}

RowTest::RowTest(const VertexTable& table, const Extent& extent) : table_(table), extent_(extent) {
  crossings_.reserve(64);
}

void RowTest::set_row(double y) {
  crossings_.clear();
  row_out_ = (y < extent_.LAT_MIN || y > extent_.LAT_MAX);
  if (row_out_ || table_.NREC == 1) return;
  const double* lon = table_.AREA_LON.data();
  const double* lat = table_.AREA_LAT.data();
  int32_t j = table_.NREC;
  for (int32_t i = 1; i <= table_.NREC; ++i) {
    const double yi = lat[i];
    const double yj = lat[j];
    if (yi != yj && ((yj <= y && y < yi) || (yi <= y && y < yj))) {
      const double xi = lon[i];
      const double xj = lon[j];
      const double product = (y - yi) * (xj - xi);
      const double quotient = product / (yj - yi);
      const double crossing = quotient + xi;
      // A NaN crossing (only from overflowing extreme vertices) is never
      // greater than x: it never counts.
      if (!std::isnan(crossing)) crossings_.push_back(crossing);
    }
    j = i;
  }
  std::sort(crossings_.begin(), crossings_.end());
  // With no crossing at all, no point of the row is inside.
  if (crossings_.empty()) row_out_ = true;
}

bool RowTest::inside(double x) const {
  if (row_out_) return false;
  if (x < extent_.LON_MIN || x > extent_.LON_MAX) return false;
  if (table_.NREC == 1) return true;
  // Crossings greater than x: those after the last one <= x.
  const auto above = crossings_.end() - std::upper_bound(crossings_.begin(), crossings_.end(), x);
  return (above % 2) == 1;
}

std::size_t RowTest::inside_runs(const double* xs, int32_t n, std::vector<InsideRun>& runs) const {
  runs.clear();
  if (row_out_ || n <= 0) return 0;
  const double* const begin = xs;
  const double* const end = xs + n;
  // The extent filter, with IN_AREA's own comparisons: [lo, hi) passes.
  const double lon_min = extent_.LON_MIN;
  const double lon_max = extent_.LON_MAX;
  const double* const lo = std::partition_point(begin, end, [=](double x) { return x < lon_min; });
  const double* const hi = std::partition_point(lo, end, [=](double x) { return !(x > lon_max); });
  if (lo == hi) return 0;
  auto emit = [&](const double* from, const double* to) {
    if (from == to) return;
    const auto f = static_cast<int32_t>(from - begin);
    const auto t = static_cast<int32_t>(to - begin);
    if (!runs.empty() && runs.back().to == f) {
      runs.back().to = t;
    } else {
      runs.push_back({f, t});
    }
  };
  if (table_.NREC == 1) {
    emit(lo, hi);
    return runs.size();
  }
  // The answer only changes where x reaches a crossing. p counts the
  // crossings <= the current x; the crossings greater than x number m - p.
  const std::vector<double>& c = crossings_;
  const std::size_t m = c.size();
  std::size_t p = static_cast<std::size_t>(std::upper_bound(c.begin(), c.end(), *lo) - c.begin());
  const double* k = lo;
  while (k < hi) {
    // Constant answer up to the first x that reaches the next crossing.
    const double* const next = p < m ? std::lower_bound(k, hi, c[p]) : hi;
    if ((m - p) % 2 == 1) emit(k, next);
    k = next;
    if (k < hi) {
      while (p < m && c[p] <= *k) ++p;
    }
  }
  return runs.size();
}

}  // namespace kavlin
