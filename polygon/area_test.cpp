#include "polygon/area_test.h"

#include <algorithm>
#include <bit>
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

RowTest::RowTest(const VertexTable& table, const Extent& extent) : nrec_(table.NREC), extent_(extent) {
  if (nrec_ < 2) return;  // a point area has no edges that count
  const double* lon = table.AREA_LON.data();
  const double* lat = table.AREA_LAT.data();
  edges_.reserve(static_cast<std::size_t>(nrec_));
  int32_t j = nrec_;
  for (int32_t i = 1; i <= nrec_; ++i) {
    const double yi = lat[i];
    const double yj = lat[j];
    // IN_AREA counts an edge only for lo <= y < hi; equal latitudes never
    // count, and neither does a NaN latitude (every comparison is false).
    if (yi != yj && !std::isnan(yi) && !std::isnan(yj)) {
      edges_.push_back({std::min(yi, yj), std::max(yi, yj), lon[i], yi, lon[j], yj});
    }
    j = i;
  }
  std::stable_sort(edges_.begin(), edges_.end(), [](const Edge& a, const Edge& b) { return a.lo < b.lo; });
  by_hi_.resize(edges_.size());
  for (std::size_t e = 0; e < edges_.size(); ++e) by_hi_[e] = static_cast<int32_t>(e);
  std::stable_sort(by_hi_.begin(), by_hi_.end(), [&](int32_t a, int32_t b) { return edges_[a].hi < edges_[b].hi; });
}

void RowTest::sweep_to(double y) {
  const std::size_t count = edges_.size();
  if (!swept_) {
    swept_ = true;
    next_ = 0;
    active_.clear();
  } else if (y < swept_y_) {
    // Going back down: edges starting above y leave, and edges that ended
    // in (y, swept_y_] but start at or below y come back.
    const auto below = std::partition_point(edges_.begin(), edges_.end(), [=](const Edge& e) { return e.lo <= y; });
    const auto keep = static_cast<std::size_t>(below - edges_.begin());
    std::erase_if(active_, [=](int32_t e) { return static_cast<std::size_t>(e) >= keep; });
    const double old_y = swept_y_;
    const auto first = std::partition_point(by_hi_.begin(), by_hi_.end(), [&](int32_t e) { return edges_[e].hi <= y; });
    for (auto it = first; it != by_hi_.end() && edges_[*it].hi <= old_y; ++it) {
      if (static_cast<std::size_t>(*it) < keep) active_.push_back(*it);
    }
    next_ = keep;
  }
  while (next_ < count && edges_[next_].lo <= y) {
    if (y < edges_[next_].hi) active_.push_back(static_cast<int32_t>(next_));
    ++next_;
  }
  swept_y_ = y;
}

void RowTest::compute_row(double y) {
  sweep_to(y);
  work_.clear();
  no_crossing_.clear();
  for (const int32_t e : active_) {
    const Edge& g = edges_[e];
    if (!(y < g.hi)) continue;  // ended below y: leaves the active list
    // IN_AREA's crossing, term by term in its order.
    const double product = (y - g.yi) * (g.xj - g.xi);
    const double quotient = product / (g.yj - g.yi);
    const double crossing = quotient + g.xi;
    if (std::isnan(crossing)) {
      no_crossing_.push_back(e);
    } else {
      work_.emplace_back(crossing, e);
    }
  }
  // Insertion sort: the list is in the previous row's order, which rarely
  // changes from one row to the next. Should it have changed a lot, sort.
  const std::size_t n = work_.size();
  std::size_t moves = 0;
  const std::size_t budget = 8 * n + 64;
  for (std::size_t a = 1; a < n; ++a) {
    const std::pair<double, int32_t> v = work_[a];
    std::size_t b = a;
    while (b > 0 && work_[b - 1].first > v.first && moves <= budget) {
      work_[b] = work_[b - 1];
      --b;
      ++moves;
    }
    work_[b] = v;
    if (moves > budget) {
      std::sort(work_.begin(), work_.end(),
                [](const std::pair<double, int32_t>& p, const std::pair<double, int32_t>& q) { return p.first < q.first; });
      break;
    }
  }
  active_.clear();
  for (const auto& [crossing, e] : work_) {
    active_.push_back(e);
    crossings_.push_back(crossing);
  }
  active_.insert(active_.end(), no_crossing_.begin(), no_crossing_.end());
}

