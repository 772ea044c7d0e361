// kavlin-export --preview end to end as a child process: the change masks
// are the words the run then changes, the GeoPackage of their outlines
// (read with GDAL's own API and ogrinfo) gives each mask back point for
// point, the blocks the outlines are made of; where --preview went, and
// every command's --help.
#include <gtest/gtest.h>

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

#include "gis/mask_outlines.h"
#include "tests/engine_test_db.h"
#include "tests/gis_test_support.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/tile_files.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace kavlin::gis {
void PrintTo(const CellBlock& b, std::ostream* os) {
  *os << "columns " << b.c0 << ".." << b.c1 << " rows " << b.r0 << ".." << b.r1;
}
}  // namespace kavlin::gis

namespace {

// Town in diagonal bands of blocks of points: outlines with holes, steps
// and runs that start and end in the same columns.
void make_town_bands(TileDb& db) {
  for (int lon : {5, 6}) {
    for (int lat : {49, 50}) {
      db.make_tile(lon, lat, 144, 0, [lon, lat](int32_t record, int32_t word) {
        const Point p = stored_point(record, word, columns_of(lat));
        return static_cast<uint16_t>(0x0120 | ((p.first / 40 + p.second / 60 + lon) % 3 == 0 ? kavlin::FLAG_TOWN : 0));
      });
    }
  }
}

// The mask files a preview lists and their counts, by tile; `report_words`
// the stored grid words its report says would change.
std::map<std::string, int64_t> listed_masks(const std::string& out, int64_t& report_words) {
  std::map<std::string, int64_t> listed;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::string words = "stored grid words that would change: ";
    if (line.rfind(words, 0) == 0) report_words = std::stoll(line.substr(words.size()));
    const std::size_t mask = line.find(".mask.tif (");
    if (mask != std::string::npos) listed[line.substr(mask - 11, 11)] = std::stoll(line.substr(mask + 11));
  }
  return listed;
}

// An empty in-memory byte raster on the grid of `mask`.
std::unique_ptr<GDALDataset> blank_like(const Raster& mask) {
  std::unique_ptr<GDALDataset> burnt(
      GetGDALDriverManager()->GetDriverByName("MEM")->Create("", mask.width, mask.height, 1, GDT_Byte, nullptr));
  double gt[6];
  std::copy(std::begin(mask.gt), std::end(mask.gt), gt);
  burnt->SetGeoTransform(gt);
  return burnt;
}

TEST(MaskBlocks, RunsOfARowJoinTheSameRunsBelowThem) {
  struct Case {
    const char* what;
    std::vector<std::string> rows;  // '#' marked, north row first
    std::vector<kavlin::gis::CellBlock> blocks;
  };
  const Case cases[] = {
      {"nothing", {"....", "...."}, {}},
      {"a rectangle", {".##.", ".##.", ".##."}, {{1, 3, 0, 3}}},
      {"two runs in a row, the first ending", {"##.#", "...#"}, {{0, 2, 0, 1}, {3, 4, 0, 2}}},
      {"a run that widens", {".#..", "###.", "###."}, {{1, 2, 0, 1}, {0, 3, 1, 3}}},
      {"a gap, then the same run again", {"#...", "....", "#..."}, {{0, 1, 0, 1}, {0, 1, 2, 3}}},
      {"the whole width to the last column", {"####", "####"}, {{0, 4, 0, 2}}},
      {"a run starting where an open one starts, shorter", {"###.", "##..", "##.#"}, {{0, 3, 0, 1}, {0, 2, 1, 3}, {3, 4, 2, 3}}},
  };
  for (const Case& t : cases) {
    const int32_t width = static_cast<int32_t>(t.rows[0].size());
    std::vector<uint8_t> mask;
    for (const std::string& row : t.rows) {
      for (const char ch : row) mask.push_back(ch == '#' ? 1 : 0);
    }
    std::vector<kavlin::gis::CellBlock> blocks = kavlin::gis::mask_blocks(mask, width);
    auto order = [](const kavlin::gis::CellBlock& a, const kavlin::gis::CellBlock& b) {
      return std::tie(a.r0, a.c0) < std::tie(b.r0, b.c0);
    };
    std::sort(blocks.begin(), blocks.end(), order);
    EXPECT_EQ(blocks, t.blocks) << t.what;
  }
}

