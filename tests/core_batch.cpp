// Several modifications as one engine run: the same bytes as running them
// one after another, on random lines over two tile kinds and their seams.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tiles/change_mask.h"
#include "tiles/engine.h"
#include "tiles/run_journal.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using testing::TileDb;
using testing::Snapshot;

struct Line {
  VertexTable table;
  int32_t kind = 0;
};

// Degrees on the grid of both tile kinds (6 seconds) or anywhere.
double on_grid(std::mt19937& rng, double from, double to) {
  std::uniform_int_distribution<int32_t> steps(0, static_cast<int32_t>(std::lround((to - from) * 600)));
  return from + steps(rng) / 600.0;
}
double anywhere(std::mt19937& rng, double from, double to) { return std::uniform_real_distribution<double>(from, to)(rng); }

// Random lines inside longitudes 5..7 and latitudes 49..51 (the listed
// tiles E005/E006 N49/N50, neighbours west and south): points, rectangles
// and polygons, often on the tile edges at 6 degrees and the 50-degree
// seam; two flags only, set and cleared, so that lines overlap and undo
// each other.
std::vector<Line> random_lines(uint32_t seed, int32_t count) {
  std::mt19937 rng(seed);
  std::vector<Line> lines;
  const int32_t kinds[] = {3, 4, 7, 8, 7, 8, 1};
  for (int32_t n = 0; n < count; ++n) {
    Line line;
    line.kind = kinds[rng() % std::size(kinds)];
    const uint32_t shape = rng() % 6;
    const auto seam = [&](double value, double edge) { return rng() % 3 == 0 ? edge : value; };
    if (shape == 0) {
      line.table = testing::vertex_table({{seam(on_grid(rng, 5.0, 6.99), 6.0), seam(on_grid(rng, 49.0, 50.99), 50.0)}});
    } else if (shape <= 2) {
      const bool grid = shape == 1;
      const double w = seam(grid ? on_grid(rng, 5.0, 6.5) : anywhere(rng, 5.0, 6.5), 6.0);
      const double s = seam(grid ? on_grid(rng, 49.0, 50.5) : anywhere(rng, 49.0, 50.5), 50.0);
      const double e = std::min(w + (grid ? on_grid(rng, 0.01, 0.4) : anywhere(rng, 0.001, 0.4)), 6.999);
      const double nn = std::min(s + (grid ? on_grid(rng, 0.01, 0.4) : anywhere(rng, 0.001, 0.4)), 50.999);
      line.table = testing::vertex_table({{w, nn}, {e, nn}, {e, s}, {w, s}, {w, nn}});
    } else {
      const double cx = seam(anywhere(rng, 5.2, 6.8), 6.0);
      const double cy = seam(anywhere(rng, 49.2, 50.8), 50.0);
      std::vector<std::pair<double, double>> ring;
      const int32_t corners = 3 + static_cast<int32_t>(rng() % 5);
      for (int32_t c = 0; c < corners; ++c) {
        const double angle = 2 * M_PI * c / corners;
        const double radius = anywhere(rng, 0.02, 0.2);
        ring.emplace_back(cx + radius * std::cos(angle), cy + radius * std::sin(angle));
      }
      ring.push_back(ring.front());
      line.table = testing::vertex_table(ring);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

class BatchEngineTest : public ::testing::Test {
 protected:
  void make_tiles() {
    for (int32_t lon = 4; lon <= 6; ++lon) {
      for (int32_t lat = 48; lat <= 50; ++lat) db.make_tile(lon, lat);
    }
  }
  TileDb db;
};

int64_t differing_words(const Snapshot& a, const Snapshot& b) {
  int64_t n = 0;
  for (const auto& [path, bytes] : a) {
    const std::string& other = b.at(path);
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) n += bytes.compare(at, 2, other, at, 2) != 0 ? 1 : 0;
  }
  return n;
}

TEST_F(BatchEngineTest, RandomLinesGiveTheBytesOfSingleRunsOneByOne) {
  for (const uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<Line> lines = random_lines(seed, 9);
    make_tiles();
    const Snapshot before = db.snapshot();
    for (const Line& line : lines) {
      ASSERT_EQ(apply_modification(db.files(), 'C', line.table, line.kind).outcome, EngineOutcome::Done);
    }
    const Snapshot one_by_one = db.snapshot();

    make_tiles();
    std::vector<AreaModification> modifications;
    for (const Line& line : lines) modifications.push_back({&line.table, line.kind});
    GridPointCount points;
    EngineOptions options;
    options.changed_record = [&](const std::string& tile, int32_t record, std::span<const uint8_t> words) {
      points.add(tile, record, words);
    };
    const EngineResult result = apply_modifications(db.files(), 'C', modifications, options);
    ASSERT_EQ(result.outcome, EngineOutcome::Done) << result.notice.text;
    EXPECT_EQ(db.files().open_count(), 0u);
    const Snapshot batch = db.snapshot();
    EXPECT_TRUE(batch == one_by_one) << differing_words(batch, one_by_one) << " words differ";
    EXPECT_FALSE(batch == before);
    EXPECT_EQ(result.words_changed, differing_words(before, batch));
    EXPECT_GT(points.points(), 0);
    EXPECT_LE(points.points(), result.words_changed);
  }
}

// A dry run of a batch counts what the run changes and writes nothing;
// a set undone by a later clear of the same points changes nothing.
TEST_F(BatchEngineTest, DryRunCountsTheNetChange) {
  make_tiles();
  const VertexTable corner = testing::vertex_table({{6.0, 50.0}});
  const VertexTable square = testing::vertex_table({{5.9, 50.1}, {6.1, 50.1}, {6.1, 49.9}, {5.9, 49.9}, {5.9, 50.1}});
  // With town clear on the corner, setting it and clearing it again gives
  // the corner's words back.
  ASSERT_EQ(apply_modification(db.files(), 'C', corner, 8).outcome, EngineOutcome::Done);
  const Snapshot before = db.snapshot();
  const std::vector<AreaModification> undone{{&corner, 7}, {&corner, 8}, {&corner, 7}, {&corner, 8}};
  EngineOptions dry;
  dry.dry_run = true;
  GridPointCount points;
  dry.changed_record = [&](const std::string& tile, int32_t record, std::span<const uint8_t> words) {
    points.add(tile, record, words);
  };
  EngineResult result = apply_modifications(db.files(), 'C', undone, dry);
  ASSERT_EQ(result.outcome, EngineOutcome::Done);
  EXPECT_EQ(result.words_changed, 0);
  EXPECT_EQ(points.points(), 0);
  result = apply_modifications(db.files(), 'C', undone);
  EXPECT_EQ(result.words_changed, 0);
  EXPECT_TRUE(db.snapshot() == before);

  const std::vector<AreaModification> lines{{&square, 3}, {&corner, 4}};
  result = apply_modifications(db.files(), 'C', lines, dry);
  ASSERT_EQ(result.outcome, EngineOutcome::Done);
  EXPECT_TRUE(db.snapshot() == before);
  const int64_t dry_words = result.words_changed;
  const int64_t dry_points = points.points();
  result = apply_modifications(db.files(), 'C', lines);
  ASSERT_EQ(result.outcome, EngineOutcome::Done);
  EXPECT_EQ(dry_words, differing_words(before, db.snapshot()));
  EXPECT_GT(dry_points, 0);
  // The corner point is stored in four tiles: one point.
  EXPECT_EQ(grid_points_inside(corner), 1);
}

// The grid points a dry run counts from the engine's reports are those the
// full change masks mark: the same point in several records or tiles once,
// also where its stored copies hold different words (pattern_word) and
// only some of them change.
TEST_F(BatchEngineTest, DryRunPointsAreThoseOfTheChangeMasks) {
  make_tiles();
  const struct {
    const char* what;
    VertexTable table;
    int32_t kind;
  } cases[] = {
      {"across the corner of the 50-degree seam", testing::corner_rectangle(), 7},
      {"along block edges", testing::vertex_table({{5.25, 49.5}, {5.5, 49.5}, {5.5, 49.25}, {5.25, 49.25}, {5.25, 49.5}}), 9},
      {"whole tiles and their west and south edges",
       testing::vertex_table({{5, 50.99}, {6.99, 50.99}, {6.99, 49}, {5, 49}, {5, 50.99}}), 3},
      {"a point on the seam's corner", testing::vertex_table({{6, 50}}), 1},
      {"a triangle over four tiles", testing::vertex_table({{5.6, 49.6}, {6.4, 49.7}, {6.1, 50.4}}), 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EngineOptions dry;
    dry.dry_run = true;
    GridPointCount points;
    dry.changed_record = [&](const std::string& tile, int32_t record, std::span<const uint8_t> words) {
      points.add(tile, record, words);
    };
    const EngineResult result = apply_modification(db.files(), 'C', c.table, c.kind, dry);
    ASSERT_EQ(result.outcome, EngineOutcome::Done) << result.notice.text;
    const ChangeMaskResult masks = compute_change_masks(db.files(), 'C', c.table, c.kind);
    ASSERT_TRUE(masks.ok);
    EXPECT_GT(masks.changed_points, 0);
    EXPECT_EQ(points.points(), masks.changed_points);
    EXPECT_EQ(result.words_changed, masks.changed_words);
  }
}

// The checks of every modification come before the first write: a refused
// area or a missing tile names its modification, and nothing is written.
TEST_F(BatchEngineTest, AFailingModificationNamesItselfAndNothingIsWritten) {
  make_tiles();
  const VertexTable good = testing::vertex_table({{5.5, 49.5}, {5.6, 49.5}, {5.6, 49.4}, {5.5, 49.4}, {5.5, 49.5}});
  const VertexTable south = testing::vertex_table({{5.5, -0.5}});
  const VertexTable big = testing::vertex_table({{0.5, 49.5}, {7.5, 49.5}, {7.5, 40.5}, {0.5, 40.5}, {0.5, 49.5}});
  const VertexTable missing = testing::vertex_table({{8.5, 49.5}});
  const Snapshot before = db.snapshot();
  struct Case {
    const VertexTable* table;
    EngineOutcome outcome;
  };
  for (const Case& c : {Case{&south, EngineOutcome::Refused}, Case{&big, EngineOutcome::Refused},
                        Case{&missing, EngineOutcome::FileError}}) {
    const std::vector<AreaModification> lines{{&good, 7}, {&good, 3}, {c.table, 7}, {&good, 9}};
    const EngineResult result = apply_modifications(db.files(), 'C', lines);
    EXPECT_EQ(result.outcome, c.outcome) << result.notice.text;
    EXPECT_EQ(result.failed_modification, 2);
    EXPECT_EQ(result.tiles_rewritten, 0);
    EXPECT_TRUE(db.snapshot() == before);
  }
}

// A batch whose journal could outgrow what a rollback reads is refused
// before any tile is read: 40 rectangles of 36 whole tiles each, side by
// side (a record is journaled once however many lines touch it).
TEST_F(BatchEngineTest, ABatchThatCouldOutgrowTheJournalIsRefusedFirst) {
  std::vector<VertexTable> wholes;
  for (int n = 0; n < 40; ++n) {
    const double w = 10.0 + 6 * n;
    wholes.push_back(testing::vertex_table({{w, 45.99}, {w + 5.99, 45.99}, {w + 5.99, 40.0}, {w, 40.0}, {w, 45.99}}));
  }
  std::vector<AreaModification> lines;
  for (const VertexTable& whole : wholes) lines.push_back({&whole, 7});
  SafeRunResult result = run_journaled(db.files(), 'C', lines);
  EXPECT_EQ(result.engine.outcome, EngineOutcome::Refused);
  EXPECT_EQ(result.engine.notice.text, BATCH_TOO_LARGE_TEXT);
  // Two of them fit: the run goes on and finds no tile.
  lines.resize(2);
  result = run_journaled(db.files(), 'C', lines);
  EXPECT_EQ(result.engine.outcome, EngineOutcome::FileError);
  EXPECT_EQ(result.engine.failed_modification, 0);
}

}  // namespace
// A journal may hold no more than the tile files of its database could
// need: a larger one is damaged at the start and never read, one within
// the limit is rolled back as ever.
TEST_F(BatchEngineTest, AJournalLargerThanItsDatabaseCouldNeedIsDamaged) {
  db.make_tile(5, 49);
  db.make_tile(5, 50);
  // E005N49 (3 seconds) and E005N50 (6 seconds), every record, ten kinds.
  const std::size_t limit = 4096 + 144 * (12 + 10 * (3 + 1276) + 64) + 144 * (12 + 10 * (3 + 644) + 64);
  EXPECT_EQ(journal_size_limit(db.files(), 'C'), limit);
  const std::filesystem::path journal = db.drive_root() / "KAVLIN" / "JOURNAL";
  testing::write_file(journal, std::string(limit + 1, 'J'));
  const Recovery damaged = recover_journal(db.files(), 'C');
  EXPECT_EQ(damaged.state, Recovery::State::Failed);
  EXPECT_EQ(damaged.notice.text, damaged_journal_notice('C', "it is larger than any journal").text);
  EXPECT_TRUE(std::filesystem::exists(journal));
  // Within the limit it is read, and judged by what it holds.
  testing::write_file(journal, std::string(limit, 'J'));
  EXPECT_NE(recover_journal(db.files(), 'C').notice.text, damaged.notice.text);
}

}  // namespace kavlin