void RowTest::set_rows(const double* ys, int32_t n) {
  // A band that starts on the latitude the last one ended on takes that
  // row over (the same double gives the same crossings).
  const bool reuse = n > 0 && !ys_.empty() && std::bit_cast<uint64_t>(ys_.back()) == std::bit_cast<uint64_t>(ys[0]);
  if (reuse) {
    crossings_.erase(crossings_.begin(), crossings_.begin() + static_cast<std::ptrdiff_t>(starts_[starts_.size() - 2]));
    const uint8_t last_out = out_.back();
    out_.assign(1, last_out);
  } else {
    crossings_.clear();
    out_.clear();
  }
  starts_.assign(1, 0);
  if (reuse) starts_.push_back(crossings_.size());
  ys_.assign(ys, ys + std::max(n, 0));
  for (int32_t r = reuse ? 1 : 0; r < n; ++r) {
    const double y = ys[r];
    bool out = latitude_out(y);
    if (!out && nrec_ != 1) {
      const std::size_t before = crossings_.size();
      compute_row(y);
      // With no crossing at all, no point of the row is inside.
      out = crossings_.size() == before;
    }
    out_.push_back(out ? 1 : 0);
    starts_.push_back(crossings_.size());
  }
  select_row(0);
}

void RowTest::select_row(int32_t r) {
  hint_ = 0;
  if (r < 0 || static_cast<std::size_t>(r) >= out_.size()) {
    row_out_ = true;
    c_ = nullptr;
    m_ = 0;
    return;
  }
  row_out_ = out_[r] != 0;
  c_ = crossings_.data() + starts_[r];
  m_ = starts_[r + 1] - starts_[r];
}

bool RowTest::inside(double x) const {
  if (row_out_) return false;
  if (x < extent_.LON_MIN || x > extent_.LON_MAX) return false;
  if (nrec_ == 1) return true;
  // Crossings greater than x: those after the last one <= x.
  const auto above = (c_ + m_) - std::upper_bound(c_, c_ + m_, x);
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
  const double* const lo =
      !(xs[0] < lon_min) ? begin : std::partition_point(begin, end, [=](double x) { return x < lon_min; });
  const double* const hi =
      !(xs[n - 1] > lon_max) ? end : std::partition_point(lo, end, [=](double x) { return !(x > lon_max); });
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
  if (nrec_ == 1) {
    emit(lo, hi);
    return runs.size();
  }
  // p counts the crossings <= the current x, so m - p are greater. Start
  // from where the last call ended (the block to the west, as a rule).
  const double* const c = c_;
  const std::size_t m = m_;
  std::size_t p = std::min(hint_, m);
  const double x0 = *lo;
  if (p < m && c[p] <= x0) {
    p = (p + 4 < m && c[p + 4] <= x0) ? static_cast<std::size_t>(std::upper_bound(c + p + 4, c + m, x0) - c)
                                      : p + 1;
    while (p < m && c[p] <= x0) ++p;
  } else if (p > 0 && c[p - 1] > x0) {
    p = static_cast<std::size_t>(std::upper_bound(c, c + p - 1, x0) - c);
  }
  const double* k = lo;
  while (k < hi) {
    // Constant answer up to the first x that reaches the next crossing.
    const double* next = hi;
    if (p < m && !(c[p] > hi[-1])) next = std::lower_bound(k, hi, c[p]);
    if ((m - p) % 2 == 1) emit(k, next);
    k = next;
    if (k < hi) {
      const double x = *k;
      while (p < m && c[p] <= x) ++p;
    }
  }
  hint_ = p;
  return runs.size();
}

}  // namespace kavlin
