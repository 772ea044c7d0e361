// The row evaluation of the area test, which must answer exactly as
// IN_AREA for every grid point: random and degenerate rings, every stored
// grid point of whole tiles walked as the engine walks them, areas of
// several rings, rows in any order, a ring of 25000 vertices and a comb
// over several tiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "polygon/area_rules.h"
#include "tests/area_test_support.h"
#include "tests/test_support.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using testing::Ring;
using testing::make_table;
using testing::in_area;
using testing::grid;

// ---------------------------------------------------------------------------
// RowTest must answer exactly as IN_AREA for every grid point.

class RingMaker {
 public:
  explicit RingMaker(uint32_t seed) : rng_(seed) {}

  Ring make() {
    const int kind = pick(10);
    int n;
    if (kind == 0) {
      n = 1 + pick(2);  // 1- and 2-vertex rings
    } else {
      n = 3 + pick(12);
    }
    Ring ring;
    for (int v = 0; v < n; ++v) {
      std::pair<double, double> p = vertex();
      if (!ring.empty()) {
        switch (pick(8)) {
          case 0:
            p = ring.back();  // repeated vertex
            break;
          case 1:
            p.second = ring.back().second;  // horizontal edge
            break;
          case 2:
            p = ring[static_cast<std::size_t>(pick(static_cast<int>(ring.size())))];  // revisit
            break;
          default:
            break;
        }
      }
      ring.push_back(p);
    }
    if (pick(3) == 0) ring.push_back(ring.front());  // closed by repetition
    return ring;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  double coordinate(int deg) {
    switch (pick(5)) {
      case 0:  // exactly a grid co-ordinate
        return grid(deg, 1 + pick(12), 1 + pick(101));
      case 1:  // a short decimal
        return deg + pick(41) * 0.025;
      case 2:  // slightly outside the tile
        return deg - 0.2 + pick(1000) * 0.0014;
      default:  // anywhere in the tile
        return deg + static_cast<double>(rng_()) / 4294967296.0;
    }
  }

  std::pair<double, double> vertex() {
    if (pick(100) == 0) {
      // Huge longitudes: crossings that overflow to infinity or NaN.
      static const double huge[4] = {1e300, -1e300, 1.7e308, -1.7e308};
      return {huge[pick(4)], coordinate(49)};
    }
    return {coordinate(6), coordinate(49)};
  }

  std::mt19937 rng_;
};

// The runs of the row evaluator as 0/1 per point, checking that they are
// ascending, non-empty, disjoint and never adjacent.
std::size_t runs_as_flags(const RowTest& row, const double* xs, int32_t n, uint8_t* out) {
  std::vector<InsideRun> runs;
  const std::size_t count = row.inside_runs(xs, n, runs);
  EXPECT_EQ(count, runs.size());
  std::fill(out, out + n, uint8_t{0});
  std::size_t inside = 0;
  int32_t last_end = -1;
  for (const InsideRun& run : runs) {
    EXPECT_LT(run.from, run.to);
    EXPECT_GT(run.from, last_end) << "runs overlap or touch";
    EXPECT_LE(run.to, n);
    last_end = run.to;
    for (int32_t k = run.from; k < run.to && k < n; ++k) out[k] = 1;
    inside += static_cast<std::size_t>(run.to - run.from);
  }
  return inside;
}

TEST(RowTest, MatchesInAreaOnEngineGridPoints) {
  RingMaker maker(20240611u);
  std::mt19937 blocks(7u);
  std::vector<double> xs(101);
  std::vector<uint8_t> out(101);
  long long checked = 0, inside = 0;
  for (int polygon = 0; polygon < 300; ++polygon) {
    const Ring ring = maker.make();
    const VertexTable t = make_table(ring);
    const Extent e = AREA_EXTENT(t);
    RowTest row(t, e);
    // Three block rows and three block columns of the tile per polygon.
    for (int bi = 0; bi < 3; ++bi) {
      const int i = 1 + static_cast<int>(blocks() % 12);
      for (int l = 1; l <= 101; ++l) {
        const double y = grid(49, i, l);
        row.set_row(y);
        for (int bj = 0; bj < 3; ++bj) {
          const int j = 1 + static_cast<int>(blocks() % 12);
          for (int k = 1; k <= 101; ++k) xs[static_cast<std::size_t>(k - 1)] = grid(6, j, k);
          const std::size_t count = runs_as_flags(row, xs.data(), static_cast<int32_t>(xs.size()), out.data());
          std::size_t expected_count = 0;
          for (std::size_t k = 0; k < xs.size(); ++k) {
            const bool expected = IN_AREA(xs[k], y, e, t);
            expected_count += expected;
            ASSERT_EQ(row.inside(xs[k]), expected) << "polygon " << polygon << " x " << xs[k] << " y " << y;
            ASSERT_EQ(out[k], expected ? 1 : 0) << "polygon " << polygon << " x " << xs[k] << " y " << y;
            if (expected) {
              ASSERT_FALSE(row.row_empty());
            }
          }
          ASSERT_EQ(count, expected_count);
          checked += static_cast<long long>(xs.size());
          inside += static_cast<long long>(expected_count);
        }
      }
    }
  }
  // The polygons must exercise both answers substantially.
  EXPECT_GT(inside, checked / 20);
  EXPECT_LT(inside, checked - checked / 20);
}

TEST(RowTest, PointAndDegenerateRings) {
  const std::vector<Ring> rings = {
      {{6.5, 49.5}},
      {{6.5, 49.5}, {6.75, 49.75}},
      {{6.5, 49.5}, {6.75, 49.5}, {6.25, 49.5}},
      {{6.5, 49.5}, {6.5, 49.5}, {6.5, 49.5}},
      {{6, 49}, {7, 50}, {7, 49}, {6, 50}},  // bow tie
  };
  for (const Ring& ring : rings) {
    const VertexTable t = make_table(ring);
    const Extent e = AREA_EXTENT(t);
    RowTest row(t, e);
    for (int l = 0; l <= 1200; l += 25) {
      const double y = 49.0 + l / 1200.0;
      row.set_row(y);
      for (int k = 0; k <= 1200; k += 25) {
        const double x = 6.0 + k / 1200.0;
        ASSERT_EQ(row.inside(x), IN_AREA(x, y, e, t)) << x << " " << y;
      }
    }
  }
  // Vertices so far apart that xj - xi overflows: at the latitude of a
  // vertex the product is 0 x infinity, a NaN crossing that never counts.
  {
    const Ring ring = {{6.25, 49.0}, {1.7e308, 49.75}, {-1.7e308, 49.5}, {6.5, 50.0}};
    const VertexTable t = make_table(ring);
    const Extent e = AREA_EXTENT(t);
    RowTest row(t, e);
    for (const double y : {49.5, 49.25, 49.6}) {
      row.set_row(y);
      for (int k = 0; k <= 1200; k += 50) {
        const double x = 6.0 + k / 1200.0;
        ASSERT_EQ(row.inside(x), IN_AREA(x, y, e, t)) << x << " " << y;
        uint8_t one = 9;
        runs_as_flags(row, &x, 1, &one);
        ASSERT_EQ(one, IN_AREA(x, y, e, t) ? 1 : 0) << x << " " << y;
      }
    }
  }
  // The point area: exactly one point of the row is inside.
  const VertexTable p = make_table({{6.5, 49.5}});
  RowTest row(p, AREA_EXTENT(p));
  row.set_row(49.5);
  const double xs[3] = {std::nextafter(6.5, 0.0), 6.5, std::nextafter(6.5, 7.0)};
  uint8_t out[3];
  EXPECT_EQ(runs_as_flags(row, xs, 3, out), 1u);
  EXPECT_EQ(out[1], 1);
}

// ---------------------------------------------------------------------------
// The row evaluator against the literal IN_AREA on every stored grid point
// of whole tiles, walked as the engine walks them (a band of rows prepared
// at once, blocks west to east), and with the bands in other orders so
// that the sweep also runs downwards.

struct Tally {
  long long checked = 0;
  long long inside = 0;
};

// Compares rows `rows` (1..101) of bands `bands` of tile (lon, lat) with
// IN_AREA, every point of every block. Returns false after the first
// mismatch (reported).
bool tile_matches(const VertexTable& t, int32_t lon, int32_t lat, const std::vector<int32_t>& bands,
                  const std::vector<int32_t>& rows, Tally& tally, const std::string& label) {
  const Extent e = AREA_EXTENT(t);
  RowTest row(t, e);
  const int32_t spacing = lat >= 50 ? 6 : 3;
  const int32_t columns = spacing == 3 ? 101 : 51;
  std::vector<double> xs(static_cast<std::size_t>(12 * columns));
  for (int32_t j = 1; j <= 12; ++j) {
    for (int32_t k = 1; k <= columns; ++k) xs[(j - 1) * columns + (k - 1)] = grid_longitude(lon, j, k, spacing);
  }
  std::vector<uint8_t> flags(static_cast<std::size_t>(columns));
  for (const int32_t i : bands) {
    double ys[101];
    for (int32_t l = 1; l <= 101; ++l) ys[l - 1] = grid_latitude(lat, i, l);
    row.set_rows(ys, 101);
    for (const int32_t l : rows) {
      row.select_row(l - 1);
      const double y = ys[l - 1];
      for (int32_t j = 1; j <= 12; ++j) {
        const double* x = &xs[(j - 1) * columns];
        runs_as_flags(row, x, columns, flags.data());
        for (int32_t k = 0; k < columns; ++k) {
          const bool expected = IN_AREA(x[k], y, e, t);
          if (flags[k] != (expected ? 1 : 0) || row.inside(x[k]) != expected) {
            ADD_FAILURE() << label << ": tile " << lon << " " << lat << " band " << i << " row " << l << " block "
                          << j << " column " << k + 1 << " x " << x[k] << " y " << y << " IN_AREA " << expected;
            return false;
          }
          ++tally.checked;
          tally.inside += expected ? 1 : 0;
        }
      }
    }
  }
  return true;
}

std::vector<int32_t> range(int32_t first, int32_t last, int32_t step = 1) {
  std::vector<int32_t> v;
  for (int32_t n = first; step > 0 ? n <= last : n >= last; n += step) v.push_back(n);
  return v;
}

// Rings aimed at the places where exact arithmetic decides, in and around
// the tile (lon, lat) with the given spacing.
std::vector<std::pair<std::string, Ring>> adversarial_rings(int32_t lon, int32_t lat, int32_t spacing) {
  auto gx = [=](int32_t j, int32_t k) { return grid_longitude(lon, j, k, spacing); };
  auto gy = [=](int32_t i, int32_t l) { return grid_latitude(lat, i, l); };
  const double x0 = lon, y0 = lat;
  std::vector<std::pair<std::string, Ring>> rings;
  // Horizontal edges lying on grid rows, a staircase of them.
  rings.push_back({"horizontal edges on grid rows",
                   {{gx(2, 1), gy(2, 1)}, {gx(9, 7), gy(2, 1)}, {gx(9, 7), gy(5, 40)}, {gx(6, 3), gy(5, 40)},
                    {gx(6, 3), gy(9, 101)}, {gx(2, 1), gy(9, 101)}}});
  // Vertices exactly on grid points, edges with slopes of whole grid steps
  // (their crossings meet grid points), one repeated vertex.
  rings.push_back({"vertices on grid points",
                   {{gx(1, 1), gy(1, 1)}, {gx(4, 1), gy(4, 1)}, {gx(4, 1), gy(4, 1)}, {gx(12, 21), gy(5, 21)},
                    {gx(7, 7), gy(12, 101)}, {gx(3, 30), gy(8, 60)}}});
  // Edges through the tile's corners, reaching into the neighbours.
  rings.push_back({"edges through tile corners",
                   {{x0 - 0.5, y0 - 0.5}, {x0 + 1.5, y0 + 1.5}, {x0 + 1.25, y0 - 0.25}, {x0 + 0.5, y0 + 0.5},
                    {x0 - 0.25, y0 + 1.25}}});
  // Spikes narrower than a grid cell, up and sideways, between grid lines
  // and straddling one.
  const double hair = 1e-5;
  rings.push_back({"spikes narrower than a cell",
                   {{x0 + 0.1, y0 + 0.1}, {x0 + 0.4, y0 + 0.1}, {gx(6, 51) - hair, y0 + 0.95}, {gx(6, 51) + hair, y0 + 0.95},
                    {x0 + 0.45, y0 + 0.1}, {x0 + 0.9, y0 + 0.1}, {x0 + 0.9, gy(7, 50) - hair}, {x0 + 0.99, gy(7, 50)},
                    {x0 + 0.9, gy(7, 50) + hair}, {x0 + 0.9, y0 + 0.6}, {x0 + 0.1, y0 + 0.6}}});
  // A self-intersecting ring (a pentagram) and a twice-wound square.
  {
    Ring star;
    const double pi = std::acos(-1.0);
    for (int32_t n = 0; n < 5; ++n) {
      const double a = pi / 2 + n * 4 * pi / 5;
      star.push_back({x0 + 0.5 + 0.6 * std::cos(a), y0 + 0.5 + 0.6 * std::sin(a)});
    }
    rings.push_back({"pentagram", star});
    rings.push_back({"square wound twice",
                     {{x0 + 0.2, y0 + 0.2}, {x0 + 0.8, y0 + 0.2}, {x0 + 0.8, y0 + 0.8}, {x0 + 0.2, y0 + 0.8},
                      {x0 + 0.2, y0 + 0.2}, {x0 + 0.8, y0 + 0.2}, {x0 + 0.8, y0 + 0.8}, {x0 + 0.2, y0 + 0.8}}});
  }
  // Repeated vertices everywhere and a closing vertex.
  rings.push_back({"repeated vertices",
                   {{x0 + 0.3, y0 + 0.3}, {x0 + 0.3, y0 + 0.3}, {x0 + 0.7, y0 + 0.35}, {x0 + 0.7, y0 + 0.35},
                    {x0 + 0.7, y0 + 0.35}, {x0 + 0.6, y0 + 0.7}, {x0 + 0.3, y0 + 0.3}}});
  // NaN and overflowing co-ordinates: NaN latitudes never count, NaN and
  // infinite crossings are compared as IN_AREA compares them.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  rings.push_back({"NaN and huge vertices",
                   {{x0 + 0.2, y0 + 0.1}, {x0 + 0.8, y0 + 0.15}, {nan, y0 + 0.5}, {x0 + 0.9, nan},
                    {1.7e308, y0 + 0.7}, {-1.7e308, y0 + 0.75}, {x0 + 0.3, y0 + 0.9}}});
  rings.push_back({"NaN first vertex", {{nan, nan}, {x0 + 0.2, y0 + 0.2}, {x0 + 0.7, y0 + 0.4}, {x0 + 0.4, y0 + 0.8}}});
  return rings;
}

