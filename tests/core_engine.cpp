// The modification engine on small temporary tile databases, against the
// plain record-by-record walk: a polygon over four tiles, the copies into
// listed and unlisted tiles, random areas whose vertices fall where exact
// comparisons decide, and areas of many vertices over several longitudes.
#include "tiles/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "polygon/area_rules.h"
#include "tests/engine_test_db.h"
#include "tests/engine_test_support.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using namespace testing;

int64_t differing_words(const Snapshot& a, const Snapshot& b) {
  int64_t n = 0;
  for (const auto& [path, bytes] : a) {
    const std::string& other = b.at(path);
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
      n += (bytes[at] != other[at] || bytes[at + 1] != other[at + 1]) ? 1 : 0;
    }
  }
  return n;
}

TEST_F(EngineTest, PolygonOverFourTilesMatchesThePlainWalk) {
  // West edge at 5.0 from 49 to 50.3 (copies to E004), bottom at 49.0
  // (copies to N48), corners (5, 49), (6, 49) and (6, 50) inside, and the
  // 6-second row at 50 copied into the 3-second N49.
  const VertexTable table =
      ring({{5.0, 49.0}, {6.4, 49.0}, {6.7, 49.3}, {6.2, 50.8}, {5.4, 50.5}, {5.0, 50.3}});
  for (int32_t lon = 4; lon <= 6; ++lon) {
    for (int32_t lat = 48; lat <= 50; ++lat) db.make_tile(lon, lat, 144, 0, fill_with(lon, lat, 0xFFEF, 0));
  }
  const Snapshot before = db.snapshot();
  Snapshot expected = before;
  reference_walk(expected, table, 9);

  const EngineResult dry = run(table, 9, true);
  expect_done(dry);
  EXPECT_EQ(dry.tiles_rewritten, 0);
  EXPECT_TRUE(db.snapshot() == before);

  const EngineResult result = run(table, 9);
  expect_done(result);
  const Snapshot after = db.snapshot();
  for (const auto& [path, bytes] : expected) EXPECT_TRUE(after.at(path) == bytes) << path;
  EXPECT_EQ(result.listed_tiles,
            (std::vector<std::string>{"E005N49.33M", "E005N50.63M", "E006N49.33M", "E006N50.63M"}));
  EXPECT_EQ(result.neighbour_tiles,
            (std::vector<std::string>{"E004N49.33M", "E005N48.33M", "E004N48.33M", "E004N50.63M", "E006N48.33M"}));
  EXPECT_EQ(result.tiles_rewritten, 9);
  EXPECT_EQ(result.words_changed, differing_words(before, after));
  EXPECT_GT(result.words_changed, 0);
  EXPECT_EQ(dry.words_changed, result.words_changed);
  EXPECT_EQ(dry.listed_tiles, result.listed_tiles);
  EXPECT_EQ(dry.neighbour_tiles, result.neighbour_tiles);
  // The unlisted south-west tile got exactly the corner copy.
  EXPECT_EQ(differing_words({{"x", before.at(key(4, 48))}}, {{"x", after.at(key(4, 48))}}), 1);
}

