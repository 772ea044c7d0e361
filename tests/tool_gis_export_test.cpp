// kavlin-export end to end as a child process: its rasters read back with
// GDAL's own API, georeferenced exactly and read from the stored copy that
// holds each point, the flags raster, what it reads and writes and what it
// refuses; the band labels, the QGIS style files and the COG, also opened
// with GDAL's own gdalinfo, the style files parsed as XML.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cpl_minixml.h>
#include <gdal_priv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

#include "tests/fault_files.h"
#include "tests/gis_test_support.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/safe_run.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace {

// --- kavlin-export ---------------------------------------------------------

TEST_F(GisTest, ExportGeoreferencesBothTileKindsExactly) {
  db_.make_tile(6, 49, 144, 0, position_fill(6, 49));
  db_.make_tile(-5, 51, 144, 0, position_fill(-5, 51));
  const ProcessResult r = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--out", out().string(), "E006N49.33M", "w005n51.63m"});
  ASSERT_EQ(r.exit_status, 0) << r.err;

  struct Case {
    const char* file;
    int32_t lon, lat, width;
    double dx;
  };
  for (const Case& t : {Case{"E006N49.33M.tif", 6, 49, 1201, 3.0 / 3600.0}, Case{"W005N51.63M.tif", -5, 51, 601, 6.0 / 3600.0}}) {
    SCOPED_TRACE(t.file);
    const Raster raster = load_raster(out() / t.file);
    EXPECT_EQ(raster.width, t.width);
    EXPECT_EQ(raster.height, 1201);
    EXPECT_EQ(raster.type, GDT_UInt16);
    EXPECT_EQ(raster.epsg, "4326");
    const double dy = -3.0 / 3600.0;
    const double expected[6] = {t.lon - t.dx / 2.0, t.dx, 0.0, t.lat + 1.0 - dy / 2.0, 0.0, dy};
    // Pixel centres on the grid: column 0 at LON_DEG, row 0 at LAT_DEG + 1.
    for (int n = 0; n < 6; ++n) EXPECT_EQ(raster.gt[n], expected[n]) << "geotransform " << n;
    std::size_t wrong = 0;
    for (int32_t r = 0; r < 1201; ++r) {
      for (int32_t c = 0; c < t.width; ++c) wrong += raster.at(c, r) != position_word(t.lon, t.lat, {r, c});
    }
    EXPECT_EQ(wrong, 0u);
  }
  // 3- and 6-second pixels do not line up: one mosaic per kind.
  EXPECT_TRUE(fs::exists(out() / "mosaic.33M.vrt"));
  EXPECT_TRUE(fs::exists(out() / "mosaic.63M.vrt"));
  EXPECT_FALSE(fs::exists(out() / "mosaic.vrt"));
}