TEST(RowTest, EveryGridPointOfWholeTilesMatchesInArea) {
  for (const auto& [lon, lat, spacing] : {std::tuple{6, 49, 3}, std::tuple{6, 50, 6}}) {
    Tally tally;
    for (const auto& [label, ring] : adversarial_rings(lon, lat, spacing)) {
      const VertexTable t = make_table(ring);
      ASSERT_TRUE(tile_matches(t, lon, lat, range(1, 12), range(1, 101), tally, label));
    }
    RingMaker maker(20250101u + static_cast<uint32_t>(lat));
    for (int32_t n = 0; n < 3; ++n) {
      Ring ring = maker.make();
      if (lat == 50) {
        for (auto& v : ring) v.second += 1.0;  // the maker aims at N49
      }
      ASSERT_TRUE(tile_matches(make_table(ring), lon, lat, range(1, 12), range(1, 101), tally, "random"));
    }
    // Whole tiles, every stored point, both answers well represented.
    EXPECT_EQ(tally.checked % (12 * 101 * 12 * (spacing == 3 ? 101 : 51)), 0);
    EXPECT_GT(tally.inside, tally.checked / 20) << lat;
    EXPECT_LT(tally.inside, tally.checked - tally.checked / 20) << lat;
  }
}

// An area of several rings (random rings over one another: holes, islands
// in holes, separate parts): a point is inside when it is inside an odd
// number of the rings, each tested alone; the row evaluator agrees on
// every grid point of a whole tile.
TEST(RowTest, AreasOfSeveralRingsAreEvenOddOverAllRings) {
  RingMaker maker(20261208u);
  Tally tally;
  for (int32_t area = 0; area < 6; ++area) {
    std::vector<VertexTable> rings;
    VertexTable t;
    for (int32_t r = 0; r < 2 + area % 2; ++r) {
      rings.push_back(make_table(maker.make()));
      for (int32_t v = 1; v <= rings.back().NREC; ++v) t.add_vertex(rings.back().AREA_LON[v], rings.back().AREA_LAT[v]);
      t.end_ring();
    }
    const Extent e = AREA_EXTENT(t);
    for (int32_t i = 1; i <= 12; i += 5) {
      for (int32_t l = 1; l <= 101; l += 7) {
        for (int32_t j = 1; j <= 12; ++j) {
          for (int32_t k = 1; k <= 101; k += 3) {
            const double x = grid(6, j, k), y = grid(49, i, l);
            bool odd = false;
            for (const VertexTable& ring : rings) odd = odd != in_area(ring, x, y);
            ASSERT_EQ(IN_AREA(x, y, e, t), odd && x >= e.LON_MIN && x <= e.LON_MAX) << area << " " << x << " " << y;
          }
        }
      }
    }
    ASSERT_TRUE(tile_matches(t, 6, 49, range(1, 12), range(1, 101), tally, "rings " + std::to_string(area)));
  }
  EXPECT_GT(tally.inside, tally.checked / 50);
}