// Edge copies the walk of one tile cannot reach itself. E001's east column
// lies at 1.9999999999999998, not at 2.0, so E002's west column (exactly
// 2.0, inside east of the vertical edge) reaches listed E001 only as
// copies; the rectangle's south row at 1.0 N reaches N00, which is not
// listed, only as copies.
TEST_F(EngineTest, CopiesIntoListedAndUnlistedTilesMatchTheWalk) {
  ASSERT_LT(grid_longitude(1, 12, 101, 3), 2.0);
  const struct {
    const char* label;
    VertexTable table;
    std::vector<std::pair<int32_t, int32_t>> tiles;
    std::vector<std::string> listed, neighbours;
  } cases[] = {
      {"vertical edge at 2.0",
       ring({{1.5, 1.1}, {1.5, 1.25}, {2.0, 1.25}, {2.0, 1.75}, {2.5, 1.75}, {2.5, 1.1}}),
       {{1, 1}, {2, 1}},
       {"E001N01.33M", "E002N01.33M"},
       {}},
      {"south row into N00", rectangle(5.25, 1.5, 5.5, 1.0), {{5, 1}, {5, 0}}, {"E005N01.33M"}, {"E005N00.33M"}},
  };
  for (const auto& c : cases) {
    TileDb local;
    for (const auto& [lon, lat] : c.tiles) local.make_tile(lon, lat, 144, 0, fill_with(lon, lat, 0xFFF7, 0));
    const Snapshot before = local.snapshot();
    Snapshot expected = before;
    reference_walk(expected, c.table, 7);
    std::vector<std::pair<int32_t, int32_t>> dry_calls, calls;
    EngineOptions options;
    options.dry_run = true;
    options.progress = [&](int32_t done, int32_t total) { dry_calls.emplace_back(done, total); };
    const EngineResult dry = apply_modification(local.files(), 'C', c.table, 7, options);
    options.dry_run = false;
    options.progress = [&](int32_t done, int32_t total) { calls.emplace_back(done, total); };
    const EngineResult result = apply_modification(local.files(), 'C', c.table, 7, options);
    expect_done(result);
    const Snapshot after = local.snapshot();
    EXPECT_TRUE(after == expected) << c.label;
    EXPECT_EQ(result.listed_tiles, c.listed) << c.label;
    EXPECT_EQ(result.neighbour_tiles, c.neighbours) << c.label;
    EXPECT_EQ(result.words_changed, differing_words(before, after)) << c.label;
    // The copies are what the tile's own walk does not give: without them
    // the files would differ.
    Snapshot without_copies = before;
    for (const auto& [lon, lat] : c.tiles) {
      // Each listed tile's own points only: IN_AREA on its grid, no copies.
      if (std::find(c.listed.begin(), c.listed.end(), TILE_NAME(lon, lat)) == c.listed.end()) continue;
      const TileOrigin o = TILE_ORIGIN(TILE_NAME(lon, lat));
      std::string& bytes = without_copies.at(key(lon, lat));
      const Extent e = AREA_EXTENT(c.table);
      for (int32_t r = 1; r <= 144; ++r) {
        for (int32_t l = 1; l <= 101; ++l) {
          for (int32_t k = 1; k <= o.columns(); ++k) {
            const int32_t i = (r - 1) / 12 + 1, j = (r - 1) % 12 + 1;
            if (!IN_AREA(grid_longitude(lon, j, k, o.spacing), grid_latitude(lat, i, l), e, c.table)) continue;
            const int32_t w = (l - 1) * o.columns() + k - 1;
            set_word_at(bytes, o.record_length(), r, w, word_at(bytes, o.record_length(), r, w) | 0x0008);
          }
        }
      }
    }
    EXPECT_GT(differing_words(without_copies, after), 100) << c.label;
    // Progress: once per file written, dry run included.
    const auto files = static_cast<int32_t>(c.listed.size() + c.neighbours.size());
    std::vector<std::pair<int32_t, int32_t>> expected_calls;
    for (int32_t n = 1; n <= files; ++n) expected_calls.emplace_back(n, files);
    EXPECT_EQ(calls, expected_calls) << c.label;
    EXPECT_EQ(dry_calls, expected_calls) << c.label;
    EXPECT_EQ(dry.words_changed, result.words_changed) << c.label;
  }
}

TEST_F(EngineTest, RandomPolygonsMatchThePlainWalk) {
  // Vertices on grid lines, on the tile's west and south edges, repeated
  // vertices and horizontal edges: the places where exact comparisons
  // decide.
  for (const auto& [lon, lat] : std::vector<std::pair<int32_t, int32_t>>{{5, 50}, {4, 50}, {5, 49}, {4, 49}}) {
    db.make_tile(lon, lat);
  }
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int32_t> step(0, 600);
  std::uniform_int_distribution<int32_t> choice(0, 5);
  for (int32_t round = 0; round < 6; ++round) {
    std::vector<std::pair<double, double>> vertices;
    const int32_t count = 3 + choice(random) * 2;
    for (int32_t n = 0; n < count; ++n) {
      double lon = grid_longitude(5, 1, 1 + step(random), 6);
      double lat = grid_latitude(50, 1, 1 + step(random));
      switch (choice(random)) {
        case 0: lon = 5.0; break;
        case 1: lat = 50.0; break;
        case 2: lon += 1e-7; break;
        case 3:
          if (!vertices.empty()) lat = vertices.back().second;  // horizontal edge
          break;
        case 4:
          if (!vertices.empty()) std::tie(lon, lat) = vertices.back();  // zero-length edge
          break;
        default: break;
      }
      vertices.emplace_back(lon, lat);
    }
    const VertexTable table = ring(vertices);
    const int32_t kind = 1 + (round % 10);
    const Snapshot before = db.snapshot();
    Snapshot expected = before;
    reference_walk(expected, table, kind);
    const EngineResult result = run(table, kind);
    expect_done(result);
    const Snapshot after = db.snapshot();
    EXPECT_TRUE(after == expected) << "round " << round;
    EXPECT_EQ(result.words_changed, differing_words(before, after)) << "round " << round;
  }
}

