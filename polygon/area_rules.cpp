#include "polygon/area_rules.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>

#include "base/kernels.h"

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

Notice area_size_notice(const Extent& extent) {
  if (!(cell_count(extent) <= MAX_CELLS)) return area_too_big_notice();
  return {};
}

Notice check_area(const Extent& extent) {
  if (Notice too_big = area_size_notice(extent); !too_big.empty()) return too_big;
  if (extent.LAT_MIN < 0.0) {
    // Tile names carry only northern latitudes: there is no tile to change.
    return {"Area reaches south of the equator! Modification is not possible!", "Error"};
  }
  return {};
}

bool IN_AREA(double x, double y, const Extent& e, const VertexTable& t) {
  if (x < e.LON_MIN || x > e.LON_MAX || y < e.LAT_MIN || y > e.LAT_MAX) return false;
  // Every ring closed on itself; the crossings of all rings counted
  // together (even-odd over the whole area).
  int32_t ncross = 0;
  t.for_each_ring([&](int32_t first, int32_t last) {
    int32_t j = last;
    for (int32_t i = first; i <= last; ++i) {
      const double xi = t.AREA_LON[i];
      const double yi = t.AREA_LAT[i];
      const double xj = t.AREA_LON[j];
      const double yj = t.AREA_LAT[j];
      if (yi != yj) {
        if ((yj <= y && y < yi) || (yi <= y && y < yj)) {
          if (kernels::crossing_at(y, xi, yi, xj - xi, yj - yi) > x) ++ncross;
        }
      }
      j = i;
    }
  });
  if (t.NREC == 1) return true;
  return (ncross % 2) == 1;
}

namespace {

// The edges with the widest spans of a band, looked at one by one: at most
// this many.
constexpr std::size_t WIDE_EDGES = 32;

// Sorts nearly sorted pairs by their first member: insertion sort, which
// costs next to nothing when the order is that of the last band or of the
// edges' spans; should the order have changed a lot, a full sort.
template <typename T, typename Key>
void sort_nearly_sorted(std::vector<T>& v, Key key) {
  const std::size_t n = v.size();
  std::size_t moves = 0;
  const std::size_t budget = 8 * n + 64;
  for (std::size_t a = 1; a < n; ++a) {
    const T item = v[a];
    std::size_t b = a;
    while (b > 0 && key(v[b - 1]) > key(item) && moves <= budget) {
      v[b] = v[b - 1];
      --b;
      ++moves;
    }
    v[b] = item;
    if (moves > budget) {
      std::sort(v.begin(), v.end(), [&](const T& p, const T& q) { return key(p) < key(q); });
      return;
    }
  }
}

}  // namespace

void RowTest::Group::clear() {
  for (std::vector<double>* v : {&smin, &reach, &xi, &yi, &d, &b, &lo, &hi}) v->clear();
}

void RowTest::Group::add(const Edge& e, double west, double east, bool with_span) {
  smin.push_back(west);
  reach.push_back(east);
  xi.push_back(e.xi);
  yi.push_back(e.yi);
  d.push_back(e.d);
  b.push_back(e.b);
  if (with_span) {
    lo.push_back(e.lo);
    hi.push_back(e.hi);
  }
}

RowTest::RowTest(const VertexTable& table, const Extent& extent) : nrec_(table.NREC), extent_(extent) {
  if (nrec_ < 2) return;  // a point area has no edges that count
  const double* lon = table.AREA_LON.data();
  const double* lat = table.AREA_LAT.data();
  edges_.reserve(static_cast<std::size_t>(nrec_));
  table.for_each_ring([&](int32_t first, int32_t last) {
    int32_t j = last;
    for (int32_t i = first; i <= last; ++i) {
      const double yi = lat[i];
      const double yj = lat[j];
      const double d = lon[j] - lon[i];
      // IN_AREA counts an edge only for lo <= y < hi; equal latitudes never
      // count, and neither does a NaN latitude (every comparison is false).
      // A NaN longitude (or d) makes every crossing of the edge NaN.
      if (yi != yj && !std::isnan(yi) && !std::isnan(yj) && !std::isnan(d)) {
        edges_.push_back({std::min(yi, yj), std::max(yi, yj), lon[i], yi, d, yj - yi});
      }
      j = i;
    }
  });
  std::stable_sort(edges_.begin(), edges_.end(), [](const Edge& a, const Edge& b) { return a.lo < b.lo; });
  his_.reserve(edges_.size());
  for (const Edge& e : edges_) his_.push_back(e.hi);
  std::sort(his_.begin(), his_.end());
}

