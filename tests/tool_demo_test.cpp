// The demo database generator: files, sizes, shared points, the refusal to
// overwrite.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/tile_files.h"
#include "tools/demo_db.h"

namespace fs = std::filesystem;
using kavlin::testing::run_program;
using kavlin::testing::TempDir;
using kavlin::testing::TileImage;

namespace {

std::set<std::string> regular_files_below(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root).generic_string());
  }
  return files;
}

// The four demo tiles, loaded once for all consistency tests.
class DemoTiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    kavlin::demo::write_demo_database(dir_->path() / "d:");
    const fs::path base = dir_->path() / "d:" / "KAVLIN";
    sw_ = new TileImage(TileImage::load(base / "E005" / "E005N49.33M", 49));
    se_ = new TileImage(TileImage::load(base / "E006" / "E006N49.33M", 49));
    nw_ = new TileImage(TileImage::load(base / "E005" / "E005N50.63M", 50));
    ne_ = new TileImage(TileImage::load(base / "E006" / "E006N50.63M", 50));
  }
  static void TearDownTestSuite() {
    delete sw_;
    delete se_;
    delete nw_;
    delete ne_;
    delete dir_;
  }
  static TempDir* dir_;
  static TileImage *sw_, *se_, *nw_, *ne_;
};
TempDir* DemoTiles::dir_ = nullptr;
TileImage* DemoTiles::sw_ = nullptr;
TileImage* DemoTiles::se_ = nullptr;
TileImage* DemoTiles::nw_ = nullptr;
TileImage* DemoTiles::ne_ = nullptr;

// One database made in turn: exactly the four tiles and the sample
// polygon with their sizes and the library's bytes; the sample polygon
// applies as it is (inside the demo tiles, clear of every tile edge); a
// second run refuses to overwrite, --force does.
TEST(MakeDemo, CreatesTheFilesAppliesTheSampleAndNeverOverwritesWithoutForce) {
  TempDir dir;
  const fs::path drives = dir / "drives";
  const std::vector<std::string> args{"--drives", drives.string(), "--drive", "D"};
  const auto r = run_program(KAVLIN_MAKE_DEMO_BIN, args, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::set<std::string> expected{"KAVLIN/E005/E005N49.33M", "KAVLIN/E006/E006N49.33M",
                                       "KAVLIN/E005/E005N50.63M", "KAVLIN/E006/E006N50.63M",
                                       "POLYGONS/NEWLAKE.TXT"};
  ASSERT_TRUE(fs::is_directory(drives / "d:"));
  EXPECT_EQ(regular_files_below(drives / "d:"), expected);
  for (const char* tile : {"E005/E005N49.33M", "E006/E006N49.33M", "E005/E005N50.63M", "E006/E006N50.63M"}) {
    EXPECT_EQ(fs::file_size(drives / "d:/KAVLIN" / tile), std::string(tile).ends_with("33M") ? 2937888u : 1483488u);
  }
  EXPECT_EQ(kavlin::testing::read_file(drives / "d:/KAVLIN/E006/E006N50.63M"),
            kavlin::demo::tile_bytes(6, 50, kavlin::demo::demo_word));

  const fs::path tile = drives / "d:/KAVLIN/E005/E005N49.33M";
  const std::string original = kavlin::testing::read_file(tile);
  const auto applied = run_program(KAVLIN_APPLY_BIN, {"--drive", "D", "--set", "inland-water", "--polygon",
                                                      "D:\\POLYGONS\\NEWLAKE.TXT"},
                                   dir.path(), {{"KAVLIN_DRIVES", drives.string()}});
  EXPECT_EQ(applied.exit_status, 0) << applied.err;
  EXPECT_NE(applied.out.find("tiles rewritten: 1\n"), std::string::npos) << applied.out;
  EXPECT_EQ(applied.out.find("grid words changed: 0\n"), std::string::npos) << applied.out;

  // Spoil one byte: a refused run must leave it spoiled, --force repairs it.
  std::string bytes = original;
  bytes[1000] = static_cast<char>(bytes[1000] ^ 0x20);
  kavlin::testing::write_file(tile, bytes);
  const auto refused = run_program(KAVLIN_MAKE_DEMO_BIN, args, dir.path());
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find((drives / "d:" / "KAVLIN").string()), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(kavlin::testing::read_file(tile), bytes);
  std::vector<std::string> forced = args;
  forced.push_back("--force");
  EXPECT_EQ(run_program(KAVLIN_MAKE_DEMO_BIN, forced, dir.path()).exit_status, 0);
  EXPECT_EQ(kavlin::testing::read_file(tile), original);
}

TEST(MakeDemo, UsesAnExistingDriveEntryOfEitherCase) {
  TempDir dir;
  fs::create_directories(dir / "drives" / "D:");
  const auto r = run_program(KAVLIN_MAKE_DEMO_BIN, {"--drives", (dir / "drives").string(), "--drive", "d"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "drives/D:/KAVLIN/E005/E005N49.33M"));
  EXPECT_FALSE(fs::exists(dir / "drives/d:"));
}

TEST(MakeDemo, UsageErrorsExitTwo) {
  TempDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--drive", "D"}, "kavlin-make-demo: --drives DIR is missing\n"},
      {{"--drives", "x"}, "kavlin-make-demo: --drive D is missing\n"},
      {{"--drives", "x", "--drive", "DD"}, "kavlin-make-demo: --drive needs a drive letter A to Z, not 'DD'\n"},
      {{"--drives", "x", "--drive"}, "kavlin-make-demo: --drive needs a value\n"},
      {{"--drives", "x", "--drive", "D", "--bogus"}, "kavlin-make-demo: unknown argument '--bogus'\n"},
  };
  for (const auto& [args, first_line] : cases) {
    const auto r = run_program(KAVLIN_MAKE_DEMO_BIN, args, dir.path());
    EXPECT_EQ(r.exit_status, 2) << first_line;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), first_line);
    EXPECT_NE(r.err.find("--help"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(dir / "x"));
  const auto help = run_program(KAVLIN_MAKE_DEMO_BIN, {"--help"}, dir.path());
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("--force"), std::string::npos);
  const auto version = run_program(KAVLIN_MAKE_DEMO_BIN, {"--version"}, dir.path());
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "kavlin-make-demo 1.01\n");
}

