// The modification engine on small temporary tile databases.
#include "tiles/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "polygon/area_rules.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using testing::TileDb;
using testing::pattern_word;
using testing::set_word_at;
using testing::word_at;
using testing::Snapshot;

VertexTable ring(const std::vector<std::pair<double, double>>& vertices) { return testing::vertex_table(vertices); }
VertexTable point(double lon, double lat) { return ring({{lon, lat}}); }
// The closed ring the driver builds from the north-west and south-east corners.
VertexTable rectangle(double lon1, double lat1, double lon2, double lat2) {
  return ring({{lon1, lat1}, {lon2, lat1}, {lon2, lat2}, {lon1, lat2}, {lon1, lat1}});
}

std::string key(int32_t lon, int32_t lat) {
  const std::string name = TILE_NAME(lon, lat);
  return "KAVLIN/" + name.substr(0, 4) + "/" + name;
}
int32_t length_of(int32_t lat) { return TILE_ORIGIN(0, lat).record_length(); }

// The plain record-by-record walk: IN_AREA for every stored grid point of
// every record, the copy written into the neighbour file at once.
void reference_walk(Snapshot& files, const VertexTable& table, int32_t kind) {
  const Extent e = AREA_EXTENT(table);
  const KindOperation op = *kind_operation(kind);
  auto modify = [&](int32_t lon, int32_t lat, int32_t record, int32_t word) {
    std::string& bytes = files.at(key(lon, lat));
    set_word_at(bytes, length_of(lat), record, word, apply_kind(op, word_at(bytes, length_of(lat), record, word)));
  };
  for (auto lon = static_cast<int32_t>(std::floor(e.LON_MIN)); lon <= std::floor(e.LON_MAX); ++lon) {
    for (auto lat = static_cast<int32_t>(std::floor(e.LAT_MIN)); lat <= std::floor(e.LAT_MAX); ++lat) {
      const TileOrigin o = TILE_ORIGIN(TILE_NAME(lon, lat));
      const int32_t cols = o.columns();
      const int32_t south_cols = TILE_ORIGIN(lon, lat - 1).columns();
      std::string& bytes = files.at(key(lon, lat));
      for (int32_t i = 1; i <= 12; ++i) {
        for (int32_t j = 1; j <= 12; ++j) {
          const int32_t r = record_number(i, j);
          std::string record = bytes.substr(static_cast<std::size_t>(r - 1) * o.record_length(), o.record_length());
          for (int32_t l = 1; l <= 101; ++l) {
            for (int32_t k = 1; k <= cols; ++k) {
              const double y = grid_latitude(lat, i, l);
              const double x = grid_longitude(lon, j, k, o.spacing);
              if (!IN_AREA(x, y, e, table)) continue;
              const int32_t w = (l - 1) * cols + (k - 1);
              set_word_at(record, o.record_length(), 1, w, apply_kind(op, word_at(record, o.record_length(), 1, w)));
              const bool west = j == 1 && k == 1;
              const bool south = i == 1 && l == 1 && lat - 1 >= 0;
              if (west) modify(lon - 1, lat, r + 11, (l - 1) * cols + cols - 1);
              if (south) {
                const int32_t column = cols != south_cols ? 2 * k - 1 : k;
                modify(lon, lat - 1, r + 132, 100 * south_cols + column - 1);
              }
              if (west && south) modify(lon - 1, lat - 1, 144, 101 * south_cols - 1);
            }
          }
          bytes.replace(static_cast<std::size_t>(r - 1) * o.record_length(), o.record_length(), record);
        }
      }
    }
  }
}

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

// Fills that keep one flag clear (or set) everywhere while bits 5-15 vary.
TileDb::WordFill fill_with(int32_t lon, int32_t lat, uint16_t and_mask, uint16_t or_mask) {
  return [=](int32_t r, int32_t w) {
    return static_cast<uint16_t>((pattern_word(lon, lat, r, w) & and_mask) | or_mask);
  };
}