std::size_t RowTest::edges_at(double y) const {
  const auto starts = std::partition_point(edges_.begin(), edges_.end(), [=](const Edge& e) { return e.lo <= y; });
  const auto ends = std::upper_bound(his_.begin(), his_.end(), y);
  return static_cast<std::size_t>(starts - edges_.begin()) - static_cast<std::size_t>(ends - his_.begin());
}

void RowTest::gather_band(double y0, double y1) {
  if (!banded_ || y0 < band_lo_ || y1 < band_hi_) {
    // Going back down: start over from the southernmost edge.
    live_.clear();
    next_ = 0;
  }
  while (next_ < edges_.size() && edges_[next_].lo <= y1) live_.push_back(static_cast<int32_t>(next_++));
  std::erase_if(live_, [&](int32_t e) { return !(y0 < edges_[e].hi); });
  banded_ = true;
  band_lo_ = y0;
  band_hi_ = y1;
}

// The width beyond which a span goes to the wide group: more than eight
// times the mean width (at most an eighth of the spans), or if that makes
// too many, that of the WIDE_EDGES-th widest.
double RowTest::wide_cut(double total_width) {
  constexpr double INF = std::numeric_limits<double>::infinity();
  double cut = INF;
  if (spans_.size() > WIDE_EDGES) {
    cut = 8.0 * total_width / static_cast<double>(spans_.size());
    std::size_t wider = 0;
    for (const Span& s : spans_) wider += s.east - s.west > cut ? 1 : 0;
    if (wider > WIDE_EDGES) {
      widths_.clear();
      for (const Span& s : spans_) widths_.push_back(s.east - s.west);
      std::nth_element(widths_.begin(), widths_.begin() + (WIDE_EDGES - 1), widths_.end(), std::greater<>());
      cut = widths_[WIDE_EDGES - 1];  // ties with it stay in their group
    }
  }
  return cut;
}

void RowTest::index_partial_rows() {
  // For each row, the partial edges counting there, in group order. With
  // rising rows (as a rule) an edge's rows are found by two searches.
  const std::size_t rows = ys_.size();
  const Group& p = partial_;
  const bool rising = std::is_sorted(ys_.begin(), ys_.end()) &&
                      std::none_of(ys_.begin(), ys_.end(), [](double y) { return std::isnan(y); });
  row_starts_.assign(rows + 1, 0);
  row_span_.resize(2 * p.size());
  for (std::size_t k = 0; k < p.size(); ++k) {
    if (rising) {
      const auto r0 = static_cast<int32_t>(std::lower_bound(ys_.begin(), ys_.end(), p.lo[k]) - ys_.begin());
      const auto r1 = static_cast<int32_t>(std::lower_bound(ys_.begin() + r0, ys_.end(), p.hi[k]) - ys_.begin());
      row_span_[2 * k] = r0;
      row_span_[2 * k + 1] = r1;
      for (int32_t r = r0; r < r1; ++r) ++row_starts_[static_cast<std::size_t>(r) + 1];
    } else {
      for (std::size_t r = 0; r < rows; ++r) row_starts_[r + 1] += (p.lo[k] <= ys_[r] && ys_[r] < p.hi[k]) ? 1 : 0;
    }
  }
  for (std::size_t r = 0; r < rows; ++r) row_starts_[r + 1] += row_starts_[r];
  row_edges_.resize(row_starts_[rows]);
  std::vector<std::size_t>& fill = row_fill_;
  fill.assign(row_starts_.begin(), row_starts_.end() - 1);
  for (std::size_t k = 0; k < p.size(); ++k) {
    const auto id = static_cast<int32_t>(k);
    if (rising) {
      for (int32_t r = row_span_[2 * k]; r < row_span_[2 * k + 1]; ++r) row_edges_[fill[static_cast<std::size_t>(r)]++] = id;
    } else {
      for (std::size_t r = 0; r < rows; ++r) {
        if (p.lo[k] <= ys_[r] && ys_[r] < p.hi[k]) row_edges_[fill[r]++] = id;
      }
    }
  }
}