TEST(RowTest, RowsInAnyOrderMatchInArea) {
  // Bands from north to south, and single rows jumping up and down: the
  // sweep must give the same crossings going down as going up.
  const std::vector<std::pair<std::string, Ring>> rings = adversarial_rings(6, 49, 3);
  Tally tally;
  for (const auto& [label, ring] : rings) {
    const VertexTable t = make_table(ring);
    ASSERT_TRUE(tile_matches(t, 6, 49, range(12, 1, -1), {1, 2, 51, 100, 101}, tally, label + ", bands down"));
    const Extent e = AREA_EXTENT(t);
    RowTest row(t, e);
    std::mt19937 random(99u);
    for (int32_t n = 0; n < 200; ++n) {
      const double y = grid_latitude(49, 1 + static_cast<int32_t>(random() % 12), 1 + static_cast<int32_t>(random() % 101));
      row.set_row(y);
      for (int32_t k = 1; k <= 1201; k += 7) {
        const double x = 6.0 + (k - 1) / 1200.0;
        ASSERT_EQ(row.inside(x), IN_AREA(x, y, e, t)) << label << " x " << x << " y " << y;
      }
    }
  }
}

// A ring of 25000 vertices: a 100-pointed star whose tips and notches
// fall on grid points, with teeth narrower than a grid cell on every
// flank, around the tile E006N49 and reaching into its neighbours.
TEST(RowTest, RingOf25000VerticesMatchesInAreaOnSampledRows) {
  Ring ring;
  const double pi = std::acos(-1.0);
  for (int32_t n = 0; n < MAX_VERTICES; ++n) {
    const double a = 2.0 * pi * n / MAX_VERTICES;
    const double phase = static_cast<double>(n % 250) / 250.0;
    double radius = 0.62 * (0.5 + 0.5 * std::fabs(2.0 * phase - 1.0));
    if (n % 2 == 1) radius += 3e-4;  // teeth: every other vertex a little out
    double x = 6.5 + radius * std::cos(a);
    double y = 49.5 + radius * std::sin(a);
    if (n % 250 == 0) {
      // Tips on grid points.
      x = std::round(x * 1200.0) / 1200.0;
      y = std::round(y * 1200.0) / 1200.0;
    }
    ring.push_back({x, y});
  }
  const VertexTable t = make_table(ring);
  Tally tally;
  ASSERT_TRUE(tile_matches(t, 6, 49, {1, 4, 6, 7, 12}, {1, 37, 101}, tally, "25000 vertices"));
  EXPECT_GT(tally.inside, tally.checked / 10);
  EXPECT_LT(tally.inside, tally.checked - tally.checked / 10);
}