class EngineTest : public ::testing::Test {
 protected:
  EngineResult run(const VertexTable& table, int32_t kind, bool dry_run = false) {
    EngineOptions options;
    options.dry_run = dry_run;
    EngineResult result = apply_modification(db.files(), 'C', table, kind, options);
    EXPECT_EQ(db.files().open_count(), 0u) << "a file was left open";
    return result;
  }
  void expect_done(const EngineResult& result) {
    EXPECT_EQ(result.outcome, EngineOutcome::Done);
    EXPECT_EQ(result.notice.text, "All modifications are done!");
    EXPECT_EQ(result.notice.caption, "Info");
  }
  TileDb db;
};

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

TEST_F(EngineTest, PointOffTheGridChangesNothingButRewritesEveryRecord) {
  db.make_tile(5, 49);
  const auto path = db.tile_file(5, 49);
  const auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(path, old_time);
  const Snapshot before = db.snapshot();
  const EngineResult result = run(point(5.00001, 49.5), 1);
  expect_done(result);
  EXPECT_EQ(result.words_changed, 0);
  EXPECT_EQ(result.tiles_rewritten, 1);
  EXPECT_TRUE(result.neighbour_tiles.empty());
  EXPECT_TRUE(db.snapshot() == before);
  EXPECT_GT(std::filesystem::last_write_time(path), old_time);
}

TEST_F(EngineTest, SouthWestCornerPointChangesFourWordsInFourTiles) {
  for (const auto& [lon, lat] : std::vector<std::pair<int32_t, int32_t>>{{5, 49}, {4, 49}, {5, 48}, {4, 48}}) {
    db.make_tile(lon, lat, 144, 0, fill_with(lon, lat, 0xFFEF, 0));
  }
  Snapshot expected = db.snapshot();
  auto set_trees = [&](int32_t lon, int32_t lat, int32_t record, int32_t word) {
    std::string& bytes = expected.at(key(lon, lat));
    set_word_at(bytes, RECORD_LENGTH_3S, record, word, word_at(bytes, RECORD_LENGTH_3S, record, word) | 0x0010);
  };
  set_trees(5, 49, 1, 0);        // own record 1, first word
  set_trees(4, 49, 12, 100);     // west tile record 12, row 1, last column
  set_trees(5, 48, 133, 10100);  // south tile record 133, row 101, column 1
  set_trees(4, 48, 144, 10200);  // south-west tile record 144, last word
  const EngineResult result = run(point(5.0, 49.0), 9);
  expect_done(result);
  EXPECT_EQ(result.words_changed, 4);
  EXPECT_EQ(result.neighbour_tiles, (std::vector<std::string>{"E004N49.33M", "E005N48.33M", "E004N48.33M"}));
  EXPECT_TRUE(db.snapshot() == expected);
}

TEST_F(EngineTest, RectangleTakesItsWestColumnAndSouthRowOnly) {
  db.make_tile(5, 49, 144, 0, fill_with(5, 49, 0xFFEF, 0));
  const double west = 5.5, north = 49.75, east = 5.75, south = 49.5;
  const EngineResult result = run(rectangle(west, north, east, south), 9);
  expect_done(result);
  const std::string bytes = testing::read_file(db.tile_file(5, 49));
  int64_t changed = 0;
  for (int32_t i = 1; i <= 12; ++i) {
    for (int32_t j = 1; j <= 12; ++j) {
      for (int32_t l = 1; l <= 101; ++l) {
        const double y = grid_latitude(49, i, l);
        for (int32_t k = 1; k <= 101; ++k) {
          const double x = grid_longitude(5, j, k, 3);
          const bool inside = west <= x && x < east && south <= y && y < north;
          const int32_t w = (l - 1) * 101 + k - 1;
          const uint16_t word = word_at(bytes, RECORD_LENGTH_3S, record_number(i, j), w);
          const uint16_t old_word = pattern_word(5, 49, record_number(i, j), w) & 0xFFEF;
          ASSERT_EQ(word, inside ? old_word | 0x0010 : old_word) << i << " " << j << " " << l << " " << k;
          changed += inside ? 1 : 0;
        }
      }
    }
  }
  EXPECT_EQ(result.words_changed, changed);
  EXPECT_NE(word_at(bytes, RECORD_LENGTH_3S, 79, 0) & 0x0010, 0);   // (5.5, 49.5): south-west corner
  EXPECT_EQ(word_at(bytes, RECORD_LENGTH_3S, 82, 0) & 0x0010, 0);   // (5.75, 49.5): east column
  EXPECT_EQ(word_at(bytes, RECORD_LENGTH_3S, 115, 0) & 0x0010, 0);  // (5.5, 49.75): north row
}

