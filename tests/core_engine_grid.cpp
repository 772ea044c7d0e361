// The modification engine on small temporary tile databases, word by word:
// a point off the grid and one on a tile corner, a rectangle's half-open
// edges, the 6-second row copied onto the 3-second tile, the flag already
// set, every kind on one word, a tile's tail and the equator.
#include "tiles/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/engine_test_support.h"
#include "tests/test_support.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using namespace testing;

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

}  // namespace
}  // namespace kavlin