// --preview --gpkg: one feature per mask, whose outline burnt onto the
// mask's grid gives the mask back point for point, with the counts the
// report and the masks give; a preview without changes has an empty layer.
TEST_F(GisTest, PreviewGeoPackageOutlinesTheChangedPoints) {
  make_town_bands(db_);
  write_file(work() / "lake.txt", "5.93 49.21\n6.171 49.18\n6.2 50.41\n6.0 49.5\n5.95 49.33\n5.93 49.21\n");
  const fs::path preview = dir_ / "preview";
  const ProcessResult r = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--preview", preview.string(), "--gpkg", "--set",
                                                  "town", "--polygon", "lake.txt"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // The mask files and their counts, as listed.
  int64_t report_words = -1;
  std::map<std::string, int64_t> listed = listed_masks(r.out, report_words);
  ASSERT_EQ(listed.size(), 3u) << r.out;  // E005N50 has no point inside
  EXPECT_NE(r.out.find(preview.string() + "/masks.gpkg (3 tiles)\n"), std::string::npos) << r.out;

  const ProcessResult summary = gdal_tool(OGRINFO_BIN, {"-al", "-so", "masks.gpkg"}, preview);
  ASSERT_EQ(summary.exit_status, 0) << summary.err;
  EXPECT_EQ(lines_from(summary.out, "Layer name: masks", 3),
            (std::vector<std::string>{"Layer name: masks", "Geometry: Multi Polygon", "Feature Count: 3"}));
  EXPECT_EQ(lines_from(summary.out, "tile: String (0.0)", 6),
            (std::vector<std::string>{"tile: String (0.0)", "run: Integer (0.0)", "kind: Integer (0.0)",
                                      "change: String (0.0)", "points: Integer64 (0.0)", "words: Integer64 (0.0)"}));
  const ProcessResult features = gdal_tool(OGRINFO_BIN, {"-al", "-q", "-geom=NO", "masks.gpkg"}, preview);
  ASSERT_EQ(features.exit_status, 0) << features.err;
  for (const auto& [name, points] : listed) {
    const std::vector<std::string> fields = lines_from(features.out, "tile (String) = " + name, 5);
    ASSERT_EQ(fields.size(), 5u) << features.out;
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()),
              (std::vector<std::string>{"run (Integer) = (null)", "kind (Integer) = 7", "change (String) = set town",
                                        "points (Integer64) = " + std::to_string(points)}));
  }

  GDALAllRegister();
  std::unique_ptr<GDALDataset> gpkg(GDALDataset::Open((preview / "masks.gpkg").c_str(), GDAL_OF_VECTOR));
  ASSERT_TRUE(gpkg);
  OGRLayer* layer = gpkg->GetLayerByName("masks");
  ASSERT_NE(layer, nullptr);
  int64_t words = 0;
  for (const auto& feature : *layer) {
    const std::string name = feature->GetFieldAsString("tile");
    SCOPED_TRACE(name);
    words += feature->GetFieldAsInteger64("words");
    const Raster mask = load_raster(preview / (name + ".mask.tif"));
    std::unique_ptr<GDALDataset> burnt = blank_like(mask);
    const int band = 1;
    const double one = 1.0;
    OGRGeometryH geometry = OGRGeometry::ToHandle(feature->GetGeometryRef());
    ASSERT_EQ(GDALRasterizeGeometries(GDALDataset::ToHandle(burnt.get()), 1, &band, 1, &geometry, nullptr, nullptr,
                                      &one, nullptr, nullptr, nullptr),
              CE_None);
    std::vector<uint8_t> cells(static_cast<std::size_t>(mask.width) * mask.height);
    ASSERT_EQ(burnt->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, mask.width, mask.height, cells.data(), mask.width,
                                                mask.height, GDT_Byte, 0, 0),
              CE_None);
    std::size_t wrong = 0;
    for (std::size_t n = 0; n < cells.size(); ++n) wrong += cells[n] != mask.values[n];
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(feature->GetFieldAsInteger64("points"), static_cast<int64_t>(marked_points(mask).size()));
  }
  EXPECT_EQ(words, report_words);

  // Town everywhere in the rectangle already: no mask, an empty layer.
  const fs::path none = dir_ / "none";
  const ProcessResult empty = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--preview", none.string(), "--gpkg", "--set",
                                                      "town", "--rect", "6.001", "49.01", "6.01", "49.001"});
  ASSERT_EQ(empty.exit_status, 0) << empty.err;
  EXPECT_NE(empty.out.find("preview masks: none\n" + none.string() + "/masks.gpkg (0 tiles)\n"), std::string::npos)
      << empty.out;
  const ProcessResult empty_info = gdal_tool(OGRINFO_BIN, {"-al", "-so", "masks.gpkg"}, none);
  EXPECT_EQ(lines_from(empty_info.out, "Layer name: masks", 3),
            (std::vector<std::string>{"Layer name: masks", "Geometry: Multi Polygon", "Feature Count: 0"}));

  // Written through the safe output: a folder at its name is refused.
  fs::remove(none / "masks.gpkg");
  fs::create_directory(none / "masks.gpkg");
  const ProcessResult refused = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--preview", none.string(), "--gpkg", "--set",
                                                        "town", "--rect", "6.001", "49.01", "6.01", "49.001"});
  EXPECT_EQ(refused.exit_status, 3);
  EXPECT_EQ(refused.err, "Error: cannot write " + (none / "masks.gpkg").string() + ": it is a folder\n");
}