TEST_F(EngineTest, SixSecondSouthRowLandsOnOddColumnsOfNorth49) {
  db.make_tile(5, 49, 144, 0, fill_with(5, 49, 0xFFEF, 0));
  db.make_tile(5, 50, 144, 0, fill_with(5, 50, 0xFFEF, 0));
  const Snapshot before = db.snapshot();
  // South edge exactly at 50: only N50 is listed, N49 gets the copies.
  const EngineResult result = run(rectangle(5.25, 50.5, 5.5, 50.0), 9);
  expect_done(result);
  EXPECT_EQ(result.listed_tiles, std::vector<std::string>{"E005N50.63M"});
  EXPECT_EQ(result.neighbour_tiles, std::vector<std::string>{"E005N49.33M"});
  const std::string bytes = testing::read_file(db.tile_file(5, 49));
  const std::string& old_bytes = before.at(key(5, 49));
  int32_t copies = 0;
  for (int32_t r = 1; r <= 144; ++r) {
    for (int32_t w = 0; w < 10201; ++w) {
      const uint16_t now = word_at(bytes, RECORD_LENGTH_3S, r, w);
      const uint16_t then = word_at(old_bytes, RECORD_LENGTH_3S, r, w);
      if (now == then) continue;
      ASSERT_GE(r, 133) << w;
      ASSERT_GE(w, 10100) << r;  // row 101
      const int32_t k3 = w - 10100 + 1;
      ASSERT_EQ(k3 % 2, 1) << "even column " << k3;
      const double x = grid_longitude(5, r - 132, (k3 + 1) / 2, 6);
      EXPECT_TRUE(5.25 <= x && x < 5.5) << x;
      EXPECT_EQ(now, then | 0x0010);
      ++copies;
    }
  }
  // One copy per stored 6-second point of the row at 50 N from 5.25 up to
  // 5.5 (block edges stored twice).
  int32_t stored = 0;
  for (int32_t j = 1; j <= 12; ++j) {
    for (int32_t k = 1; k <= 51; ++k) {
      const double x = grid_longitude(5, j, k, 6);
      stored += (5.25 <= x && x < 5.5) ? 1 : 0;
    }
  }
  EXPECT_GE(stored, 150);
  EXPECT_EQ(copies, stored);
}

TEST_F(EngineTest, RectangleAcrossFiftyNorthMatchesTheWalk) {
  db.make_tile(5, 49);
  db.make_tile(5, 50);
  const VertexTable table = rectangle(5.25, 50.5, 5.5, 49.5);
  Snapshot expected = db.snapshot();
  reference_walk(expected, table, 5);
  const EngineResult result = run(table, 5);
  expect_done(result);
  EXPECT_TRUE(db.snapshot() == expected);
  // N49's row 101 of band 12 is set from 5.25 to 5.5, every column.
  const std::string bytes = testing::read_file(db.tile_file(5, 49));
  for (int32_t k = 1; k <= 101; ++k) {
    const double x = grid_longitude(5, 4, k, 3);
    EXPECT_EQ((word_at(bytes, RECORD_LENGTH_3S, 136, 10100 + k - 1) & 0x0004) != 0, x >= 5.25) << k;
  }
}

TEST_F(EngineTest, FlagAlreadySetLeavesTheFilesAsTheyWere) {
  db.make_tile(5, 49, 144, 0, fill_with(5, 49, 0xFFFF, 0x0010));
  const Snapshot before = db.snapshot();
  const EngineResult result = run(rectangle(5.1, 49.9, 5.9, 49.1), 9);
  expect_done(result);
  EXPECT_EQ(result.words_changed, 0);
  EXPECT_TRUE(db.snapshot() == before);
}