void RowTest::build_band(double y0, double y1) {
  // Each edge's span over the latitudes of [y0, y1] it counts at; an edge
  // whose span is not finite gets the whole line.
  constexpr double INF = std::numeric_limits<double>::infinity();
  spans_.clear();
  double total_width = 0.0;
  for (const int32_t id : live_) {
    const Edge& e = edges_[id];
    const double south = kernels::crossing_at(std::max(y0, e.lo), e.xi, e.yi, e.d, e.b);
    const double north = kernels::crossing_at(std::min(y1, e.hi), e.xi, e.yi, e.d, e.b);
    Span s{std::min(south, north), std::max(south, north), id};
    if (!(std::isfinite(south) && std::isfinite(north))) {
      s.west = -INF;
      s.east = INF;
    } else {
      total_width += s.east - s.west;
    }
    spans_.push_back(s);
  }
  sort_nearly_sorted(spans_, [](const Span& s) { return s.west; });
  for (std::size_t k = 0; k < spans_.size(); ++k) live_[k] = spans_[k].id;

  const double cut = wide_cut(total_width);
  full_.clear();
  partial_.clear();
  wide_.clear();
  for (const Span& s : spans_) {
    const Edge& e = edges_[s.id];
    if (s.east - s.west > cut) {
      wide_.add(e, s.west, s.east, true);
    } else if (e.lo <= y0 && y1 < e.hi) {
      full_.add(e, s.west, s.east, false);
    } else {
      partial_.add(e, s.west, s.east, true);
    }
  }
  for (Group* g : {&full_, &partial_}) {
    for (std::size_t k = 1; k < g->size(); ++k) g->reach[k] = std::max(g->reach[k - 1], g->reach[k]);
  }

  index_partial_rows();
}

void RowTest::release_band() {
  live_ = {};
  next_ = 0;
  banded_ = false;
  spans_ = {};
  widths_ = {};
  full_ = {};
  partial_ = {};
  wide_ = {};
  ys_ = {};
  out_ = {};
  row_starts_ = {};
  row_edges_ = {};
  row_fill_ = {};
  row_span_ = {};
  row_ = -1;
  row_out_ = true;
  window_ = {};
  computed_ = {};
  flips_ = {};
}

void RowTest::set_rows(const double* ys, int32_t n) {
  n = std::max(n, 0);
  ys_.assign(ys, ys + n);
  out_.assign(static_cast<std::size_t>(n), 1);
  double y0 = 0.0, y1 = 0.0;
  bool any = false;
  for (int32_t r = 0; r < n; ++r) {
    const double y = ys[r];
    bool out = latitude_out(y);
    if (nrec_ != 1) {
      // With no edge counting at y, no point of the row is inside; nor is
      // one at a NaN latitude, where no edge counts.
      out = out || std::isnan(y) || edges_at(y) == 0;
      if (!out) {
        y0 = any ? std::min(y0, y) : y;
        y1 = any ? std::max(y1, y) : y;
        any = true;
      }
    }
    out_[r] = out ? 1 : 0;
  }
  if (any) {
    gather_band(y0, y1);
    build_band(y0, y1);
  }
  select_row(0);
}

void RowTest::select_row(int32_t r) {
  if (r < 0 || static_cast<std::size_t>(r) >= out_.size()) {
    row_ = -1;
    row_out_ = true;
    return;
  }
  row_ = r;
  row_out_ = out_[r] != 0;
  y_ = ys_[r];
}

std::size_t RowTest::crossings_between(double a, double b) const {
  window_.clear();
  const double y = y_;
  std::size_t east = 0;
  auto take = [&](double c) {
    if (c > b) {
      ++east;
    } else if (c > a) {
      window_.push_back(c);
    }
  };
  // The span of edge k of a group reaches into [a, b] for k in [first, last):
  // edges from `last` on lie east of b, and none before `first` reaches a.
  auto range = [&](const Group& g, std::size_t& first, std::size_t& last) {
    last = static_cast<std::size_t>(std::upper_bound(g.smin.begin(), g.smin.end(), b) - g.smin.begin());
    first = static_cast<std::size_t>(std::upper_bound(g.reach.begin(), g.reach.begin() + last, a) - g.reach.begin());
  };

  // Edges counting at every row of the band: those east of b count
  // without being computed, those reaching [a, b] are computed together.
  std::size_t first = 0, last = 0;
  range(full_, first, last);
  east += full_.size() - last;
  const std::size_t n = last - first;
  computed_.resize(n);
  window_.resize(n);
  kernels::crossings(y, full_.xi.data() + first, full_.yi.data() + first, full_.d.data() + first,
                     full_.b.data() + first, n, computed_.data());
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double c = computed_[k];
    const bool beyond = c > b;
    east += beyond ? 1 : 0;
    window_[kept] = c;
    kept += (c > a && !beyond) ? 1 : 0;
  }
  window_.resize(kept);

  // Edges starting or ending inside the band: those counting at this row.
  const Group& p = partial_;
  range(p, first, last);
  const int32_t* const row_begin = row_edges_.data() + row_starts_[static_cast<std::size_t>(row_)];
  const int32_t* const row_end = row_edges_.data() + row_starts_[static_cast<std::size_t>(row_) + 1];
  const int32_t* const from = std::lower_bound(row_begin, row_end, static_cast<int32_t>(first));
  const int32_t* const to = std::lower_bound(from, row_end, static_cast<int32_t>(last));
  east += static_cast<std::size_t>(row_end - to);
  for (const int32_t* e = from; e < to; ++e) {
    const auto k = static_cast<std::size_t>(*e);
    take(kernels::crossing_at(y, p.xi[k], p.yi[k], p.d[k], p.b[k]));
  }

  // The widest, one by one.
  const Group& w = wide_;
  for (std::size_t k = 0; k < w.size(); ++k) {
    if (!(w.lo[k] <= y && y < w.hi[k])) continue;
    if (w.smin[k] > b) {
      ++east;
    } else if (w.reach[k] > a) {
      take(kernels::crossing_at(y, w.xi[k], w.yi[k], w.d[k], w.b[k]));
    }
  }
  return east;
}

