// The area test: extent, cell limit and the crossing rule of IN_AREA. The
// row evaluation that must match it bit for bit is in core_area_rows_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "polygon/area_rules.h"
#include "polygon/polygon_check.h"
#include "tests/area_test_support.h"
#include "tests/fake_ui_services.h"
#include "tests/test_support.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::ShownMessage;
using testing::Ring;
using testing::make_table;
using testing::in_area;
using testing::grid;

TEST(AreaExtent, StrictComparisonsInVertexOrder) {
  const VertexTable t = make_table({{5, 50}, {7, 49}, {4, 52}, {7, 48.5}, {4, 50}});
  const Extent e = AREA_EXTENT(t);
  EXPECT_EQ(e.LON_MIN, 4.0);
  EXPECT_EQ(e.LON_MAX, 7.0);
  EXPECT_EQ(e.LAT_MIN, 48.5);
  EXPECT_EQ(e.LAT_MAX, 52.0);
}

TEST(InArea, PointAreaMatchesOnlyTheExactPoint) {
  const VertexTable t = make_table({{5.7545, 50.0235}});
  EXPECT_TRUE(in_area(t, 5.7545, 50.0235));
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(in_area(t, std::nextafter(5.7545, inf), 50.0235));
  EXPECT_FALSE(in_area(t, std::nextafter(5.7545, -inf), 50.0235));
  EXPECT_FALSE(in_area(t, 5.7545, std::nextafter(50.0235, inf)));
  EXPECT_FALSE(in_area(t, 5.7545, std::nextafter(50.0235, -inf)));
}

TEST(InArea, RectangleIsHalfOpen) {
  const double W = 6.0, E = 6.5, N = 50.25, S = 50.0;
  const VertexTable t = make_table({{W, N}, {E, N}, {E, S}, {W, S}, {W, N}});
  EXPECT_TRUE(in_area(t, W, S));
  EXPECT_TRUE(in_area(t, W, 50.1));
  EXPECT_TRUE(in_area(t, 6.2, S));
  EXPECT_FALSE(in_area(t, E, 50.1));
  EXPECT_FALSE(in_area(t, 6.2, N));
  EXPECT_FALSE(in_area(t, W, N));
  EXPECT_FALSE(in_area(t, E, S));
  // Every grid point of the blocks around the rectangle.
  int inside = 0;
  for (int i = 1; i <= 5; ++i) {
    for (int l = 1; l <= 101; ++l) {
      const double y = grid(50, i, l);
      for (int j = 1; j <= 8; ++j) {
        for (int k = 1; k <= 101; k += 4) {
          const double x = grid(6, j, k);
          const bool expected = W <= x && x < E && S <= y && y < N;
          ASSERT_EQ(in_area(t, x, y), expected) << x << " " << y;
          inside += expected;
        }
      }
    }
  }
  EXPECT_GT(inside, 0);
}

TEST(InArea, PointOnASlantedEdge) {
  // (1, 1) lies on the edge from (0, 0) to (2, 2); the crossing equals x
  // exactly and does not count.
  EXPECT_TRUE(in_area(make_table({{0, 0}, {2, 2}, {2, 0}}), 1, 1));   // area east of the edge
  EXPECT_FALSE(in_area(make_table({{0, 0}, {2, 2}, {0, 2}}), 1, 1));  // area west of it
  // The same on a vertical edge.
  EXPECT_TRUE(in_area(make_table({{1, 0}, {3, 0}, {3, 2}, {1, 2}}), 1, 1));
  EXPECT_FALSE(in_area(make_table({{1, 0}, {3, 0}, {3, 2}, {1, 2}}), 3, 1));
}

TEST(InArea, HorizontalEdgesNeverCount) {
  // An L: the horizontal edge from (4, 1) to (2, 1) lies at y = 1.
  const VertexTable l_shape = make_table({{0, 0}, {4, 0}, {4, 1}, {2, 1}, {2, 2}, {0, 2}});
  EXPECT_TRUE(in_area(l_shape, 1, 1));
  EXPECT_FALSE(in_area(l_shape, 3, 1));  // north row of the lower arm
  EXPECT_TRUE(in_area(l_shape, 3, 0.5));
  EXPECT_TRUE(in_area(l_shape, 1, 1.5));
  EXPECT_FALSE(in_area(l_shape, 3, 1.5));
  EXPECT_TRUE(in_area(l_shape, 0, 0));
  // A ring of horizontal edges only encloses nothing.
  EXPECT_FALSE(in_area(make_table({{0, 1}, {4, 1}}), 1, 1));
  EXPECT_FALSE(in_area(make_table({{0, 1}, {4, 1}, {2, 1}}), 0, 1));
}