// Random areas whose vertices fall on the places where exact comparisons
// decide: whole degrees, 3- and 6-second grid points of neighbouring
// tiles, points a hair off the grid, -0.0, repeated vertices and
// horizontal edges. Rectangles come as the driver's closed ring.
struct AreaGenerator {
  std::mt19937 random;
  double lon_lo, lon_hi, lat_lo, lat_hi;  // whole degrees the vertices stay within

  int32_t pick(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); }
  double lon(double lat) {
    const auto deg = static_cast<int32_t>(std::floor(lon_lo)) + pick(0, static_cast<int32_t>(lon_hi - lon_lo) - 1);
    switch (pick(0, 6)) {
      case 0: return static_cast<double>(deg + pick(0, 1));
      case 1: return deg == 0 ? -0.0 : static_cast<double>(deg);
      case 2: return grid_longitude(deg, pick(1, 12), pick(1, 101), 3) + (pick(0, 1) ? 1e-9 : 0.0);
      default: return grid_longitude(deg, pick(1, 12), pick(1, 51), lat >= 50.0 ? 6 : 3);
    }
  }
  double lat() {
    const auto deg = static_cast<int32_t>(std::floor(lat_lo)) + pick(0, static_cast<int32_t>(lat_hi - lat_lo) - 1);
    switch (pick(0, 5)) {
      case 0: return deg == 0 && pick(0, 1) ? -0.0 : static_cast<double>(deg);
      case 1: return grid_latitude(deg, pick(1, 12), pick(1, 100)) + 1e-9;
      default: return grid_latitude(deg, pick(1, 12), pick(1, 100));
    }
  }
  VertexTable next() {
    if (pick(0, 4) == 0) {
      // A point, often on a block's west column, where the same place is
      // also the previous block's east column.
      const double y = lat();
      const auto deg = static_cast<int32_t>(std::floor(lon_lo)) + pick(0, static_cast<int32_t>(lon_hi - lon_lo) - 1);
      const int32_t spacing = y >= 50.0 ? 6 : 3;
      const int32_t k = pick(0, 1) ? 1 : pick(1, spacing == 3 ? 101 : 51);
      return point(pick(0, 3) ? grid_longitude(deg, pick(1, 12), k, spacing) : lon(y), y);
    }
    if (pick(0, 2) == 0) {
      double lat1 = lat(), lat2 = lat(), lon1 = lon(lat1), lon2 = lon(lat2);
      if (lat1 < lat2) std::swap(lat1, lat2);
      if (lon2 < lon1) std::swap(lon1, lon2);
      if (lat1 == lat2) lat1 = lat2 + 1.0 / 1200.0;
      if (lon1 == lon2) lon2 = lon1 + 1.0 / 600.0;
      return rectangle(lon1, lat1, lon2, lat2);
    }
    std::vector<std::pair<double, double>> vertices;
    const int32_t count = pick(3, 9);
    for (int32_t n = 0; n < count; ++n) {
      double y = lat();
      if (!vertices.empty() && pick(0, 5) == 0) y = vertices.back().second;  // horizontal edge
      vertices.emplace_back(lon(y), y);
      if (pick(0, 7) == 0) vertices.push_back(vertices.back());  // zero-length edge
    }
    return ring(vertices);
  }
};

void expect_random_areas_match_the_walk(TileDb& db, AreaGenerator& areas, int32_t rounds) {
  for (int32_t round = 0; round < rounds; ++round) {
    const VertexTable table = areas.next();
    const int32_t kind = 1 + areas.pick(0, 9);
    const Snapshot before = db.snapshot();
    Snapshot expected = before;
    reference_walk(expected, table, kind);
    EngineOptions dry_run;
    dry_run.dry_run = true;
    const EngineResult preview = apply_modification(db.files(), 'C', table, kind, dry_run);
    const EngineResult result = apply_modification(db.files(), 'C', table, kind);
    ASSERT_EQ(result.outcome, EngineOutcome::Done) << "round " << round << ": " << result.notice.text;
    const Snapshot after = db.snapshot();
    for (const auto& [path, bytes] : expected) {
      EXPECT_TRUE(after.at(path) == bytes) << "round " << round << " " << path;
    }
    EXPECT_EQ(result.words_changed, differing_words(before, after)) << "round " << round;
    EXPECT_EQ(preview.words_changed, result.words_changed) << "round " << round;
    EXPECT_EQ(db.files().open_count(), 0u);
  }
}