// A comb over 2 x 2 tiles served by one evaluator as the engine walks
// them (tile after tile, longitude first, so the bands go back down; in
// each band block after block, each block's rows in turn): teeth that
// count at every row of most bands, a spine and tips inside bands (edges
// starting and ending there), and teeth leaning far enough to be among the
// widest spans of a band.
TEST(RowTest, CombOverSeveralTilesMatchesInArea) {
  constexpr int32_t TEETH = 400;
  constexpr double WEST = 6.05, EAST = 7.95, SOUTH = 48.05, SPINE = 48.3, TIP = 49.7;
  const double pitch = (EAST - WEST) / TEETH;
  Ring ring;
  for (int32_t t = 0; t < TEETH; ++t) {
    const double x = WEST + pitch * t;
    const double lean = t % 9 == 0 ? 0.2 : 0.1 * pitch;
    ring.push_back({x, t == 0 ? SOUTH : SPINE});
    ring.push_back({x + lean, TIP});
    ring.push_back({x + lean + 0.5 * pitch, TIP});
    ring.push_back({x + 0.5 * pitch, t == TEETH - 1 ? SOUTH : SPINE});
  }
  const VertexTable t = make_table(ring);
  const Extent e = AREA_EXTENT(t);
  RowTest row(t, e);
  long long checked = 0, inside = 0;
  std::vector<uint8_t> flags(101);
  for (const int32_t lon : {6, 7}) {
    for (const int32_t lat : {48, 49}) {
      for (const int32_t i : {1, 4, 9, 12}) {
        double ys[101];
        for (int32_t l = 1; l <= 101; ++l) ys[l - 1] = grid_latitude(lat, i, l);
        row.set_rows(ys, 101);
        for (int32_t j = 1; j <= 12; ++j) {
          double xs[101];
          for (int32_t k = 1; k <= 101; ++k) xs[k - 1] = grid_longitude(lon, j, k, 3);
          for (const int32_t l : {1, 2, 51, 101}) {
            row.select_row(l - 1);
            runs_as_flags(row, xs, 101, flags.data());
            for (int32_t k = 0; k < 101; ++k) {
              const bool expected = IN_AREA(xs[k], ys[l - 1], e, t);
              ASSERT_EQ(flags[k], expected ? 1 : 0)
                  << "tile " << lon << " " << lat << " band " << i << " row " << l << " block " << j << " column "
                  << k + 1;
              ++checked;
              inside += expected ? 1 : 0;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(inside, checked / 5);
  EXPECT_LT(inside, checked - checked / 5);
}

}  // namespace
}  // namespace kavlin
