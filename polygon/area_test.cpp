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

std::size_t RowTest::inside_run(const double* xs, std::size_t n, uint8_t* out) const {
  std::size_t count = 0;
  if (row_out_) {
    std::fill(out, out + n, uint8_t{0});
    return 0;
  }
  const std::size_t total = crossings_.size();
  std::size_t at_or_below = 0;  // crossings <= current x
  for (std::size_t k = 0; k < n; ++k) {
    const double x = xs[k];
    bool in = !(x < extent_.LON_MIN || x > extent_.LON_MAX);
    if (in && table_.NREC != 1) {
      while (at_or_below < total && crossings_[at_or_below] <= x) ++at_or_below;
      in = ((total - at_or_below) % 2) == 1;
    }
    out[k] = in ? 1 : 0;
    count += in ? 1 : 0;
  }
  return count;
}

}  // namespace kavlin
