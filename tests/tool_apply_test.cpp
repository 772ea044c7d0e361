// kavlin-apply run end to end as a child process on temporary databases:
// points, rectangles and polygon files change exactly the stored words
// inside, dry runs list the tiles and count the points and words, and
// polygon files are found by host and by program path.
#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <functional>
#include <map>
#include <span>

#include "polygon/area_rules.h"
#include "tests/apply_test_support.h"
#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "base/program_values.h"
#include "tiles/tile_files.h"
#include "tools/demo_db.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace {

// The words a tile would hold after applying `kind` to every stored grid
// point for which `inside(lon, lat)` holds, with lon and lat computed as
// the grid addressing rules give them.
std::string expected_after(const std::string& before, int32_t LON_DEG, int32_t LAT_DEG, int32_t kind,
                           const std::function<bool(double, double)>& inside) {
  const auto op = *kavlin::kind_operation(kind);
  const int32_t spacing = LAT_DEG >= 50 ? 6 : 3;
  const kavlin::TileOrigin origin{LON_DEG, LAT_DEG, spacing};
  std::string after = before;
  for (int32_t i = 1; i <= 12; ++i) {
    for (int32_t j = 1; j <= 12; ++j) {
      const std::size_t start =
          static_cast<std::size_t>(kavlin::record_number(i, j) - 1) * static_cast<std::size_t>(origin.record_length());
      std::span<uint8_t> record(reinterpret_cast<uint8_t*>(after.data()) + start,
                                static_cast<std::size_t>(origin.record_length()));
      for (int32_t l = 1; l <= 101; ++l) {
        const double lat = kavlin::grid_latitude(LAT_DEG, i, l);
        for (int32_t k = 1; k <= origin.columns(); ++k) {
          if (!inside(kavlin::grid_longitude(LON_DEG, j, k, spacing), lat)) continue;
          const int32_t offset = kavlin::word_offset(l, k, origin.columns());
          kavlin::put_word(record, offset, kavlin::apply_kind(op, kavlin::get_word(record, offset)));
        }
      }
    }
  }
  return after;
}

std::size_t changed_words(const std::string& a, const std::string& b) {
  std::size_t n = 0;
  for (std::size_t w = 0; w + 1 < a.size(); w += 2) n += (a[w] != b[w] || a[w + 1] != b[w + 1]) ? 1 : 0;
  return n;
}

TEST_F(ApplyTest, PointAtATileCornerChangesItsFourCopiesAndNothingElse) {
  make_demo();
  const auto before = snapshot();
  const uint16_t corner = TileImage::load(tile(6, 50), 50).word(1, 1, 1);
  const bool had_trees = (corner & kavlin::FLAG_TREES) != 0;
  const uint16_t changed = static_cast<uint16_t>(corner ^ kavlin::FLAG_TREES);

  // The dry run names the tile and the three neighbours, and writes nothing.
  const std::vector<std::string> args{had_trees ? "--clear" : "--set", "trees", "--point", "6", "50"};
  std::vector<std::string> dry = args;
  dry.push_back("--dry-run");
  const auto preview = apply(dry);
  ASSERT_EQ(preview.exit_status, 0) << preview.err;
  EXPECT_EQ(preview.err, "");
  EXPECT_EQ(preview.out,
            "Dry run: no file was changed.\n"
            "tiles that would be rewritten: E006N50.63M\n"
            "neighbour tiles that would receive copies: E005N50.63M E006N49.33M E005N49.33M\n"
            "grid points that would change: 1\n"
            "stored grid words that would change: 4\n");
  EXPECT_EQ(snapshot(), before);

  const auto r = apply(args);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, done_output(4, 4));

  const TileImage ne = TileImage::load(tile(6, 50), 50);
  const TileImage nw = TileImage::load(tile(5, 50), 50);
  const TileImage se = TileImage::load(tile(6, 49), 49);
  const TileImage sw = TileImage::load(tile(5, 49), 49);
  EXPECT_EQ(ne.word(1, 1, 1), changed);
  EXPECT_EQ(nw.word(12, 1, 51), changed);
  EXPECT_EQ(se.word(133, 101, 1), changed);
  EXPECT_EQ(sw.word(144, 101, 101), changed);
  for (const auto& [path, bytes] : before) {
    EXPECT_EQ(changed_words(bytes, read_file(path)), 1u) << path;
  }
}