TEST_F(EngineTest, EveryKindOnOneGridWordKeepsBitsFiveToFifteen) {
  db.make_tile(5, 50);
  const auto path = db.tile_file(5, 50);
  const VertexTable table = point(grid_longitude(5, 1, 2, 6), grid_latitude(50, 1, 2));
  const int32_t word = 51 + 1;  // record 1, row 2, column 2
  const struct {
    int32_t kind;
    uint16_t before, after;
  } cases[] = {
      {1, 0xABC0, 0xABC1}, {2, 0xABC1, 0xABC0}, {2, 0x0003, 0x0002}, {3, 0x1235, 0x1237}, {4, 0x1237, 0x1235},
      {5, 0xFFE0, 0xFFE4}, {6, 0xFFFF, 0xFFFB}, {7, 0x8000, 0x8008}, {8, 0x801F, 0x8017}, {9, 0xFFE0, 0xFFF0},
      {10, 0xFFFF, 0xFFEF}, {9, 0x0010, 0x0010}, {10, 0x7FE0, 0x7FE0},
  };
  for (const auto& c : cases) {
    std::string bytes = testing::read_file(path);
    set_word_at(bytes, RECORD_LENGTH_6S, 1, word, c.before);
    testing::write_file(path, bytes);
    const EngineResult result = run(table, c.kind);
    expect_done(result);
    set_word_at(bytes, RECORD_LENGTH_6S, 1, word, c.after);
    EXPECT_TRUE(testing::read_file(path) == bytes) << c.kind << " " << c.before;
    EXPECT_EQ(result.words_changed, c.before != c.after ? 1 : 0) << c.kind;
  }
}

TEST_F(EngineTest, TileLongerThan144RecordsKeepsItsTail) {
  db.make_tile(5, 49, 144, 3001);
  const VertexTable table = rectangle(5.3, 49.8, 5.6, 49.2);
  Snapshot expected = db.snapshot();
  reference_walk(expected, table, 7);
  expect_done(run(table, 7));
  EXPECT_TRUE(db.snapshot() == expected);
}

TEST_F(EngineTest, AreaTouchingTheEquatorSkipsSouthCopies) {
  db.make_tile(5, 0);
  db.make_tile(4, 0);
  const VertexTable table = rectangle(5.0, 0.2, 5.2, 0.0);
  Snapshot expected = db.snapshot();
  reference_walk(expected, table, 3);
  const EngineResult result = run(table, 3);
  expect_done(result);
  EXPECT_EQ(result.neighbour_tiles, std::vector<std::string>{"E004N00.33M"});
  EXPECT_TRUE(db.snapshot() == expected);
}

TEST_F(EngineTest, RefusalsTouchNoFile) {
  db.make_tile(5, 0);
  const Snapshot before = db.snapshot();
  // A table grows with its vertices; one more than an area of the tools may have, and
  // one that counts more vertices than it holds.
  VertexTable too_many = point(5.5, 0.5);
  for (int32_t n = 1; n <= MAX_AREA_VERTICES; ++n) too_many.add_vertex(5.5, 0.5 + n * 1e-6);
  VertexTable miscounted = point(5.5, 0.5);
  miscounted.NREC = 2;
  const struct {
    VertexTable table;
    int32_t kind;
    const char* text;
  } cases[] = {
      {rectangle(5.1, 0.2, 5.2, -0.1), 1, "Area reaches south of the equator! Modification is not possible!"},
      {rectangle(0.5, 15.5, 6.5, 10.5), 1, "Area is too big! Modification is not possible!"},
      {point(5.5, 0.5), 0, "Unknown modification kind 0! Modification is not possible!"},
      {point(5.5, 0.5), 11, "Unknown modification kind 11! Modification is not possible!"},
      {VertexTable{}, 1, "The area has no vertices! Modification is not possible!"},
      {too_many, 1, "The area has too many vertices! Modification is not possible!"},
      {miscounted, 1, "The area has too many vertices! Modification is not possible!"},
  };
  for (const auto& c : cases) {
    const EngineResult result = run(c.table, c.kind);
    EXPECT_EQ(result.outcome, EngineOutcome::Refused) << c.text;
    EXPECT_EQ(result.notice.text, c.text);
    EXPECT_EQ(result.notice.caption, "Error");
    EXPECT_TRUE(result.listed_tiles.empty());
  }
  EXPECT_TRUE(db.snapshot() == before);
}