TEST(InArea, VertexAtThePointsLatitude) {
  // Peak at (2, 1): both edges end there from below; neither counts.
  EXPECT_FALSE(in_area(make_table({{0, 0}, {2, 1}, {4, 0}}), 1, 1));
  // Valley at (2, 1) east of the point: both edges rise from it, both count.
  const VertexTable w = make_table({{0, 0}, {4, 0}, {4, 2}, {2, 1}, {0, 2}});
  EXPECT_TRUE(in_area(w, 1, 1));
  EXPECT_TRUE(in_area(w, 3, 1));
  EXPECT_TRUE(in_area(w, 2, 1));  // on the valley vertex: crossings equal to x do not count
  EXPECT_FALSE(in_area(w, 2, 1.5 + 0.25));  // above the valley
  // A side vertex the ring passes through: the edge rising from it counts,
  // the one arriving from below does not.
  EXPECT_TRUE(in_area(make_table({{0, 0}, {2, 1}, {0, 2}}), 1, 1));
  EXPECT_TRUE(in_area(make_table({{2, 0}, {4, 1}, {2, 2}, {0, 1}}), 1, 1));
  EXPECT_FALSE(in_area(make_table({{2, 0}, {4, 1}, {2, 2}, {0, 1}}), 4, 1));
}

TEST(InArea, RepeatedClosingVertexChangesNothing) {
  const Ring ring = {{6.1, 49.2}, {6.7, 49.05}, {6.9, 49.6}, {6.4, 49.3}, {6.25, 49.9}};
  Ring closed = ring;
  closed.push_back(ring.front());
  const VertexTable open_t = make_table(ring);
  const VertexTable closed_t = make_table(closed);
  const Extent e = AREA_EXTENT(open_t);
  int inside = 0;
  for (int i = 1; i <= 12; ++i) {
    for (int l = 1; l <= 101; l += 5) {
      for (int j = 1; j <= 12; ++j) {
        for (int k = 1; k <= 101; k += 5) {
          const double x = grid(6, j, k), y = grid(49, i, l);
          const bool a = IN_AREA(x, y, e, open_t);
          ASSERT_EQ(a, IN_AREA(x, y, e, closed_t)) << x << " " << y;
          inside += a;
        }
      }
    }
  }
  EXPECT_GT(inside, 1000);
}

// ---------------------------------------------------------------------------
// Cell count and the area checks.

Extent extent(double lon_min, double lon_max, double lat_min, double lat_max) {
  Extent e;
  e.LON_MIN = lon_min;
  e.LON_MAX = lon_max;
  e.LAT_MIN = lat_min;
  e.LAT_MAX = lat_max;
  return e;
}

const char* const TOO_BIG = "Area is too big! Modification is not possible!";
const char* const SOUTH = "Area reaches south of the equator! Modification is not possible!";

TEST(CheckArea, CellLimitThenEquator) {
  struct Case {
    Extent e;
    double cells;
    const char* text;  // "" for accepted
  };
  const std::vector<Case> cases = {
      {extent(-0.5, 0.5, 10, 10.5), 2, ""},
      {extent(5, 5, 50, 50), 1, ""},
      {extent(5.0, 10.999, 45.0, 50.999), 36, ""},
      {extent(5.0, 11.0, 45.0, 50.999), 42, TOO_BIG},
      {extent(5.0, 10.999, 45.0, 51.0), 42, TOO_BIG},
      {extent(0.5, 36.5, 1, 1.5), 37, TOO_BIG},
      {extent(-1.7, -1.2, 0, 0.5), 1, ""},
      {extent(1, 2, -0.1, 0.5), 4, SOUTH},
      {extent(1, 1, -0.0, 0.5), 1, ""},
      {extent(1, 2, -10, 40), 102, TOO_BIG},  // too big is told first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cells);
    EXPECT_EQ(cell_count(c.e), c.cells);
    const Notice n = check_area(c.e);
    EXPECT_EQ(n.text, c.text);
    EXPECT_EQ(n.caption, *c.text ? "Error" : "");
  }
}

TEST(CheckArea, ExtremeExtentsDoNotOverflow) {
  const Extent e = extent(-1e300, 1e300, 1, 2);
  EXPECT_TRUE(std::isfinite(cell_count(e)));
  EXPECT_GT(cell_count(e), 36.0);
  EXPECT_EQ(check_area(e).text, TOO_BIG);
  EXPECT_EQ(check_area(extent(1, 2, -1e300, 1e300)).text, TOO_BIG);
  EXPECT_EQ(check_area(extent(1e300, 1e300, 1e300, 1e300)).text, "");
  EXPECT_EQ(tile_degree(-5.5), -6.0);
  EXPECT_EQ(tile_degree(5.7), 5.0);
}

}  // namespace
}  // namespace kavlin
