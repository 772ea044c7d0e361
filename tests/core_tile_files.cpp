// Tile names, paths, grid co-ordinates, record layout and record transfers.
#include "tiles/tile_files.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tiles/tile_writer.h"

namespace kavlin {
namespace {

using testing::TileDb;
using testing::pattern_word;
using testing::read_file;
using testing::word_at;

TEST(KindOperation, TenKindsSetOrClearOneFlag) {
  const struct {
    int32_t kind;
    bool set;
    uint16_t mask;
  } cases[] = {
      {1, true, 0x0001}, {2, false, 0xFFFE}, {3, true, 0x0002}, {4, false, 0xFFFD}, {5, true, 0x0004},
      {6, false, 0xFFFB}, {7, true, 0x0008}, {8, false, 0xFFF7}, {9, true, 0x0010}, {10, false, 0xFFEF},
  };
  for (const auto& c : cases) {
    const auto op = kind_operation(c.kind);
    ASSERT_TRUE(op.has_value()) << c.kind;
    EXPECT_EQ(op->set, c.set) << c.kind;
    EXPECT_EQ(op->mask, c.mask) << c.kind;
  }
  for (const int32_t bad : {0, 11, -1, INT_MIN, INT_MAX}) EXPECT_FALSE(kind_operation(bad).has_value()) << bad;
}

TEST(KindOperation, KeepsOtherBits) {
  EXPECT_EQ(apply_kind(*kind_operation(2), 0x0003), 0x0002);
  EXPECT_EQ(apply_kind(*kind_operation(9), 0xFFE0), 0xFFF0);
  EXPECT_EQ(apply_kind(*kind_operation(9), 0x0010), 0x0010);  // already set
  EXPECT_EQ(apply_kind(*kind_operation(4), 0xFFE1), 0xFFE1);  // already clear
  for (int32_t kind = 1; kind <= 10; ++kind) {
    for (const uint16_t word : {uint16_t{0x0000}, uint16_t{0xFFFF}, uint16_t{0xABCD}, uint16_t{0x5432}}) {
      EXPECT_EQ(apply_kind(*kind_operation(kind), word) & 0xFFE0, word & 0xFFE0) << kind;
    }
  }
}

TEST(TileName, Layout) {
  const struct {
    int32_t lon, lat;
    const char* name;
    bool valid;
  } cases[] = {
      {6, 49, "E006N49.33M", true},     {-5, 51, "W005N51.63M", true},   {0, 50, "E000N50.63M", true},
      {0, 0, "E000N00.33M", true},      {-1, 49, "W001N49.33M", true},   {179, 0, "E179N00.33M", true},
      {-180, 89, "W180N89.63M", true},  {999, 99, "E999N99.63M", true},  {-999, 49, "W999N49.33M", true},
      {1000, 5, "E***N05.33M", false},  {-1000, 5, "W***N05.33M", false}, {5, 100, "E005N**.63M", false},
      {5, -1, "E005N**.33M", false},    {INT_MIN, 5, "W***N05.33M", false},
      {INT_MAX, INT_MAX, "E***N**.63M", false},
  };
  for (const auto& c : cases) {
    const std::string name = TILE_NAME(c.lon, c.lat);
    EXPECT_EQ(name, c.name) << c.lon << " " << c.lat;
    EXPECT_EQ(name.size(), TILE_NAME_LENGTH);
    EXPECT_EQ(tile_name_valid(name), c.valid) << name;
  }
}

TEST(TileName, OnlyWhatTileNameGivesNamesATile) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"E006N49.33M", true},  {"W180N89.63M", true},  {"E000N00.33M", true},   {"e006n49.33m", false},
      {"E006N49.63M", false}, {"E006N50.33M", false}, {"W000N10.33M", false},  {"X006N49.33M", false},
      {"E0O6N49.33M", false}, {"E006N4.33M", false},  {"E006N49.33MM", false}, {"E006S49.33M", false},
      {"E***N05.33M", false}, {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(tile_name_valid(c.text), c.valid) << c.text;
}

TEST(TileName, TilesOfAnExtentAndTheirClamps) {
  const struct {
    Extent extent;
    int32_t clamp;
    std::vector<std::pair<int32_t, int32_t>> tiles;
  } cases[] = {
      {{5.5, 6.0, 49.0, 49.9}, NAME_CLAMP, {{5, 49}, {6, 49}}},
      {{-0.5, -0.0, 0.0, 1.0}, NAME_CLAMP, {{-1, 0}, {-1, 1}, {0, 0}, {0, 1}}},
      {{998.5, 1001.5, 5.5, 5.5}, NAME_CLAMP, {{998, 5}, {999, 5}, {1000, 5}}},
      {{998.5, 1001.5, 5.5, 5.5}, NEIGHBOUR_CLAMP, {{998, 5}, {999, 5}, {1000, 5}, {1001, 5}}},
      {{-1e300, -1e300, 5.5, 5.5}, NAME_CLAMP, {{-1000, 5}}},
      {{1e300, 1e300, 1e300, 1e300}, NEIGHBOUR_CLAMP, {{1000000000, 1000000000}}},
      {{-1000000000.5, -1000000000.5, 5.5, 5.5}, NEIGHBOUR_CLAMP, {{-1000000000, 5}}},
      {{6.0, 5.0, 49.5, 49.5}, NAME_CLAMP, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<int32_t, int32_t>> got;
    for (const TileDegrees& tile : extent_tiles(c.extent, c.clamp)) got.emplace_back(tile.LON_DEG, tile.LAT_DEG);
    EXPECT_EQ(got, c.tiles) << c.extent.LON_MIN << " " << c.clamp;
  }
}

TEST(TileName, PathHasTheNamesDirectory) {
  EXPECT_EQ(TILE_PATH('C', "E006N49.33M"), "C:\\KAVLIN\\E006\\E006N49.33M");
  EXPECT_EQ(TILE_PATH('D', "W005N51.63M"), "D:\\KAVLIN\\W005\\W005N51.63M");
  EXPECT_EQ(TILE_PATH('C', "E006N49.33M").size(), TILE_PATH_LENGTH);
}

TEST(TileName, OriginReadBack) {
  const struct {
    const char* name;
    int32_t lon, lat, spacing, record_length;
  } cases[] = {
      {"E006N49.33M", 6, 49, 3, 20402}, {"W005N51.63M", -5, 51, 6, 10302}, {"E000N50.63M", 0, 50, 6, 10302},
      {"W001N00.33M", -1, 0, 3, 20402}, {"E179N89.63M", 179, 89, 6, 10302},
  };
  for (const auto& c : cases) {
    const TileOrigin o = TILE_ORIGIN(c.name);
    EXPECT_EQ(o.LON_DEG, c.lon) << c.name;
    EXPECT_EQ(o.LAT_DEG, c.lat) << c.name;
    EXPECT_EQ(o.spacing, c.spacing) << c.name;
    EXPECT_EQ(o.record_length(), c.record_length) << c.name;
    EXPECT_EQ(o.words_per_record() * 2, c.record_length) << c.name;
    EXPECT_EQ(TILE_NAME(o.LON_DEG, o.LAT_DEG), c.name);
  }
}

TEST(GridAddressing, RecordsAndRowStarts) {
  EXPECT_EQ(record_number(1, 1), 1);     // south-west block
  EXPECT_EQ(record_number(1, 12), 12);   // south-east block
  EXPECT_EQ(record_number(12, 1), 133);  // north-west block
  EXPECT_EQ(record_number(12, 12), 144); // north-east block
  EXPECT_EQ(word_offset(2, 1, COLUMNS_3S), 202);
  EXPECT_EQ(word_offset(2, 1, COLUMNS_6S), 102);
  EXPECT_EQ(word_offset(ROWS_PER_BLOCK, COLUMNS_3S, COLUMNS_3S), RECORD_LENGTH_3S - 2);
  EXPECT_EQ(word_offset(ROWS_PER_BLOCK, COLUMNS_6S, COLUMNS_6S), RECORD_LENGTH_6S - 2);
}

TEST(GridAddressing, CornerCoordinatesOfTheCornerRecords) {
  // Record 1 starts exactly at the tile's south-west corner; record 144
  // ends at its north-east corner.
  EXPECT_EQ(grid_latitude(49, 1, 1), 49.0);
  EXPECT_EQ(grid_longitude(5, 1, 1, 3), 5.0);
  EXPECT_EQ(grid_longitude(-1, 1, 1, 6), -1.0);
  EXPECT_EQ(grid_latitude(49, 12, 101), 50.0);
  EXPECT_EQ(grid_longitude(5, 12, 101, 3), 6.0);
  EXPECT_EQ(grid_longitude(5, 12, 51, 6), 6.0);
  // Record 12 (south-east block) and record 133 (north-west block).
  EXPECT_EQ(grid_longitude(5, 12, 1, 3), 5.0 + 11 / 12.0);
  EXPECT_EQ(grid_latitude(49, 12, 1), 49.0 + 11 / 12.0);
  // 6-second columns step twice as far.
  EXPECT_EQ(grid_longitude(5, 1, 2, 6), 1 / 600.0 + 5.0);
  EXPECT_EQ(grid_longitude(5, 1, 3, 3), grid_longitude(5, 1, 2, 6));
}

TEST(GridAddressing, OriginFirstThenStepToTheLastBit) {
  // (l - 1) / 1200 is added to the stored block origin, not the other way
  // round; the two orders differ in the last bit here.
  EXPECT_EQ(grid_latitude(1, 2, 2), 1.0841666666666665);
  EXPECT_NE(grid_latitude(1, 2, 2), 1.0 + (1 / 12.0 + 1 / 1200.0));
  EXPECT_EQ(grid_longitude(1, 2, 2, 3), 1.0841666666666665);
  // North row of band 5 and south row of band 6 of N00 are the same place
  // but not the same double.
  EXPECT_EQ(grid_latitude(0, 5, 101), 0.41666666666666663);
  EXPECT_EQ(grid_latitude(0, 6, 1), 0.41666666666666669);
}

// Where the copies of a tile's west and south edge points lie: west,
// south, south-west, in that order; none for any other word.
TEST(GridAddressing, EdgeCopiesInTheNeighbourTiles) {
  using P = StoredPlace;
  const struct {
    const char* what;
    int32_t lon, lat, record, l, k;
    std::vector<StoredPlace> copies;
  } cases[] = {
      {"south-west corner", 6, 49, 1, 1, 1, {P{5, 49, 12, 1, 101}, P{6, 48, 133, 101, 1}, P{5, 48, 144, 101, 101}}},
      {"west edge, band boundary", 6, 49, 13, 1, 1, {P{5, 49, 24, 1, 101}}},
      {"west edge, north-west corner", 6, 49, 133, 101, 1, {P{5, 49, 144, 101, 101}}},
      {"south edge, block corner", 6, 49, 2, 1, 1, {P{6, 48, 134, 101, 1}}},
      {"south-east corner", 6, 49, 12, 1, 101, {P{6, 48, 144, 101, 101}}},
      {"6 over 3 seconds: doubled column", 6, 50, 3, 1, 4, {P{6, 49, 135, 101, 7}}},
      {"6 over 3 seconds: corner", 6, 50, 1, 1, 1, {P{5, 50, 12, 1, 51}, P{6, 49, 133, 101, 1}, P{5, 49, 144, 101, 101}}},
      {"6 over 6 seconds", 6, 51, 3, 1, 4, {P{6, 50, 135, 101, 4}}},
      {"west of the zero meridian", 0, 10, 25, 7, 1, {P{-1, 10, 36, 7, 101}}},
      {"equator: no tile south", 6, 0, 1, 1, 1, {P{5, 0, 12, 1, 101}}},
      {"inside a block", 6, 49, 1, 2, 2, {}},
      {"east column", 6, 49, 1, 5, 101, {}},
      {"north row", 6, 49, 133, 101, 5, {}},
      {"first column of a block east of the first", 6, 49, 2, 5, 1, {}},
      {"first row of a band above the first", 6, 49, 13, 1, 5, {}},
  };
  for (const auto& c : cases) {
    const EdgeCopies copies = edge_copies(TILE_ORIGIN(c.lon, c.lat), c.record, c.l, c.k);
    EXPECT_EQ(std::vector<StoredPlace>(copies.begin(), copies.end()), c.copies) << c.what;
  }
}

class TileFileTest : public ::testing::Test {
 protected:
  TileDb db;
};

TEST_F(TileFileTest, ReadsTheCornerRecordsOfBothSpacings) {
  db.make_tile(5, 49);
  db.make_tile(5, 50);
  for (const int32_t lat : {49, 50}) {
    const std::string name = TILE_NAME(5, lat);
    const TileOrigin origin = TILE_ORIGIN(name);
    EXPECT_EQ(std::filesystem::file_size(db.tile_file(5, lat)),
              static_cast<uintmax_t>(origin.record_length()) * RECORDS_PER_TILE);
    int32_t unit = 0;
    ASSERT_EQ(OPEN_TILE(db.files(), unit, TILE_PATH('C', name), origin.record_length()), 0) << name;
    std::vector<uint8_t> buffer(origin.record_length());
    for (const int32_t r : {1, 12, 133, 144}) {
      ASSERT_EQ(READ_BLOCK(db.files(), unit, r, buffer), 0) << name << " " << r;
      const int32_t last = origin.words_per_record() - 1;
      EXPECT_EQ(get_word(buffer, 0), pattern_word(5, lat, r, 0));
      EXPECT_EQ(get_word(buffer, word_offset(2, 1, origin.columns())),
                pattern_word(5, lat, r, origin.columns()));
      EXPECT_EQ(get_word(buffer, last * 2), pattern_word(5, lat, r, last));
    }
    CLOSE_TILE(db.files(), unit);
  }
  EXPECT_EQ(db.files().open_count(), 0u);
}

TEST_F(TileFileTest, RecordRoundTripTouchesOnlyThatRecordLittleEndian) {
  db.make_tile(-1, 50);
  const auto path = db.tile_file(-1, 50);
  EXPECT_EQ(path.filename(), "W001N50.63M");
  const std::string before = read_file(path);
  int32_t unit = 0;
  ASSERT_EQ(OPEN_TILE(db.files(), unit, TILE_PATH('C', "W001N50.63M"), RECORD_LENGTH_6S), 0);
  std::vector<uint8_t> buffer(RECORD_LENGTH_6S);
  ASSERT_EQ(READ_BLOCK(db.files(), unit, 7, buffer), 0);
  put_word(buffer, 0, 0x1234);
  put_word(buffer, RECORD_LENGTH_6S - 2, 0xBEEF);
  ASSERT_EQ(WRITE_BLOCK(db.files(), unit, 7, buffer), 0);
  CLOSE_TILE(db.files(), unit);

  std::string expected = before;
  const std::size_t start = 6u * RECORD_LENGTH_6S;
  expected[start] = 0x34;
  expected[start + 1] = 0x12;
  expected[start + RECORD_LENGTH_6S - 2] = static_cast<char>(0xEF);
  expected[start + RECORD_LENGTH_6S - 1] = static_cast<char>(0xBE);
  EXPECT_EQ(read_file(path), expected);
  EXPECT_EQ(word_at(read_file(path), RECORD_LENGTH_6S, 7, 0), 0x1234);
}

TEST_F(TileFileTest, MissingFileIsNotCreated) {
  int32_t unit = 0;
  EXPECT_NE(OPEN_TILE(db.files(), unit, TILE_PATH('C', "E005N49.33M"), RECORD_LENGTH_3S), 0);
  EXPECT_FALSE(std::filesystem::exists(db.tile_file(5, 49)));
  EXPECT_FALSE(std::filesystem::exists(db.tile_file(5, 49).parent_path()));
  EXPECT_EQ(db.files().open_count(), 0u);
}

TEST_F(TileFileTest, ShortFileFailsItsLastRecord) {
  db.make_tile(5, 49, 143, RECORD_LENGTH_3S / 2);  // 143.5 records
  int32_t unit = 0;
  ASSERT_EQ(OPEN_TILE(db.files(), unit, TILE_PATH('C', "E005N49.33M"), RECORD_LENGTH_3S), 0);
  std::vector<uint8_t> buffer(RECORD_LENGTH_3S);
  EXPECT_EQ(READ_BLOCK(db.files(), unit, 143, buffer), 0);
  EXPECT_NE(READ_BLOCK(db.files(), unit, 144, buffer), 0);
  CLOSE_TILE(db.files(), unit);
}

TEST_F(TileFileTest, AsteriskNamesAreRefusedEvenWhenSuchAFileExists) {
  const auto path = tile_host_path(db.drive_root(), 1000, 5);
  ASSERT_EQ(path.filename(), "E***N05.33M");
  write_tile_file(path, tile_file_bytes(TILE_ORIGIN(1000, 5), [](int32_t, int32_t) { return uint16_t{0}; }));
  int32_t unit = 0;
  EXPECT_NE(OPEN_TILE(db.files(), unit, TILE_PATH('C', TILE_NAME(1000, 5)), RECORD_LENGTH_3S), 0);
  EXPECT_EQ(db.files().open_count(), 0u);
}

}  // namespace
}  // namespace kavlin