TEST_F(EngineTest, TileListOrderAndDegreeRounding) {
  // No files: the list is still formed and the first tile fails to open.
  const struct {
    VertexTable table;
    std::vector<std::string> listed;
  } cases[] = {
      {point(-1e-300, 49.5), {"W001N49.33M"}},
      {point(-1.0, 49.5), {"W001N49.33M"}},
      {point(-0.0, 49.5), {"E000N49.33M"}},
      {point(-1.0000000000000002, 50.0), {"W002N50.63M"}},
      {point(179.999, 0.5), {"E179N00.33M"}},
      {rectangle(-0.5, 50.5, 0.5, 49.5), {"W001N49.33M", "W001N50.63M", "E000N49.33M", "E000N50.63M"}},
      {point(1000.5, 5.5), {"E***N05.33M"}},
      {point(1e300, 49.5), {"E***N49.33M"}},
      {point(-1e300, 49.5), {"W***N49.33M"}},
      {point(5.5, 1e300), {"E005N**.63M"}},
      {point(5.5, 90.0), {"E005N90.63M"}},
      {point(5.5, 1e-320), {"E005N00.33M"}},
      {point(5.5, -0.0), {"E005N00.33M"}},
      {rectangle(999999999.5, 49.6, 1000000000.5, 49.4), {"E***N49.33M", "E***N49.33M"}},
  };
  for (const auto& c : cases) {
    const EngineResult result = run(c.table, 1, true);
    EXPECT_EQ(result.listed_tiles, c.listed);
    EXPECT_EQ(result.outcome, EngineOutcome::FileError);
    EXPECT_EQ(result.notice.text, "Error opening file " + c.listed.front() + "!");
  }
  const EngineResult big = run(rectangle(0.5, 15.5, 5.5, 10.5), 1, true);
  ASSERT_EQ(big.listed_tiles.size(), 36u);
  EXPECT_EQ(big.listed_tiles[0], "E000N10.33M");
  EXPECT_EQ(big.listed_tiles[1], "E000N11.33M");
  EXPECT_EQ(big.listed_tiles[6], "E001N10.33M");
  EXPECT_EQ(big.listed_tiles[35], "E005N15.33M");
}

// All or nothing. The area covers E005N49 and E006N49 from 49.85 to 49.9
// north (band 11) and touches 5.0, so the walk opens E005N49, reads records
// 1..120, contacts E004N49 (record 132) from record 121 on, ..., then E006N49.
TEST_F(EngineTest, FileFailuresWriteNothingAndNameTheWalksFirstError) {
  const VertexTable table = rectangle(5.0, 49.9, 6.5, 49.85);
  enum Damage { OK, MISSING, READ_ONLY };
  const struct {
    const char* label;
    Damage e005, e006, e004;
    int32_t e005_records, e004_records;
    const char* text;
  } cases[] = {
      {"missing listed tile", OK, MISSING, OK, 144, 144, "Error opening file E006N49.33M!"},
      {"missing neighbour", OK, OK, MISSING, 144, 144, "Error opening file E004N49.33M!"},
      {"short listed tile", OK, OK, OK, 143, 144, "Error reading record of file E005N49.33M!"},
      {"read-only listed tile", OK, READ_ONLY, OK, 144, 144, "Error opening file E006N49.33M!"},
      {"read-only neighbour", OK, OK, READ_ONLY, 144, 144, "Error opening file E004N49.33M!"},
      {"short before neighbour", OK, OK, MISSING, 100, 144, "Error reading record of file E005N49.33M!"},
      {"neighbour before short", OK, OK, MISSING, 130, 144, "Error opening file E004N49.33M!"},
      {"short neighbour read", OK, MISSING, OK, 144, 131, "Error reading record of file E004N49.33M!"},
      {"walk fails before short check", OK, MISSING, OK, 144, 140, "Error opening file E006N49.33M!"},
      {"read-only first tile", READ_ONLY, OK, MISSING, 144, 144, "Error opening file E005N49.33M!"},
  };
  for (const auto& c : cases) {
    TileDb local;
    auto make = [&](int32_t lon, Damage damage, int32_t records) {
      if (damage == MISSING) return;
      local.make_tile(lon, 49, records);
      if (damage == READ_ONLY) {
        std::filesystem::permissions(local.tile_file(lon, 49), std::filesystem::perms::owner_read |
                                                                   std::filesystem::perms::group_read |
                                                                   std::filesystem::perms::others_read);
      }
    };
    make(5, c.e005, c.e005_records);
    make(6, c.e006, 144);
    make(4, c.e004, c.e004_records);
    const Snapshot before = local.snapshot();
    const EngineResult result = apply_modification(local.files(), 'C', table, 1);
    EXPECT_EQ(result.outcome, EngineOutcome::FileError) << c.label;
    EXPECT_EQ(result.notice.text, c.text) << c.label;
    EXPECT_EQ(result.notice.caption, "Error") << c.label;
    EXPECT_EQ(result.tiles_rewritten, 0) << c.label;
    EXPECT_TRUE(local.snapshot() == before) << c.label;
    EXPECT_EQ(local.files().open_count(), 0u) << c.label;
  }
}