TEST_F(ApplyTest, PointInsideABlockChangesOneWordAndAnOffGridPointNone) {
  make_tiles({{5, 49}});
  const std::string before = read_file(tile(5, 49));
  const double lon = kavlin::grid_longitude(5, 2, 4, 3);
  const double lat = kavlin::grid_latitude(49, 2, 3);
  const auto off = apply({"--kind", "7", "--point", exact(lon + 1e-12), exact(lat)});
  ASSERT_EQ(off.exit_status, 0) << off.err;
  EXPECT_EQ(off.out, done_output(1, 0));
  EXPECT_EQ(read_file(tile(5, 49)), before);

  const uint16_t word = TileImage::load(tile(5, 49), 49).word(14, 3, 4);
  const int32_t kind = (word & kavlin::FLAG_TOWN) ? 8 : 7;
  const auto r = apply({"--kind", std::to_string(kind), "--point", exact(lon), exact(lat)});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, done_output(1, 1));
  const TileImage after = TileImage::load(tile(5, 49), 49);
  EXPECT_EQ(after.word(14, 3, 4), word ^ kavlin::FLAG_TOWN);
  EXPECT_EQ(changed_words(before, after.bytes), 1u);
}

TEST_F(ApplyTest, RectangleChangesItsHalfOpenArea) {
  make_demo();
  const auto before = snapshot();
  // Its progress asked for on standard error (a pipe shows none by itself).
  const auto r = apply({"--rect", "5.1", "49.2", "5.2", "49.1", "--set", "town", "--progress"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "0...10...20...30...40...50...60...70...80...90...100 - done.\n");
  const std::string expected = expected_after(before.at(tile(5, 49).string()), 5, 49, 7, [](double x, double y) {
    return x >= 5.1 && x < 5.2 && y >= 49.1 && y < 49.2;
  });
  const std::string after = read_file(tile(5, 49));
  EXPECT_TRUE(after == expected);
  const std::size_t words = changed_words(before.at(tile(5, 49).string()), after);
  EXPECT_GT(words, 1000u);
  EXPECT_EQ(r.out, done_output(1, static_cast<int64_t>(words)));
  for (const auto& [lon, lat] : {std::pair{6, 49}, std::pair{5, 50}, std::pair{6, 50}}) {
    EXPECT_TRUE(read_file(tile(lon, lat)) == before.at(tile(lon, lat).string()));
  }
}

TEST_F(ApplyTest, NegativeValuesAreValuesAcrossTheZeroMeridian) {
  make_tiles({{-1, 49}, {0, 49}});
  const auto before = snapshot();
  const std::vector<std::string> args{"--rect", "-0.5", "49.6", "0.5", "49.4", "--kind", "7"};

  std::vector<std::string> dry = args;
  dry.insert(dry.begin(), "--dry-run");
  const auto preview = apply(dry);
  ASSERT_EQ(preview.exit_status, 0) << preview.err;
  EXPECT_EQ(snapshot(), before);

  const auto r = apply(args);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const auto inside = [](double x, double y) { return x >= -0.5 && x < 0.5 && y >= 49.4 && y < 49.6; };
  const std::string west_before = before.at(tile(-1, 49).string());
  const std::string east_before = before.at(tile(0, 49).string());
  const std::string west = read_file(tile(-1, 49));
  const std::string east = read_file(tile(0, 49));
  EXPECT_TRUE(west == expected_after(west_before, -1, 49, 7, inside));
  EXPECT_TRUE(east == expected_after(east_before, 0, 49, 7, inside));
  const std::size_t words = changed_words(west_before, west) + changed_words(east_before, east);
  EXPECT_GT(changed_words(west_before, west), 0u);
  EXPECT_GT(changed_words(east_before, east), 0u);
  EXPECT_EQ(r.out, done_output(2, static_cast<int64_t>(words)));
  EXPECT_EQ(preview.out.substr(0, preview.out.find("grid points")),
            "Dry run: no file was changed.\n"
            "tiles that would be rewritten: W001N49.33M E000N49.33M\n"
            "neighbour tiles that would receive copies: none\n");
  EXPECT_EQ(preview.out.substr(preview.out.find("stored grid words")),
            "stored grid words that would change: " + std::to_string(words) + "\n");
}

TEST_F(ApplyTest, DryRunOverFourTilesListsThemAndLeavesEveryByte) {
  make_demo();
  const auto before = snapshot();
  const auto r = apply({"--dry-run", "--rect", "5.5", "50.5", "6.5", "49.5", "--set", "sea"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(0, r.out.find("grid points")),
            "Dry run: no file was changed.\n"
            "tiles that would be rewritten: E005N49.33M E005N50.63M E006N49.33M E006N50.63M\n"
            "neighbour tiles that would receive copies: none\n");
  EXPECT_TRUE(snapshot() == before);
}

// A dry run counts each grid point once and each stored word of it (the
// copies on block and tile edges) apart. Every word starts clear, so every
// point inside changes.
TEST_F(ApplyTest, DryRunCountsGridPointsOnceAndTheirStoredWordsEach) {
  kavlin::demo::write_database(root(), {{5, 49}, {6, 49}, {5, 50}, {6, 50}}, [](int32_t, int32_t) { return 0; });
  struct Case {
    std::vector<std::string> area;
    int64_t points;
    int64_t words;  // -1: not checked here
  };
  // The rectangle crosses the seams at 6 E and 50 N: 601 rows of 1200
  // three-second points up to 50 N, 599 rows of 600 six-second points above.
  const Case cases[] = {
      {{"--point", "5.125", "49.125"}, 1, 1},
      {{"--point", "5.5", "49.5"}, 1, 4},  // a block corner: four records of one tile
      {{"--point", "6", "50"}, 1, 4},      // a tile corner: four tiles
      {{"--rect", "5.5", "50.5", "6.5", "49.5"}, 601 * 1200 + 599 * 600, -1},
  };
  for (const Case& t : cases) {
    std::vector<std::string> args{"--dry-run", "--set", "sea"};
    args.insert(args.end(), t.area.begin(), t.area.end());
    const auto r = apply(args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const std::string points = "grid points that would change: " + std::to_string(t.points) + "\n";
    EXPECT_NE(r.out.find(points), std::string::npos) << t.area[1] << "\n" << r.out;
    if (t.words >= 0) {
      EXPECT_NE(r.out.find("stored grid words that would change: " + std::to_string(t.words) + "\n"), std::string::npos)
          << r.out;
    }
  }
}

TEST_F(ApplyTest, SetTreesIsKindNine) {
  make_tiles({{5, 49}}, 'd');
  make_tiles({{5, 49}}, 'e');
  const std::string original = read_file(tile(5, 49, 'd'));
  // Around the forest near 5.72 E 49.22 N.
  const auto a = apply({"--drive", "D", "--set", "trees", "--rect", "5.6", "49.35", "5.9", "49.1"});
  const auto b = apply({"--drive", "E", "--kind", "9", "--rect", "5.6", "49.35", "5.9", "49.1"});
  ASSERT_EQ(a.exit_status, 0) << a.err;
  ASSERT_EQ(b.exit_status, 0) << b.err;
  EXPECT_EQ(a.out, b.out);
  const std::string by_name = read_file(tile(5, 49, 'd'));
  EXPECT_TRUE(by_name == read_file(tile(5, 49, 'e')));
  EXPECT_GT(changed_words(original, by_name), 0u);
  EXPECT_TRUE(by_name == expected_after(original, 5, 49, 9, [](double x, double y) {
                return x >= 5.6 && x < 5.9 && y >= 49.1 && y < 49.35;
              }));
}

TEST_F(ApplyTest, PolygonFileByRelativeAndByProgramPath) {
  make_demo();
  const std::string before = read_file(tile(5, 49));
  write_file(work() / "tri.txt", "5.1 49.1\n5.2,49.1\n\n5.1;49.2\n5.1 49.1\n");
  // Drive C is the working folder, so C:\TRI.TXT names the same file.
  fs::create_directory_symlink(work(), drives() / "c:");

  const auto by_program_path = apply({"--dry-run", "--polygon", "C:\\TRI.TXT", "--kind", "5"});
  ASSERT_EQ(by_program_path.exit_status, 0) << by_program_path.err;

  const auto r = apply({"--polygon", "tri.txt", "--kind", "5"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const kavlin::VertexTable table = kavlin::testing::vertex_table({{5.1, 49.1}, {5.2, 49.1}, {5.1, 49.2}, {5.1, 49.1}});
  const kavlin::Extent extent = kavlin::AREA_EXTENT(table);
  const std::string after = read_file(tile(5, 49));
  EXPECT_TRUE(after == expected_after(before, 5, 49, 5, [&](double x, double y) {
                return kavlin::IN_AREA(x, y, extent, table);
              }));
  const std::size_t words = changed_words(before, after);
  EXPECT_GT(words, 100u);
  EXPECT_EQ(r.out, done_output(1, static_cast<int64_t>(words)));
  EXPECT_EQ(by_program_path.out.substr(by_program_path.out.find("grid words")),
            "grid words that would change: " + std::to_string(words) + "\n");
}

// --polygon takes a path as the shell does (absolute, or relative to the
// working directory with ".." and symbolic links, exact case), and a
// program path "X:\..." through the drive table. Every run that finds the
// file makes the same dry run; the messages show the path as typed.
TEST_F(ApplyTest, PolygonHostPathsFromAnyWorkingDirectory) {
  make_demo();
  fs::create_directories(dir_ / "areas");
  fs::create_directories(work() / "sub");
  write_file(dir_ / "areas" / "tri.txt", "5.1 49.1\n5.2,49.1\n\n5.1;49.2\n5.1 49.1\n");
  fs::create_directory_symlink(dir_ / "areas", work() / "arealink");
  fs::create_directory_symlink(dir_ / "areas", drives() / "c:");
  const std::string absolute = (dir_ / "areas" / "tri.txt").string();
  const std::string missing = (dir_ / "areas" / "none.txt").string();
  // A 255-character name is taken (and not found); one more is a usage error.
  const std::string longest = "../" + std::string(252, 'x');

  struct Case {
    std::string path;
    fs::path cwd;
    int status;
    std::string err;
  };
  const std::vector<Case> cases{
      {absolute, work(), 0, ""},
      {absolute, work() / "sub", 0, ""},
      {"../areas/tri.txt", work(), 0, ""},
      {"../../areas/tri.txt", work() / "sub", 0, ""},
      // ".." after a symbolic link is the parent of the link's target.
      {"arealink/../areas/tri.txt", work(), 0, ""},
      {"C:\\TRI.TXT", work() / "sub", 0, ""},
      {"../areas/TRI.TXT", work(), 1, "Error: File: ../areas/TRI.TXT not found!\n"},
      {"../tri.txt", work(), 1, "Error: File: ../tri.txt not found!\n"},
      {missing, work(), 1, "Error: File: " + missing + " not found!\n"},
      {longest, work(), 1, "Error: File: " + longest + " not found!\n"},
      {longest + "x", work(), 2,
       "kavlin-apply: --polygon file name is longer than 255 characters\n" + TRY_HELP},
  };
  const auto before = snapshot();
  std::string first_out;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " in " + c.cwd.string());
    const auto r = run_program(KAVLIN_APPLY_BIN, {"--dry-run", "--kind", "5", "--drive", "D", "--polygon", c.path},
                               c.cwd, {{"KAVLIN_DRIVES", drives().string()}});
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
      continue;
    }
    if (first_out.empty()) first_out = r.out;
    EXPECT_EQ(r.out, first_out);
  }
  EXPECT_NE(first_out.find("tiles that would be rewritten: E005N49.33M\n"), std::string::npos) << first_out;
  EXPECT_EQ(first_out.find("grid words that would change: 0\n"), std::string::npos) << first_out;
  EXPECT_TRUE(snapshot() == before);
}

}  // namespace
