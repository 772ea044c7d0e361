// The database check: tile files of the right size, every copy of a grid
// point the same, bits 5 to 15 told; the report lines exactly.
#include "tiles/db_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tiles/tile_files.h"
#include "tools/demo_db.h"

namespace kavlin {
namespace {

using testing::read_file;
using testing::set_word_at;
using testing::TileDb;
using testing::write_file;

// A check's lines, its file errors ("Caption: text") and its totals.
struct Checked {
  std::vector<std::string> lines;
  std::vector<std::string> notices;
  DbCheckResult result;
};

CheckOutput collect(Checked& checked) {
  return {[&checked](const std::string& line) { checked.lines.push_back(line); },
          [&checked](const Notice& notice) { checked.notices.push_back(notice.caption + ": " + notice.text); }};
}

Checked check_whole(TileDb& db) {
  Checked checked;
  checked.result = check_database(db.files(), db.files(), 'C', collect(checked));
  return checked;
}

Checked check_area(TileDb& db, double lon, double lat) {
  Checked checked;
  checked.result = check_area_tiles(db.files(), 'C', Extent{lon, lon, lat, lat}, collect(checked));
  return checked;
}

// Every word of these tiles 0x0040: all copies agree.
void make_plain_tiles(TileDb& db, const std::vector<TileDegrees>& tiles) {
  for (const TileDegrees& t : tiles) {
    db.make_tile(t.LON_DEG, t.LAT_DEG, 144, 0, [](int32_t, int32_t) { return uint16_t{0x0040}; });
  }
}

// The tiles E005/E006 x N49/N50: 3-second below 50 degrees, 6-second above.
const std::vector<TileDegrees> FOUR = {{5, 49}, {6, 49}, {5, 50}, {6, 50}};
// Stored copies of the points stored more than once in them, each but the
// first copy of its point (counted by hand: block edges of every record,
// tile edges, the 50-degree row on every other 3-second column).
constexpr int64_t FOUR_COPIES = 96575;

void plant(TileDb& db, int32_t lon, int32_t lat, int32_t record, int32_t l, int32_t k, uint16_t word) {
  const TileOrigin origin = TILE_ORIGIN(lon, lat);
  std::string bytes = read_file(db.tile_file(lon, lat));
  set_word_at(bytes, origin.record_length(), record, (l - 1) * origin.columns() + (k - 1), word);
  write_file(db.tile_file(lon, lat), bytes);
}

TEST(DbCheck, SoundDatabasePassesAndItsHighBitsAreTold) {
  TileDb db;
  std::vector<demo::TileId> tiles;
  for (const TileDegrees& t : FOUR) tiles.push_back({t.LON_DEG, t.LAT_DEG});
  demo::write_database(db.drive_root(), tiles, demo::demo_word);
  // Bits 5 to 15 of every stored word, counted here from the bytes.
  int32_t least = 2047, greatest = 0;
  int64_t not_zero = 0, words = 0;
  for (const TileDegrees& t : FOUR) {
    const std::string bytes = read_file(db.tile_file(t.LON_DEG, t.LAT_DEG));
    for (std::size_t at = 0; at < bytes.size(); at += 2, ++words) {
      const int32_t value = (static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8) >> 5;
      least = std::min(least, value);
      greatest = std::max(greatest, value);
      not_zero += value != 0 ? 1 : 0;
    }
  }

  const Checked checked = check_whole(db);
  EXPECT_TRUE(checked.lines.empty());
  EXPECT_TRUE(checked.notices.empty());
  EXPECT_FALSE(checked.result.faults());
  EXPECT_EQ(check_summary(checked.result),
            (std::vector<std::string>{
                "Check: no fault found.", "tiles checked: 4", "tile files of a wrong size: 0",
                "tile files that could not be read: 0", "stored grid words checked: " + std::to_string(words),
                "copies compared with another copy of their point: " + std::to_string(FOUR_COPIES),
                "copies that differ: 0", "tiles with faults: 0",
                "bits 5 to 15 (not judged): " + std::to_string(least) + " to " + std::to_string(greatest) +
                    ", not zero in " + std::to_string(not_zero) + " words"}));
  EXPECT_EQ(words, 2 * 1468944 + 2 * 741744);
}

// One word planted in one copy of a point: the copies that differ from the
// first copy read (south to north, west to east, record by record) are
// named with both words.
TEST(DbCheck, PlantedDisagreementsAreReportedExactly) {
  const std::string N49 = "E006N49.33M: grid words that differ from another copy of their point: ";
  const std::string N50 = "E006N50.63M: grid words that differ from another copy of their point: ";
  const struct {
    const char* what;
    int32_t lon, lat, record, l, k;
    uint16_t word;
    int64_t differing;
    std::vector<std::string> lines;
  } cases[] = {
      {"block edge in a tile", 6, 49, 1, 7, 101, 0x0051, 1,
       {N49 + "1", "  record 2 row 7 column 1 holds 0x0040, E006N49.33M record 1 row 7 column 101 holds 0x0051"}},
      {"band edge in a tile", 6, 49, 14, 1, 9, 0x0051, 1,
       {N49 + "1", "  record 14 row 1 column 9 holds 0x0051, E006N49.33M record 2 row 101 column 9 holds 0x0040"}},
      {"block corner, its last copy", 6, 49, 14, 1, 1, 0x0051, 1,
       {N49 + "1", "  record 14 row 1 column 1 holds 0x0051, E006N49.33M record 1 row 101 column 101 holds 0x0040"}},
      {"block corner, its first copy", 6, 49, 1, 101, 101, 0x0051, 3,
       {N49 + "3", "  record 2 row 101 column 1 holds 0x0040, E006N49.33M record 1 row 101 column 101 holds 0x0051",
        "  record 13 row 1 column 101 holds 0x0040, E006N49.33M record 1 row 101 column 101 holds 0x0051",
        "  record 14 row 1 column 1 holds 0x0040, E006N49.33M record 1 row 101 column 101 holds 0x0051"}},
      {"west edge of a tile", 6, 49, 13, 50, 1, 0x0051, 1,
       {N49 + "1", "  record 13 row 50 column 1 holds 0x0051, E005N49.33M record 24 row 50 column 101 holds 0x0040"}},
      {"bits 5 to 15 only", 6, 49, 13, 50, 1, 0x0060, 1,
       {N49 + "1", "  record 13 row 50 column 1 holds 0x0060, E005N49.33M record 24 row 50 column 101 holds 0x0040"}},
      {"the row at 50 degrees: odd columns of N49", 6, 50, 3, 1, 4, 0x0051, 1,
       {N50 + "1", "  record 3 row 1 column 4 holds 0x0051, E006N49.33M record 135 row 101 column 7 holds 0x0040"}},
      {"the row at 50 degrees: an even column of N49 is stored once", 6, 49, 135, 101, 8, 0x0051, 0, {}},
      {"corner of four tiles, its first copy", 5, 49, 144, 101, 101, 0x0051, 3,
       {"E006N49.33M: grid words that differ from another copy of their point: 1",
        "  record 133 row 101 column 1 holds 0x0040, E005N49.33M record 144 row 101 column 101 holds 0x0051",
        "E005N50.63M: grid words that differ from another copy of their point: 1",
        "  record 12 row 1 column 51 holds 0x0040, E005N49.33M record 144 row 101 column 101 holds 0x0051",
        N50 + "1", "  record 1 row 1 column 1 holds 0x0040, E005N49.33M record 144 row 101 column 101 holds 0x0051"}},
      {"corner of four tiles, its last copy", 6, 50, 1, 1, 1, 0x0051, 1,
       {N50 + "1", "  record 1 row 1 column 1 holds 0x0051, E005N49.33M record 144 row 101 column 101 holds 0x0040"}},
  };
  for (const auto& c : cases) {
    TileDb db;
    make_plain_tiles(db, FOUR);
    plant(db, c.lon, c.lat, c.record, c.l, c.k, c.word);
    const Checked checked = check_whole(db);
    EXPECT_EQ(checked.lines, c.lines) << c.what;
    EXPECT_TRUE(checked.notices.empty()) << c.what;
    EXPECT_EQ(checked.result.copies_differing, c.differing) << c.what;
    EXPECT_EQ(checked.result.faults(), c.differing > 0) << c.what;
    EXPECT_EQ(checked.result.copies_compared, FOUR_COPIES) << c.what;
  }
}

TEST(DbCheck, FirstFivePlacesThenACount) {
  TileDb db;
  make_plain_tiles(db, FOUR);
  for (int32_t l = 10; l <= 16; ++l) plant(db, 6, 49, 13, l, 1, 0x0051);
  const Checked checked = check_whole(db);
  EXPECT_EQ(checked.lines,
            (std::vector<std::string>{
                "E006N49.33M: grid words that differ from another copy of their point: 7",
                "  record 13 row 10 column 1 holds 0x0051, E005N49.33M record 24 row 10 column 101 holds 0x0040",
                "  record 13 row 11 column 1 holds 0x0051, E005N49.33M record 24 row 11 column 101 holds 0x0040",
                "  record 13 row 12 column 1 holds 0x0051, E005N49.33M record 24 row 12 column 101 holds 0x0040",
                "  record 13 row 13 column 1 holds 0x0051, E005N49.33M record 24 row 13 column 101 holds 0x0040",
                "  record 13 row 14 column 1 holds 0x0051, E005N49.33M record 24 row 14 column 101 holds 0x0040",
                "  and 2 more"}));
  EXPECT_EQ(checked.result.tiles_with_faults, 1);
  EXPECT_EQ(check_summary(checked.result)[0], "Check: faults found.");
}

// A file longer than 144 records is checked all the same; a shorter one
// no further than its size.
TEST(DbCheck, TileFilesOfAWrongSize) {
  TileDb db;
  const auto fill = [](int32_t, int32_t) { return uint16_t{0x0040}; };
  db.make_tile(5, 49, 144, 0, fill);
  db.make_tile(6, 49, 144, 2, fill);
  db.make_tile(5, 50, 0, 0, fill);
  db.make_tile(6, 50, 143, 0, fill);
  const Checked checked = check_whole(db);
  EXPECT_EQ(checked.lines,
            (std::vector<std::string>{
                "E006N49.33M: size 2937890 bytes (144 records and 2 bytes), not 2937888 (144 records of 20402 bytes)",
                "E005N50.63M: size 0 bytes (0 records), not 1483488 (144 records of 10302 bytes): not checked further",
                "E006N50.63M: size 1473186 bytes (143 records), not 1483488 (144 records of 10302 bytes): not checked "
                "further"}));
  EXPECT_TRUE(checked.notices.empty());
  EXPECT_EQ(checked.result.tiles_checked, 4);
  EXPECT_EQ(checked.result.wrong_size, 3);
  EXPECT_EQ(checked.result.tiles_with_faults, 3);
  EXPECT_EQ(checked.result.words_checked, 2 * 1468944);
  EXPECT_EQ(checked.result.copies_differing, 0);
  EXPECT_TRUE(checked.result.faults());
}

// The tile of an area and the copies of its points in the tiles around it
// (one of them missing): a disagreement between two tiles around it, away
// from its edges, is none of its business.
TEST(DbCheck, AreaTileAndTheCopiesAroundIt) {
  TileDb db;
  std::vector<TileDegrees> nine;
  for (int32_t lon = 5; lon <= 7; ++lon) {
    for (int32_t lat = 48; lat <= 50; ++lat) {
      if (lon != 7 || lat != 48) nine.push_back({lon, lat});
    }
  }
  make_plain_tiles(db, nine);
  plant(db, 5, 49, 12, 50, 101, 0x0051);  // the area tile's west edge, in the tile west of it
  plant(db, 6, 50, 1, 1, 5, 0x0051);      // its north edge, in the tile north of it
  plant(db, 6, 48, 134, 101, 7, 0x0051);  // its south edge, in the tile south of it
  plant(db, 5, 50, 12, 1, 51, 0x0051);    // its north-west corner, in the tile north-west of it
  plant(db, 5, 49, 12, 1, 50, 0x0051);    // west of it, on the edge of the tiles E005N49 and E005N48
  const Checked checked = check_area(db, 6.5, 49.5);
  EXPECT_EQ(checked.lines,
            (std::vector<std::string>{
                "E006N49.33M: grid words that differ from another copy of their point: 2",
                "  record 1 row 50 column 1 holds 0x0040, E005N49.33M record 12 row 50 column 101 holds 0x0051",
                "  record 2 row 1 column 7 holds 0x0040, E006N48.33M record 134 row 101 column 7 holds 0x0051",
                "E005N50.63M: grid words that differ from another copy of their point: 1",
                "  record 12 row 1 column 51 holds 0x0051, E005N49.33M record 144 row 101 column 101 holds 0x0040",
                "E006N50.63M: grid words that differ from another copy of their point: 1",
                "  record 1 row 1 column 5 holds 0x0051, E006N49.33M record 133 row 101 column 9 holds 0x0040"}));
  EXPECT_TRUE(checked.notices.empty());
  EXPECT_EQ(checked.result.tiles_checked, 1);
  EXPECT_EQ(checked.result.neighbours_read, 7);
  EXPECT_EQ(checked.result.words_checked, 1468944);
  // Counted by hand as for FOUR_COPIES: the copies of the points of
  // E006N49 (its edges included) in it and in the seven tiles around it.
  EXPECT_EQ(checked.result.copies_compared, 30794);
  EXPECT_EQ(checked.result.copies_differing, 4);
  EXPECT_EQ(check_summary(checked.result)[2], "neighbour tiles read for the copies of edge points: 7");
}

TEST(DbCheck, MissingAreaTileIsAFileError) {
  TileDb db;
  make_plain_tiles(db, {{6, 49}});
  const Checked checked = check_area(db, 6.5, 48.5);
  EXPECT_TRUE(checked.lines.empty());
  EXPECT_EQ(checked.notices, std::vector<std::string>{"Error: Error opening file E006N48.33M!"});
  EXPECT_EQ(checked.result.unreadable, 1);
  EXPECT_EQ(checked.result.tiles_checked, 0);
  EXPECT_EQ(checked.result.neighbours_read, 1);
  EXPECT_EQ(check_summary(checked.result)[0], "Check: not complete: tile files could not be read.");
}

}  // namespace
}  // namespace kavlin