// A neighbour-only tile needs exactly the records that receive copies: the
// rectangle's west column at 5.0 in band 11 sends copies to E004's record
// 132 only.
TEST_F(EngineTest, NeighbourOnlyTileNeedsOnlyTheRecordsItReceives) {
  const VertexTable table = rectangle(5.0, 49.9, 6.5, 49.85);
  for (const int32_t records : {132, 131}) {
    TileDb local;
    local.make_tile(5, 49);
    local.make_tile(6, 49);
    local.make_tile(4, 49, records);
    const Snapshot before = local.snapshot();
    const EngineResult result = apply_modification(local.files(), 'C', table, 1);
    if (records == 132) {
      Snapshot expected = before;
      reference_walk(expected, table, 1);
      expect_done(result);
      EXPECT_TRUE(local.snapshot() == expected);
    } else {
      EXPECT_EQ(result.notice.text, "Error reading record of file E004N49.33M!");
      EXPECT_TRUE(local.snapshot() == before);
    }
  }
}

TEST_F(EngineTest, FailedWriteFlushOrCloseIsAWriteError) {
  db.make_tile(5, 49);
  db.make_tile(4, 49);
  namespace call = testing::call;
  // Each tile is opened and closed first for its check, then again for
  // the rewrite: the closes fail from the second on.
  for (const auto& fail : {std::pair{call::WRITE_RECORD, 1}, {call::FLUSH_FILE, 1}, {call::CLOSE_FILE, 2}}) {
    for (const char* name : {"E005N49.33M", "E004N49.33M"}) {
      testing::FaultFiles files(db.files().drives(), 0,
                                {testing::FaultFiles::Rule(fail.first).on_file(name).from(fail.second).fail(99)});
      const EngineResult result = apply_modification(files, 'C', rectangle(5.0, 49.9, 5.5, 49.1), 1);
      EXPECT_EQ(result.outcome, EngineOutcome::FileError) << name << " " << fail.first;
      EXPECT_EQ(result.notice.text, std::string("Error writing record of file ") + name + "!");
      EXPECT_EQ(result.notice.caption, "Error");
      EXPECT_EQ(files.open_count(), 0u);
    }
  }
}

TEST_F(EngineTest, ApplyModificationTellsCompletion) {
  db.make_tile(5, 49);
  const EngineResult result = apply_modification(db.files(), 'C', point(5.5, 49.5), 1);
  EXPECT_EQ(result.outcome, EngineOutcome::Done);
  EXPECT_EQ(result.notice.text, "All modifications are done!");
  EXPECT_EQ(result.notice.caption, "Info");
  EXPECT_NE(word_at(testing::read_file(db.tile_file(5, 49)), RECORD_LENGTH_3S, 79, 0) & 0x0001, 0);
}

TEST_F(EngineTest, ApplyModificationTellsAFileError) {
  const EngineResult result = apply_modification(db.files(), 'C', point(5.5, 49.5), 1);
  EXPECT_EQ(result.outcome, EngineOutcome::FileError);
  EXPECT_EQ(result.notice.text, "Error opening file E005N49.33M!");
  EXPECT_EQ(result.notice.caption, "Error");
  EXPECT_EQ(db.files().open_count(), 0u);
}

}  // namespace
}  // namespace kavlin