// Points shared by two blocks or two tiles hold the same word in each.
TEST_F(DemoTiles, SharedPointsAgree) {
  for (const TileImage* t : {sw_, se_, nw_, ne_}) {
    const int32_t last = t->columns;
    for (int32_t r = 1; r <= 144; ++r) {
      const bool east_edge = r % 12 == 0, north_edge = r > 132;
      for (int32_t l = 1; l <= 101 && !east_edge; ++l) ASSERT_EQ(t->word(r, l, last), t->word(r + 1, l, 1)) << r;
      for (int32_t k = 1; k <= last && !north_edge; ++k) ASSERT_EQ(t->word(r, 101, k), t->word(r + 12, 1, k)) << r;
    }
  }
  // The 6-degree meridian: west tile's last column, east tile's first.
  for (const auto& [west, east] : {std::pair{sw_, se_}, std::pair{nw_, ne_}}) {
    for (int32_t r = 1; r <= 144; r += 12) {
      for (int32_t l = 1; l <= 101; ++l) ASSERT_EQ(west->word(r + 11, l, west->columns), east->word(r, l, 1));
    }
  }
  // The 50-degree row: N50 row 1 column k is N49 record + 132, row 101,
  // column 2k - 1.
  for (const auto& [south, north] : {std::pair{sw_, nw_}, std::pair{se_, ne_}}) {
    for (int32_t j = 1; j <= 12; ++j) {
      for (int32_t k = 1; k <= 51; ++k) ASSERT_EQ(north->word(j, 1, k), south->word(j + 132, 101, 2 * k - 1)) << j;
    }
  }
  // The point (6 E, 50 N) is stored in all four tiles.
  const uint16_t corner = ne_->word(1, 1, 1);
  EXPECT_EQ(nw_->word(12, 1, 51), corner);
  EXPECT_EQ(se_->word(133, 101, 1), corner);
  EXPECT_EQ(sw_->word(144, 101, 101), corner);
}

TEST_F(DemoTiles, PatternsArePlausible) {
  // Every flag occurs, bits 5..15 vary, some words use bit 15.
  uint16_t seen_flags = 0;
  std::set<uint16_t> elevations;
  for (const TileImage* t : {sw_, se_, nw_, ne_}) {
    for (std::size_t w = 0; w < t->word_count(); w += 7) {
      const uint16_t word = t->word_at_index(w);
      seen_flags |= static_cast<uint16_t>(word & 0x1F);
      elevations.insert(static_cast<uint16_t>(word >> 5));
    }
  }
  EXPECT_EQ(seen_flags, 0x1F);
  EXPECT_GT(elevations.size(), 500u);
  EXPECT_TRUE(elevations.count(0) == 1);
  EXPECT_GT(*elevations.rbegin(), 1024u);
  // Sea in the north-west corner (5 E, 51 N), none in the south-east (7 E, 49 N).
  EXPECT_EQ(nw_->word(133, 101, 1) & kavlin::FLAG_SEA, kavlin::FLAG_SEA);
  EXPECT_EQ(se_->word(12, 1, 101) & kavlin::FLAG_SEA, 0);
  // The lake near 6.22 E 49.5 N.
  EXPECT_EQ(kavlin::demo::demo_word(6 * 3600 + 800, 49 * 3600 + 1800) & 0x1F, kavlin::FLAG_INLAND_WATER);
}

TEST(DemoLibrary, WriteTilePlacesEachWordAtItsGridPosition) {
  TempDir dir;
  const auto fn = [](int32_t lon_sec, int32_t lat_sec) {
    return static_cast<uint16_t>(lon_sec * 7 + lat_sec * 3);
  };
  const fs::path west = dir / "W001N49.33M";
  const fs::path north = dir / "E000N50.63M";
  kavlin::demo::write_tile(west, -1, 49, fn);
  kavlin::demo::write_tile(north, 0, 50, fn);
  const TileImage w = TileImage::load(west, 49);
  const TileImage n = TileImage::load(north, 50);
  ASSERT_EQ(w.bytes.size(), 2937888u);
  ASSERT_EQ(n.bytes.size(), 1483488u);
  // Record 1 word 1 is the tile's south-west corner; record 144's last word
  // its north-east corner; record 12 row 1 column 2 lies 3 (or 6) seconds
  // east of block column 12's origin.
  EXPECT_EQ(w.word(1, 1, 1), fn(-3600, 49 * 3600));
  EXPECT_EQ(w.word(144, 101, 101), fn(0, 50 * 3600));
  EXPECT_EQ(w.word(12, 1, 2), fn(-3600 + 11 * 300 + 3, 49 * 3600));
  EXPECT_EQ(w.word(14, 2, 1), fn(-3600 + 300, 49 * 3600 + 300 + 3));
  EXPECT_EQ(n.word(12, 1, 2), fn(11 * 300 + 6, 50 * 3600));
  EXPECT_EQ(n.word(144, 101, 51), fn(3600, 51 * 3600));
  // The tile path follows the tile name.
  EXPECT_EQ(kavlin::demo::tile_host_path("/r", -1, 49), fs::path("/r/KAVLIN/W001/W001N49.33M"));
}

}  // namespace