// kavlin-export reads: read-only tiles, a journal a killed run left behind
// rolled back first (a damaged one refused with nothing exported), and
// outputs only over a regular file or a new name.
TEST_F(GisTest, ExportReadsAWholeDatabaseAndWritesOnlyRegularFiles) {
  db_.make_tile(6, 49, 144, 0, position_fill(6, 49));
  const std::string tile = tile_bytes(6, 49);
  const std::vector<std::string> args = {"--drive", "C", "--out", out().string(), "E006N49.33M"};
  {
    // Record by record, the process "dying" at the 10th of the some 16
    // records the area changes.
    FaultFiles files(db_.files().drives(), FaultFiles::RECORD_BY_RECORD,
                     {FaultFiles::Rule(kavlin::testing::call::WRITE_RECORD).nth(10).kill()});
    const kavlin::VertexTable area = kavlin::testing::vertex_table({{6.1, 49.4}, {6.4, 49.4}, {6.4, 49.1}, {6.1, 49.1}, {6.1, 49.4}});
    EXPECT_THROW(kavlin::run_journaled(files, 'C', area, 9), Killed);
  }
  ASSERT_FALSE(tile_bytes(6, 49) == tile);
  const fs::path journal = db_.drive_root() / "KAVLIN" / "JOURNAL";
  const std::string pending = read_file(journal);
  // Damaged: refused, nothing exported.
  std::string damaged = pending;
  damaged[30] ^= 0x01;
  write_file(journal, damaged + pending.substr(20));
  ProcessResult r = run(KAVLIN_EXPORT_BIN, args);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out() / "E006N49.33M.tif"));
  // Whole: rolled back, then exported as it was before the run.
  write_file(journal, pending);
  r = run(KAVLIN_EXPORT_BIN, args);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, std::string("Info: ") + kavlin::RECOVERED_TEXT + "\n");
  EXPECT_TRUE(tile_bytes(6, 49) == tile);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(load_raster(out() / "E006N49.33M.tif").at(500, 500), position_word(6, 49, {500, 500}));
  // A tile marked read-only is read all the same.
  fs::permissions(db_.tile_file(6, 49), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::remove(out() / "E006N49.33M.tif");
  r = run(KAVLIN_EXPORT_BIN, args);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(load_raster(out() / "E006N49.33M.tif").at(600, 600), position_word(6, 49, {600, 600}));

  // What is no regular file at an output's name is refused and left alone.
  const fs::path target = out() / "E006N49.33M.tif";
  const fs::path elsewhere = dir_ / "elsewhere.tif";
  write_file(elsewhere, "keep");
  const struct {
    const char* what;
    void (*make)(const fs::path& at, const fs::path& to);
  } cases[] = {
      {"a folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }},
      {"a symbolic link", [](const fs::path& at, const fs::path& to) { fs::create_symlink(to, at); }},
      {"a FIFO", [](const fs::path& at, const fs::path&) { ::mkfifo(at.c_str(), 0644); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(target);
    c.make(target, elsewhere);
    r = run(KAVLIN_EXPORT_BIN, args);
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.err, "Error: cannot write " + target.string() + ": it is " + c.what + "\n");
    EXPECT_EQ(read_file(elsewhere), "keep");
    // No temporary file is left behind.
    for (const auto& e : fs::directory_iterator(out())) EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  }
}

TEST_F(GisTest, ExportReadsEdgePointsFromTheBlockThatHoldsThemSouthWest) {
  // Every stored copy holds its own word here, so the pixel tells which
  // copy was read.
  db_.make_tile(6, 49);
  db_.make_tile(6, 50);
  ASSERT_EQ(run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--out", out().string(), "E006N49.33M", "E006N50.63M"}).exit_status, 0);
  const Raster three = load_raster(out() / "E006N49.33M.tif");
  const Raster six = load_raster(out() / "E006N50.63M.tif");
  struct Case {
    int32_t lat, c, r, record, index;
  };
  const Case cases[] = {
      {49, 0, 0, 1, 0},                // south-west corner
      {49, 100, 0, 2, 0},              // block edge: block 2 column 1, not block 1 column 101
      {49, 0, 100, 13, 0},             // band edge: band 2 row 1
      {49, 100, 100, 14, 0},           // four blocks meet
      {49, 1200, 0, 12, 100},          // east column: last block column
      {49, 0, 1200, 133, 100 * 101},   // north row: last band
      {49, 1200, 1200, 144, 10200},    // north-east corner
      {49, 357, 321, 40, 21 * 101 + 57},
      {50, 50, 0, 2, 0},
      {50, 600, 1200, 144, 101 * 51 - 1},
      {50, 599, 1199, 144, 99 * 51 + 49},
  };
  for (const Case& t : cases) {
    const Raster& raster = t.lat == 49 ? three : six;
    EXPECT_EQ(raster.at(t.c, t.r), kavlin::testing::pattern_word(6, t.lat, t.record, t.index))
        << "N" << t.lat << " c " << t.c << " r " << t.r;
  }
  EXPECT_TRUE(fs::exists(out() / "mosaic.33M.vrt"));
}

TEST_F(GisTest, ExportFlagsRasterShowsTheFirstFlagWithItsColourMap) {
  const uint16_t words[] = {0x0000, 0x001F, 0x001E, 0x001C, 0x0018, 0x0010, 0xFFE0, 0x0016};
  const uint8_t classes[] = {0, 1, 2, 3, 4, 5, 0, 2};
  db_.make_tile(6, 50, 144, 0, [&](int32_t record, int32_t word) {
    const Point p = stored_point(record, word, 51);
    return words[(p.first + p.second) % 8];
  });
  ASSERT_EQ(run(KAVLIN_EXPORT_BIN, {"--flags", "--out", out().string(), "--drive", "c:", "--point", "6.5", "50.5"}).exit_status, 0);
  const Raster flags = load_raster(out() / "E006N50.63M.flags.tif");
  EXPECT_EQ(flags.type, GDT_Byte);
  EXPECT_TRUE(flags.colour_table);
  EXPECT_EQ(flags.categories,
            (std::vector<std::string>{"none", "sea", "inland water", "coastal area", "town", "trees"}));
  std::size_t wrong = 0;
  for (int32_t r = 0; r < 1201; ++r) {
    for (int32_t c = 0; c < 601; ++c) wrong += flags.at(c, r) != classes[(r + c) % 8];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_TRUE(fs::exists(out() / "mosaic.vrt"));
  EXPECT_TRUE(fs::exists(out() / "mosaic.flags.vrt"));
}

TEST_F(GisTest, ExportRefusalsAndErrors) {
  db_.make_tile(6, 49);
  const std::string o = out().string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"--out", o, "E006N49.63M"}, 2, "'E006N49.63M' is not a tile name"},
      {{"--out", o, "E006N49.33M", "--point", "6", "49"}, 2, "give tile names or one area, not both"},
      {{"E006N49.33M"}, 2, "no output folder given"},
      {{"--out", o, "--kind", "1", "--point", "6", "49"}, 2, "--kind, --set and --clear go with --preview only"},
      {{"--preview", o, "--out", o, "--kind", "1", "--point", "6", "49"}, 2, "--preview writes change masks only"},
      {{"--preview", o, "--kind", "1", "E006N49.33M"}, 2, "--preview takes an area, not tile names"},
      {{"--preview", o, "--point", "6", "49"}, 2, "no modification kind given"},
      {{"--preview", o, "--set", "town", "--kind", "1", "--point", "6", "49"}, 2, "only one of --kind, --set, --clear"},
      {{"--preview", o, "--cog", "--kind", "1", "--point", "6", "49"}, 2, "--cog goes with --out, not with --preview"},
      {{"--out", o, "--gpkg", "E006N49.33M"}, 2, "--gpkg goes with --preview only"},
      {{"--out", o, "--rect", "6", "49"}, 2, "--rect needs 4 values"},
      {{"--out", o, "--drive", "C", "--rect", "6.5", "49.5", "6.4", "49.2"}, 1,
       "Error in co-ordinates: Lower right corner is not east of upper left corner!"},
      {{"--out", o, "--drive", "C", "--rect", "6.5", "49.5", "7.5", "49.2"}, 3, "Error: Error opening file E007N49.33M!"},
  };
  for (const Case& t : cases) {
    const ProcessResult r = run(KAVLIN_EXPORT_BIN, t.args);
    EXPECT_EQ(r.exit_status, t.status) << t.err;
    EXPECT_NE(r.err.find(t.err), std::string::npos) << r.err;
  }
}

// --- band labels, style files and the COG -----------------------------------

struct PaletteEntry {
  int value;
  std::string colour, alpha, label;
  bool operator==(const PaletteEntry&) const = default;
};

// The classes of a QGIS style file's paletted renderer; fails the test
// where the file is not such a style.
std::vector<PaletteEntry> style_palette(const fs::path& path) {
  std::vector<PaletteEntry> entries;
  CPLXMLNode* root = CPLParseXMLString(read_file(path).c_str());
  if (root == nullptr) {
    ADD_FAILURE() << path << " is no XML";
    return entries;
  }
  const CPLXMLNode* renderer = CPLGetXMLNode(root, "=qgis.pipe.rasterrenderer");
  if (renderer == nullptr) {
    ADD_FAILURE() << path << " has no qgis/pipe/rasterrenderer";
  } else {
    EXPECT_STREQ(CPLGetXMLValue(renderer, "type", ""), "paletted") << path;
    EXPECT_STREQ(CPLGetXMLValue(renderer, "band", ""), "1") << path;
    const CPLXMLNode* palette = CPLGetXMLNode(renderer, "colorPalette");
    for (const CPLXMLNode* e = palette ? palette->psChild : nullptr; e != nullptr; e = e->psNext) {
      if (e->eType != CXT_Element) continue;
      EXPECT_STREQ(e->pszValue, "paletteEntry");
      entries.push_back({std::atoi(CPLGetXMLValue(e, "value", "-1")), CPLGetXMLValue(e, "color", ""),
                         CPLGetXMLValue(e, "alpha", ""), CPLGetXMLValue(e, "label", "")});
    }
  }
  CPLDestroyXMLNode(root);
  return entries;
}

// The classes a paletted raster holds: its colour table and category names.
std::vector<PaletteEntry> raster_palette(const fs::path& path) {
  GDALAllRegister();
  std::vector<PaletteEntry> entries;
  std::unique_ptr<GDALDataset> ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  if (!ds) {
    ADD_FAILURE() << "cannot open " << path;
    return entries;
  }
  GDALRasterBand* band = ds->GetRasterBand(1);
  const GDALColorTable* table = band->GetColorTable();
  char** names = band->GetCategoryNames();
  for (int n = 0; table != nullptr && names != nullptr && names[n] != nullptr; ++n) {
    const GDALColorEntry* c = table->GetColorEntry(n);
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", c->c1, c->c2, c->c3);
    entries.push_back({n, colour, std::to_string(c->c4), names[n]});
  }
  return entries;
}

const std::string WORDS_DESCRIPTION =
    "Description = grid word: bit 0 sea, bit 1 inland water, bit 2 coastal area, bit 3 town, bit 4 trees (1 where "
    "present); bits 5 to 15 other data";
const std::vector<std::string> FLAG_CATEGORIES = {"Categories:",     "0: none", "1: sea",  "2: inland water",
                                                  "3: coastal area", "4: town", "5: trees"};

// gdalinfo shows which bit is which flag on the words, the class names on
// the flags; every flags raster and mosaic has its QGIS style beside it,
// with the raster's own colours and names.
TEST_F(GisTest, ExportLabelsBandsAndWritesTheFlagStyle) {
  db_.make_tile(6, 49, 144, 0, position_fill(6, 49));
  db_.make_tile(6, 50, 144, 0, position_fill(6, 50));
  const ProcessResult r =
      run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--flags", "--out", out().string(), "E006N49.33M", "E006N50.63M"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string o = out().string() + "/";
  EXPECT_EQ(r.out, o + "E006N49.33M.tif\n" + o + "E006N49.33M.flags.tif\n" + o + "E006N49.33M.flags.qml\n" + o +
                       "E006N50.63M.tif\n" + o + "E006N50.63M.flags.tif\n" + o + "E006N50.63M.flags.qml\n" + o +
                       "mosaic.33M.vrt\n" + o + "mosaic.63M.vrt\n" + o + "mosaic.33M.flags.vrt\n" + o +
                       "mosaic.33M.flags.qml\n" + o + "mosaic.63M.flags.vrt\n" + o + "mosaic.63M.flags.qml\n");

  for (const char* words : {"E006N49.33M.tif", "mosaic.63M.vrt"}) {
    const ProcessResult info = gdal_tool(GDALINFO_BIN, {words}, out());
    ASSERT_EQ(info.exit_status, 0) << words << info.err;
    EXPECT_EQ(lines_from(info.out, WORDS_DESCRIPTION, 1), std::vector<std::string>{WORDS_DESCRIPTION}) << info.out;
  }
  const std::vector<PaletteEntry> expected = {{0, "#f5f5f0", "255", "none"},         {1, "#143ca0", "255", "sea"},
                                              {2, "#5aaafa", "255", "inland water"}, {3, "#e6c878", "255", "coastal area"},
                                              {4, "#c82828", "255", "town"},         {5, "#1e8232", "255", "trees"}};
  for (const char* flags : {"E006N49.33M.flags.tif", "E006N50.63M.flags.tif", "mosaic.33M.flags.vrt", "mosaic.63M.flags.vrt"}) {
    SCOPED_TRACE(flags);
    const ProcessResult info = gdal_tool(GDALINFO_BIN, {flags}, out());
    ASSERT_EQ(info.exit_status, 0) << info.err;
    EXPECT_EQ(lines_from(info.out, "Categories:", FLAG_CATEGORIES.size()), FLAG_CATEGORIES) << info.out;
    EXPECT_NE(info.out.find("Description = land cover (first flag of sea, inland water, coastal area, town, trees)"),
              std::string::npos) << info.out;
    std::string style = flags;
    style.replace(style.rfind('.'), std::string::npos, ".qml");
    EXPECT_EQ(style_palette(out() / style), expected);
    EXPECT_EQ(raster_palette(out() / flags), expected);
  }

  // A style file's name that is a tile (a hard link) is refused: a tile's
  // before anything is written, a mosaic's when it is written.
  const std::string tile = tile_bytes(6, 49);
  const struct {
    const char* style;
    int status;
    const char* err;
  } clashes[] = {{"E006N49.33M.flags.qml", 2, "; nothing was written\n"}, {"mosaic.63M.flags.qml", 3, "\n"}};
  for (const auto& c : clashes) {
    SCOPED_TRACE(c.style);
    fs::remove_all(out());
    fs::create_directories(out());
    fs::create_hard_link(db_.tile_file(6, 49), out() / c.style);
    const ProcessResult refused =
        run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--flags", "--out", out().string(), "E006N49.33M", "E006N50.63M"});
    EXPECT_EQ(refused.exit_status, c.status);
    const std::string source = db_.tile_file(6, 49).string();
    EXPECT_EQ(refused.err, "Error: cannot write " + o + c.style + ": it is the source " + source + c.err);
    EXPECT_EQ(tile_bytes(6, 49), tile);
  }
}

// --cog: each mosaic once more as one Cloud-Optimised GeoTIFF, equal to
// the mosaic point for point, its overviews made of grid words as they
// are; without --cog nothing of it.
TEST_F(GisTest, ExportCogIsEachMosaicInOneFile) {
  for (const auto& [lon, lat] : {std::pair{5, 49}, std::pair{6, 49}, std::pair{6, 50}}) {
    db_.make_tile(lon, lat, 144, 0, position_fill(lon, lat));
  }
  const std::vector<std::string> tiles = {"E005N49.33M", "E006N49.33M", "E006N50.63M"};
  std::vector<std::string> plain = {"--drive", "C", "--out", (dir_ / "plain").string()};
  plain.insert(plain.end(), tiles.begin(), tiles.end());
  const ProcessResult without = run(KAVLIN_EXPORT_BIN, plain);
  ASSERT_EQ(without.exit_status, 0) << without.err;
  std::vector<std::string> args = {"--drive", "C", "--cog", "--flags", "--out", out().string()};
  args.insert(args.end(), tiles.begin(), tiles.end());
  const ProcessResult r = run(KAVLIN_EXPORT_BIN, args);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  std::set<std::string> names, plain_names;
  for (const auto& e : fs::directory_iterator(out())) names.insert(e.path().filename().string());
  for (const auto& e : fs::directory_iterator(dir_ / "plain")) plain_names.insert(e.path().filename().string());
  EXPECT_EQ(plain_names, (std::set<std::string>{"E005N49.33M.tif", "E006N49.33M.tif", "E006N50.63M.tif",
                                                "mosaic.33M.vrt", "mosaic.63M.vrt"}));
  for (const char* cog : {"mosaic.33M.cog.tif", "mosaic.63M.cog.tif", "mosaic.33M.flags.cog.tif",
                          "mosaic.33M.flags.cog.qml", "mosaic.63M.flags.cog.tif", "mosaic.63M.flags.cog.qml"}) {
    EXPECT_EQ(names.count(cog), 1u) << cog;
    EXPECT_NE(r.out.find(out().string() + "/" + cog + "\n"), std::string::npos) << cog << "\n" << r.out;
  }

  const ProcessResult info = gdal_tool(GDALINFO_BIN, {"mosaic.33M.cog.tif"}, out());
  ASSERT_EQ(info.exit_status, 0) << info.err;
  EXPECT_EQ(lines_from(info.out, "LAYOUT=COG", 1), std::vector<std::string>{"LAYOUT=COG"}) << info.out;
  EXPECT_EQ(lines_from(info.out, WORDS_DESCRIPTION, 1), std::vector<std::string>{WORDS_DESCRIPTION}) << info.out;
  const ProcessResult flags_info = gdal_tool(GDALINFO_BIN, {"mosaic.63M.flags.cog.tif"}, out());
  EXPECT_EQ(lines_from(flags_info.out, "Categories:", FLAG_CATEGORIES.size()), FLAG_CATEGORIES) << flags_info.out;

  for (const auto& [cog, vrt] : {std::pair{"mosaic.33M.cog.tif", "mosaic.33M.vrt"},
                                 std::pair{"mosaic.63M.cog.tif", "mosaic.63M.vrt"},
                                 std::pair{"mosaic.33M.flags.cog.tif", "mosaic.33M.flags.vrt"}}) {
    SCOPED_TRACE(cog);
    const Raster a = load_raster(out() / cog), b = load_raster(out() / vrt);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, 1201);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.epsg, "4326");
    for (int n = 0; n < 6; ++n) EXPECT_EQ(a.gt[n], b.gt[n]) << "geotransform " << n;
    EXPECT_TRUE(a.values == b.values);
  }
  const Raster mosaic = load_raster(out() / "mosaic.33M.cog.tif");
  EXPECT_EQ(mosaic.width, 2401);
  EXPECT_EQ(mosaic.at(1000, 700), position_word(5, 49, {700, 1000}));
  EXPECT_EQ(mosaic.at(2000, 300), position_word(6, 49, {300, 800}));

  // The first overview halves the mosaic; each of its points is one of the
  // grid words it stands for (a blend of random words almost never is).
  GDALAllRegister();
  std::unique_ptr<GDALDataset> ds(GDALDataset::Open((out() / "mosaic.33M.cog.tif").c_str(), GDAL_OF_RASTER));
  ASSERT_TRUE(ds);
  GDALRasterBand* overview = ds->GetRasterBand(1)->GetOverview(0);
  ASSERT_NE(overview, nullptr);
  const int ow = overview->GetXSize(), oh = overview->GetYSize();
  EXPECT_EQ(ow, 1200);
  EXPECT_EQ(oh, 600);
  std::vector<uint16_t> small(static_cast<std::size_t>(ow) * oh);
  ASSERT_EQ(overview->RasterIO(GF_Read, 0, 0, ow, oh, small.data(), ow, oh, GDT_UInt16, 0, 0), CE_None);
  std::size_t blended = 0;
  for (int y = 0; y < oh; ++y) {
    for (int x = 0; x < ow; ++x) {
      bool found = false;
      for (int dy = 0; dy <= 2 && !found; ++dy) {
        for (int dx = 0; dx <= 2 && !found; ++dx) {
          const int row = std::min(2 * y + dy, 1200), column = std::min(2 * x + dx, 2400);
          found = mosaic.values[static_cast<std::size_t>(row) * 2401 + column] == small[static_cast<std::size_t>(y) * ow + x];
        }
      }
      blended += !found;
    }
  }
  EXPECT_EQ(blended, 0u);
}

}  // namespace