TEST_F(EngineTest, RandomAreasOverThreeByTwoTilesAcrossFiftyNorthMatchTheWalk) {
  // Listed tiles E005..E007 x N49..N50; E004 and N48 receive the copies.
  for (int32_t lon = 4; lon <= 7; ++lon) {
    for (int32_t lat = 48; lat <= 50; ++lat) db.make_tile(lon, lat);
  }
  AreaGenerator areas{std::mt19937(4711), 5.0, 7.0, 49.0, 51.0};
  expect_random_areas_match_the_walk(db, areas, 12);
}

TEST_F(EngineTest, RandomAreasOnTheEquatorAndTheZeroMeridianMatchTheWalk) {
  // Listed tiles E000..E001 x N00..N01; W001 receives the west copies and
  // nothing lies south of N00.
  for (int32_t lon = -1; lon <= 1; ++lon) {
    for (int32_t lat = 0; lat <= 1; ++lat) db.make_tile(lon, lat);
  }
  AreaGenerator areas{std::mt19937(1234), 0.0, 1.0, 0.0, 2.0};
  expect_random_areas_match_the_walk(db, areas, 12);
}

TEST_F(EngineTest, AreasNorthOfFiftyOneMatchTheWalk) {
  // Listed tiles E005..E006 x N51..N52, all 6-second: west copies into
  // E004, south copies into N50 at the same spacing (column k, not 2k - 1).
  for (int32_t lon = 4; lon <= 6; ++lon) {
    for (int32_t lat = 50; lat <= 52; ++lat) db.make_tile(lon, lat);
  }
  // South rows on 51 and 52 degrees, a west column on 6 degrees, the
  // corner points (6, 52) and (5, 51): every kind of copy between
  // 6-second tiles.
  for (const VertexTable& table :
       {rectangle(5.5, 51.25, 6.25, 51.0), rectangle(5.75, 52.5, 6.5, 51.75), point(6.0, 52.0), point(5.0, 51.0)}) {
    Snapshot expected = db.snapshot();
    reference_walk(expected, table, 9);
    const EngineResult result = apply_modification(db.files(), 'C', table, 9);
    ASSERT_EQ(result.outcome, EngineOutcome::Done) << result.notice.text;
    EXPECT_TRUE(db.snapshot() == expected);
  }
  AreaGenerator areas{std::mt19937(5152), 5.0, 6.0, 51.0, 53.0};
  expect_random_areas_match_the_walk(db, areas, 4);
}

// Areas of many vertices over several longitude degrees: a band of rows is
// prepared for the westmost tile of its latitude degree, and the runs it
// gives the tiles east of it are kept until they come. A circle round the
// corner of four tiles (3- and 6-second) and a saw-toothed strip over
// three longitudes; one by one, and then as one run of several.
TEST_F(EngineTest, ManyVertexAreasOverSeveralLongitudesMatchTheWalk) {
  for (int32_t lon = 5; lon <= 7; ++lon) {
    for (int32_t lat = 49; lat <= 50; ++lat) db.make_tile(lon, lat);
  }
  std::vector<std::pair<double, double>> circle, saw{{7.05, 49.995}, {5.95, 49.995}};
  for (int32_t n = 0; n < 1500; ++n) {
    const double a = 2.0 * std::numbers::pi * n / 1500.0;
    circle.emplace_back(6.0 + 0.012 * std::cos(a), 50.0 + 0.008 * std::sin(a));
  }
  for (int32_t n = 0; n < 1200; ++n) saw.emplace_back(5.95 + 1.1 * n / 1199.0, n % 2 ? 50.005 : 49.999);
  const VertexTable tables[] = {ring(circle), ring(saw)};
  Snapshot all = db.snapshot();
  std::vector<AreaModification> batch;
  for (const int32_t kind : {9, 2}) {
    for (const VertexTable& table : tables) {
      const Snapshot before = db.snapshot();
      Snapshot expected = before;
      reference_walk(expected, table, kind);
      reference_walk(all, table, kind);
      batch.push_back({&table, kind});
      const EngineResult result = run(table, kind);
      expect_done(result);
      EXPECT_TRUE(db.snapshot() == expected) << "kind " << kind << ", " << table.NREC << " vertices";
      EXPECT_EQ(result.words_changed, differing_words(before, expected));
      EXPECT_GT(result.words_changed, 0);
    }
  }
  for (int32_t lon = 5; lon <= 7; ++lon) {
    for (int32_t lat = 49; lat <= 50; ++lat) db.make_tile(lon, lat);
  }
  expect_done(apply_modifications(db.files(), 'C', batch));
  EXPECT_TRUE(db.snapshot() == all);
}

}  // namespace
}  // namespace kavlin