TEST_F(GisTest, PreviewMasksAreTheWordsTheRunThenChanges) {
  for (int lon : {5, 6}) {
    for (int lat : {49, 50}) db_.make_tile(lon, lat);  // every stored copy its own word
  }
  // A point on the corner of four tiles (three of them reached only by
  // copies), and a rectangle over the 50-degree seam.
  const uint16_t corner = kavlin::testing::pattern_word(6, 50, 1, 0);
  const std::string corner_kind = (corner & kavlin::FLAG_TOWN) ? "8" : "7";
  const std::vector<std::vector<std::string>> areas = {
      {"--kind", corner_kind, "--point", "6", "50"},
      {"--clear", "sea", "--rect", "5.9", "50.1", "6.1", "49.9"},
  };
  int run_number = 0;
  for (const auto& area : areas) {
    SCOPED_TRACE(area[3]);
    const fs::path preview = dir_ / ("preview" + std::to_string(++run_number));
    std::vector<std::string> args = {"--drive", "C", "--preview", preview.string()};
    args.insert(args.end(), area.begin(), area.end());
    const auto snapshot = db_.snapshot();
    const ProcessResult dry = run(KAVLIN_EXPORT_BIN, args);
    ASSERT_EQ(dry.exit_status, 0) << dry.err;
    EXPECT_EQ(db_.snapshot(), snapshot);  // a dry run writes nothing
    // The report is kavlin-apply's dry run, the masks follow it.
    args.erase(args.begin() + 2, args.begin() + 4);
    args.insert(args.begin() + 2, "--dry-run");
    const ProcessResult apply_dry = run(KAVLIN_APPLY_BIN, args);
    ASSERT_EQ(apply_dry.exit_status, 0) << apply_dry.err;
    EXPECT_EQ(dry.out.rfind(apply_dry.out + "preview masks:", 0), 0u) << dry.out;

    args.erase(args.begin() + 2);
    const ProcessResult real = run(KAVLIN_APPLY_BIN, args);
    ASSERT_EQ(real.exit_status, 0) << real.err;
    const auto after = db_.snapshot();

    std::size_t masks = 0;
    for (int lon : {5, 6}) {
      for (int lat : {49, 50}) {
        const std::string name = kavlin::TILE_NAME(lon, lat);
        const std::string key = "KAVLIN/" + name.substr(0, 4) + "/" + name;
        const std::set<Point> words = changed_points(snapshot.at(key), after.at(key), lat);
        const fs::path mask = preview / (name + ".mask.tif");
        ASSERT_EQ(fs::exists(mask), !words.empty()) << name;
        if (words.empty()) continue;
        ++masks;
        const Raster raster = load_raster(mask);
        EXPECT_EQ(raster.type, GDT_Byte);
        EXPECT_EQ(raster.width, lat >= 50 ? 601 : 1201);
        EXPECT_EQ(marked_points(raster), words) << name;
        const double dx = (lat >= 50 ? 6.0 : 3.0) / 3600.0;
        EXPECT_EQ(raster.gt[0], lon - dx / 2.0);
        EXPECT_EQ(raster.gt[3], lat + 1.0 + 1.5 / 3600.0);
      }
    }
    // The corner point changes each copy only where that copy's bit
    // differs; the rectangle reaches all four tiles.
    if (run_number == 1) {
      EXPECT_GE(masks, 1u);
    } else {
      EXPECT_EQ(masks, 4u);
    }
  }
}

// kavlin-apply says where --preview went; every command has --help.
TEST_F(GisTest, UsageAndHelp) {
  db_.make_tile(6, 49);
  const ProcessResult r = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--dry-run", "--preview", (dir_ / "p").string(),
                                                 "--kind", "1", "--point", "6", "49"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("--preview has moved to kavlin-export"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "p"));
  for (const char* program : {KAVLIN_EXPORT_BIN, KAVLIN_POLYGON_BIN, KAVLIN_APPLY_BIN}) {
    const ProcessResult help = run(program, {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << program;
    if (program != std::string(KAVLIN_POLYGON_BIN)) {
      EXPECT_NE(help.out.find("--preview DIR"), std::string::npos) << program;
    }
    const ProcessResult version = run(program, {"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, fs::path(program).filename().string() + " 1.01\n");
  }
}

}  // namespace
