// The modification engine on small temporary tile databases, its refusals
// and failures: areas refused before any file is touched, the tile list and
// its degree rounding, missing, short and read-only tiles, the records a
// neighbour-only tile needs, failed writes, and what apply_modification
// tells.
#include "tiles/engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "base/program_values.h"
#include "tests/engine_test_db.h"
#include "tests/engine_test_support.h"
#include "tests/fault_files.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using namespace testing;

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

// The same for the tile to the south, which the walk contacts from the
// first record on: the area touches 49.0 north, so record 1 of E005N49
// sends copies to record 133 of E005N48.
TEST_F(EngineTest, FileFailuresOfTheSouthNeighbourNameItFirst) {
  const VertexTable table = rectangle(5.2, 49.1, 5.4, 49.0);
  const struct {
    bool present;
    int32_t records;
    const char* text;
  } cases[] = {
      {false, 144, "Error opening file E005N48.33M!"},
      {true, 132, "Error reading record of file E005N48.33M!"},
  };
  for (const auto& c : cases) {
    TileDb local;
    local.make_tile(5, 49, 144);
    if (c.present) local.make_tile(5, 48, c.records);
    const Snapshot before = local.snapshot();
    const EngineResult result = apply_modification(local.files(), 'C', table, 1);
    EXPECT_EQ(result.notice.text, c.text);
    EXPECT_TRUE(local.snapshot() == before) << c.text;
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