bool RowTest::inside(double x) const {
  if (row_out_) return false;
  if (x < extent_.LON_MIN || x > extent_.LON_MAX) return false;
  if (nrec_ == 1) return true;
  return crossings_between(x, x) % 2 == 1;
}

// Sets bit k of flips_ for every crossing of the window that falls at
// point k of lo[0..count) (lo[k - 1] < c <= lo[k]), an odd number of them
// leaving it set.
void RowTest::place_crossings(const double* lo, const double* hi, std::size_t count) const {
  // Where crossing c falls: a first guess from evenly spaced points,
  // then moved to the exact place by comparing with the points.
  const double scale = static_cast<double>(count - 1) / (hi[-1] - lo[0]);
  const double last_guess = static_cast<double>(count - 2);
  // The word in hand is kept in a register while the crossings, nearly
  // sorted as a rule, stay in it.
  std::size_t word = 0;
  uint64_t hand = 0;
  for (const double c : window_) {
    // a < c <= b: the place is in [1, count). With evenly spaced points
    // the guess is right or one off, which two steps without branches
    // mend; the loops see to any other spacing.
    auto k = static_cast<std::size_t>(static_cast<int64_t>(std::clamp((c - lo[0]) * scale, 0.0, last_guess))) + 1;
    k -= static_cast<std::size_t>(lo[k - 1] >= c);
    k += static_cast<std::size_t>(lo[k] < c);
    while (lo[k] < c) ++k;
    while (lo[k - 1] >= c) --k;
    if (k / 64 != word) {
      flips_[word] ^= hand;
      word = k / 64;
      hand = 0;
    }
    hand ^= uint64_t{1} << (k % 64);
  }
  flips_[word] ^= hand;
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
  const auto offset = static_cast<int32_t>(lo - begin);
  const auto count = static_cast<std::size_t>(hi - lo);
  auto emit = [&](std::size_t from, std::size_t to) {
    const auto f = offset + static_cast<int32_t>(from);
    const auto t = offset + static_cast<int32_t>(to);
    if (!runs.empty() && runs.back().to == f) {
      runs.back().to = t;
    } else {
      runs.push_back({f, t});
    }
  };
  if (nrec_ == 1) {
    emit(0, count);
    return runs.size();
  }
  // At point k the crossings greater than the last point count, and of
  // those among the points the ones not yet reached: crossing c stops
  // counting from the first point k with lo[k] >= c on. So each crossing
  // flips the answer from its point on; bit k of flips_ is set when an odd
  // number of crossings flip at point k, and the answers are the running
  // parity of the flips, 64 points to a word.
  const std::size_t beyond = crossings_between(lo[0], hi[-1]);
  const std::size_t words = (count + 63) / 64;
  flips_.assign(words, 0);
  if (!window_.empty()) place_crossings(lo, hi, count);
  uint64_t state = (beyond + window_.size()) % 2 == 1 ? ~uint64_t{0} : 0;
  for (std::size_t w = 0; w < words; ++w) {
    uint64_t bits = flips_[w];
    for (int shift = 1; shift < 64; shift *= 2) bits ^= bits << shift;  // running parity within the word
    bits ^= state;
    state = (bits >> 63) != 0 ? ~uint64_t{0} : 0;
    if (w == words - 1 && count % 64 != 0) bits &= (uint64_t{1} << (count % 64)) - 1;
    // The runs of set bits.
    while (bits != 0) {
      const int from = std::countr_zero(bits);
      const uint64_t rest = ~(bits >> from);
      const int length = rest == 0 ? 64 - from : std::countr_zero(rest);
      emit(64 * w + static_cast<std::size_t>(from), 64 * w + static_cast<std::size_t>(from + length));
      bits = from + length >= 64 ? 0 : bits & (~uint64_t{0} << (from + length));
    }
  }
  return runs.size();
}

}  // namespace kavlin
