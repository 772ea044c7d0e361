// The GIS tools end to end as child processes: kavlin-export's rasters,
// kavlin-polygon's conversions and refusals, kavlin-export's --preview
// masks, and the round trip through kavlin-polygon, kavlin-apply and
// kavlin-export. Rasters are read back and
// GeoPackages made with GDAL's own API; the band labels, the COG and the
// GeoPackage masks are also opened with GDAL's own tools (gdalinfo,
// ogrinfo), and the QGIS style files parsed as XML.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cpl_minixml.h>
#include <gdal_alg.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "polygon/polygon_reader.h"
#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "cli/apply_cli.h"
#include "gis/mask_outlines.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace fs = std::filesystem;
using kavlin::testing::FaultFiles;
using kavlin::testing::Killed;
using kavlin::testing::ProcessResult;
using kavlin::testing::read_file;
using kavlin::testing::run_program;
using kavlin::testing::TempDir;
using kavlin::testing::TileDb;
using kavlin::testing::write_file;

namespace {

// A full-grid point: r latitude row from the south, c longitude column
// from the west.
using Point = std::pair<int32_t, int32_t>;

struct Raster {
  int width = 0, height = 0;
  double gt[6] = {};
  GDALDataType type = GDT_Unknown;
  std::string epsg;
  std::vector<uint16_t> values;  // raster order, widened
  bool colour_table = false;
  std::vector<std::string> categories;
  uint16_t at(int32_t c, int32_t r_from_south) const {
    return values[static_cast<std::size_t>(height - 1 - r_from_south) * width + c];
  }
};

Raster load_raster(const fs::path& path) {
  GDALAllRegister();
  Raster raster;
  std::unique_ptr<GDALDataset> ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  if (!ds) {
    ADD_FAILURE() << "cannot open " << path;
    return raster;
  }
  raster.width = ds->GetRasterXSize();
  raster.height = ds->GetRasterYSize();
  ds->GetGeoTransform(raster.gt);
  GDALRasterBand* band = ds->GetRasterBand(1);
  raster.type = band->GetRasterDataType();
  if (const OGRSpatialReference* srs = ds->GetSpatialRef()) {
    if (const char* code = srs->GetAuthorityCode(nullptr)) raster.epsg = code;
  }
  raster.colour_table = band->GetColorTable() != nullptr;
  if (char** names = band->GetCategoryNames()) {
    for (; *names != nullptr; ++names) raster.categories.emplace_back(*names);
  }
  raster.values.resize(static_cast<std::size_t>(raster.width) * raster.height);
  EXPECT_EQ(band->RasterIO(GF_Read, 0, 0, raster.width, raster.height, raster.values.data(), raster.width,
                           raster.height, GDT_UInt16, 0, 0),
            CE_None);
  return raster;
}

// The full-grid point of stored word `index` (from 0) of record `record`.
Point stored_point(int32_t record, int32_t index, int32_t columns) {
  const int32_t i = (record - 1) / 12 + 1, j = (record - 1) % 12 + 1;
  const int32_t l = index / columns + 1, k = index % columns + 1;
  return {(i - 1) * 100 + (l - 1), (j - 1) * (columns - 1) + (k - 1)};
}

int32_t columns_of(int32_t lat) { return lat >= 50 ? 51 : 101; }
int32_t record_length_of(int32_t lat) { return lat >= 50 ? 10302 : 20402; }

// Full-grid points with at least one stored copy that differs between two
// versions of a tile file.
std::set<Point> changed_points(const std::string& before, const std::string& after, int32_t lat) {
  std::set<Point> points;
  const int32_t length = record_length_of(lat);
  for (std::size_t at = 0; at + 1 < before.size(); at += 2) {
    if (before[at] == after[at] && before[at + 1] == after[at + 1]) continue;
    const int32_t record = static_cast<int32_t>(at / length) + 1;
    points.insert(stored_point(record, static_cast<int32_t>(at % length) / 2, columns_of(lat)));
  }
  return points;
}

// Points whose pixel differs between two rasters, or (one raster) is not 0.
std::set<Point> marked_points(const Raster& a, const Raster* b = nullptr) {
  std::set<Point> points;
  for (int32_t r = 0; r < a.height; ++r) {
    for (int32_t c = 0; c < a.width; ++c) {
      if (b ? a.at(c, r) != b->at(c, r) : a.at(c, r) != 0) points.insert({r, c});
    }
  }
  return points;
}

// A word per grid position with every flag combination, the same in every
// stored copy of a point.
uint16_t position_word(int32_t lon, int32_t lat, Point p) {
  const uint32_t h = static_cast<uint32_t>(p.first * 7919 + p.second * 104729 + lon * 31 + lat * 17) * 2654435761u;
  return static_cast<uint16_t>(((h >> 11) & 0xFFE0) | ((h >> 5) & 0x1F));
}
TileDb::WordFill position_fill(int32_t lon, int32_t lat) {
  return [lon, lat](int32_t record, int32_t word) {
    return position_word(lon, lat, stored_point(record, word, columns_of(lat)));
  };
}

// Exact text of a double, and back.
double number(std::string_view text) {
  double value = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

class GisTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(work()); }
  fs::path work() const { return dir_ / "work"; }
  fs::path out() const { return dir_ / "out"; }
  ProcessResult run(const char* program, const std::vector<std::string>& args) {
    return run_program(program, args, work());
  }
  std::string tile_bytes(int32_t lon, int32_t lat) const { return read_file(db_.tile_file(lon, lat)); }

  TileDb db_;  // drive C through KAVLIN_DRIVES, inherited by the children
  TempDir dir_;
};

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

// --- band labels, style files, COG and GeoPackage masks ---------------------

// GDAL's own command-line tools, found at configure time (package gdal-bin).
ProcessResult gdal_tool(const char* tool, const std::vector<std::string>& args, const fs::path& cwd) {
  if (std::string(tool).empty()) {
    ADD_FAILURE() << "gdalinfo or ogrinfo was not found when the tests were configured (install gdal-bin)";
    return {};
  }
  return run_program(tool, args, cwd);
}

// The lines of `text` from the one starting with `first` on, `count` of
// them, each without its leading blanks.
std::vector<std::string> lines_from(const std::string& text, const std::string& first, std::size_t count) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && lines.size() < count;) {
    line.erase(0, line.find_first_not_of(' '));
    if (!lines.empty() || line == first) lines.push_back(line);
  }
  return lines;
}

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

namespace kavlin::gis {
void PrintTo(const CellBlock& b, std::ostream* os) {
  *os << "columns " << b.c0 << ".." << b.c1 << " rows " << b.r0 << ".." << b.r1;
}
}  // namespace kavlin::gis

namespace {

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
  // Town in diagonal bands of blocks of points: outlines with holes, steps
  // and runs that start and end in the same columns.
  for (int lon : {5, 6}) {
    for (int lat : {49, 50}) {
      db_.make_tile(lon, lat, 144, 0, [lon, lat](int32_t record, int32_t word) {
        const Point p = stored_point(record, word, columns_of(lat));
        return static_cast<uint16_t>(0x0120 | ((p.first / 40 + p.second / 60 + lon) % 3 == 0 ? kavlin::FLAG_TOWN : 0));
      });
    }
  }
  write_file(work() / "lake.txt", "5.93 49.21\n6.171 49.18\n6.2 50.41\n6.0 49.5\n5.95 49.33\n5.93 49.21\n");
  const fs::path preview = dir_ / "preview";
  const ProcessResult r = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--preview", preview.string(), "--gpkg", "--set",
                                                  "town", "--polygon", "lake.txt"});
  ASSERT_EQ(r.exit_status, 0) << r.err;
  // The mask files and their counts, as listed.
  std::map<std::string, int64_t> listed;
  std::istringstream lines(r.out);
  int64_t report_words = -1;
  for (std::string line; std::getline(lines, line);) {
    const std::string words = "stored grid words that would change: ";
    if (line.rfind(words, 0) == 0) report_words = std::stoll(line.substr(words.size()));
    const std::size_t mask = line.find(".mask.tif (");
    if (mask != std::string::npos) listed[line.substr(mask - 11, 11)] = std::stoll(line.substr(mask + 11));
  }
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
    std::unique_ptr<GDALDataset> burnt(
        GetGDALDriverManager()->GetDriverByName("MEM")->Create("", mask.width, mask.height, 1, GDT_Byte, nullptr));
    double gt[6];
    std::copy(std::begin(mask.gt), std::end(mask.gt), gt);
    burnt->SetGeoTransform(gt);
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

// --- kavlin-polygon ---------------------------------------------------------

// A GeoPackage built with OGR: layer "areas" (EPSG:4326, field "name") with
// the given features as WKT, optionally a second layer.
void make_gpkg(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& features,
               int epsg = 4326, bool second_layer = false) {
  GDALAllRegister();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GPKG");
  std::unique_ptr<GDALDataset> ds(driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
  ASSERT_TRUE(ds);
  OGRSpatialReference srs;
  srs.importFromEPSG(epsg);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  OGRLayer* layer = ds->CreateLayer("areas", &srs, wkbUnknown, nullptr);
  ASSERT_NE(layer, nullptr);
  OGRFieldDefn field("name", OFTString);
  ASSERT_EQ(layer->CreateField(&field), OGRERR_NONE);
  for (const auto& [name, wkt] : features) {
    OGRFeatureUniquePtr f(OGRFeature::CreateFeature(layer->GetLayerDefn()));
    f->SetField("name", name.c_str());
    OGRGeometry* geometry = nullptr;
    ASSERT_EQ(OGRGeometryFactory::createFromWkt(wkt.c_str(), &srs, &geometry), OGRERR_NONE) << wkt;
    f->SetGeometryDirectly(geometry);
    ASSERT_EQ(layer->CreateFeature(f.get()), OGRERR_NONE);
  }
  if (second_layer) {
    ASSERT_NE(ds->CreateLayer("other", &srs, wkbPolygon, nullptr), nullptr);
  }
}

std::string ring_wkt(int n, double lon0 = 6.2, double lat0 = 49.2) {
  // n vertices on a circle, the first repeated as the last (n + 1 points).
  std::ostringstream s;
  s.precision(17);
  s << "POLYGON ((";
  for (int v = 0; v <= n; ++v) {
    const double a = 2.0 * M_PI * (v % n) / n;
    s << (v ? "," : "") << lon0 + 0.1 * std::cos(a) << " " << lat0 + 0.1 * std::sin(a);
  }
  s << "))";
  return s.str();
}

TEST_F(GisTest, PolygonRefusesWhatIsNotOneSimplePolygon) {
  const fs::path gpkg = work() / "areas.gpkg";
  make_gpkg(gpkg,
            {{"holed", "POLYGON ((6 49,7 49,7 50,6 49),(6.5 49.2,6.8 49.2,6.8 49.5,6.5 49.2))"},
             {"two", "MULTIPOLYGON (((6 49,6.1 49,6.1 49.1,6 49)),((6.5 49,6.6 49,6.6 49.1,6.5 49)))"},
             {"one", "MULTIPOLYGON (((6 49,6.1 49,6.1 49.1,6 49)))"},
             {"line", "LINESTRING (6 49,7 49)"},
             {"empty", "POLYGON EMPTY"},
             {"flat", "POLYGON ((6 49,7 49,6 49))"},
             {"max", ring_wkt(24999)},
             {"over", ring_wkt(kavlin::MAX_AREA_VERTICES)}},
            4326, true);
  const std::string src = gpkg.string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{src}, 1, "has 2 layers (areas, other); choose one with --layer"},
      {{"--layer", "nope", src}, 1, "no layer 'nope'"},
      {{"--layer", "areas", src}, 1, "8 features of layer areas; choose one with --fid N (--list shows the ids) or --where"},
      {{"--layer", "areas", "--where", "name LIKE 'o%'", src}, 1, "2 features of layer areas match --where"},
      {{"--layer", "areas", "--where", "name = 'line'", src}, 1, "Line String, not a polygon"},
      {{"--layer", "areas", "--where", "name = 'empty'", src}, 1, "has an empty geometry"},
      {{"--layer", "areas", "--where", "name = 'flat'", src}, 1, "fewer than three corners"},
      {{"--layer", "areas", "--where", "name = 'over'", src}, 1, "has 250001 vertices; an area file holds at most 250000"},
      {{"--layer", "areas", "--where", "name = 'none'", src}, 1, "no feature of layer areas matches"},
      {{"--layer", "areas", "--where", "nome = 'one'", src}, 2, "is no attribute filter for layer areas"},
      {{(work() / "missing.gpkg").string()}, 3, "cannot open"},
      {{"--layer", "areas", "--where", "name = 'one'"}, 2, "give the data source and the output file"},
  };
  for (const Case& t : cases) {
    std::vector<std::string> args = t.args;
    if (t.status != 2 || t.err.find("attribute") != std::string::npos) args.push_back("out.txt");
    const ProcessResult r = run(KAVLIN_POLYGON_BIN, args);
    EXPECT_EQ(r.exit_status, t.status) << t.err << "\n" << r.err;
    EXPECT_NE(r.err.find(t.err), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(work() / "out.txt")) << t.err;
  }

  // A one-part multipolygon, a ring of exactly 25000 vertices, a polygon
  // with a hole and a multipolygon of two parts are taken whole, each ring
  // its own.
  const std::vector<std::tuple<const char*, int32_t, std::vector<int32_t>>> taken{
      {"one", 4, {}}, {"max", 25000, {}}, {"holed", 8, {4, 8}}, {"two", 8, {4, 8}}};
  for (const auto& [name, vertices, ends] : taken) {
    const ProcessResult r =
        run(KAVLIN_POLYGON_BIN, {"--layer", "areas", "--where", std::string("name = '") + name + "'", src, "out.txt"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    kavlin::testing::ScopedCwd cwd(work());
    kavlin::VertexTable table;
    EXPECT_EQ(kavlin::read_polygon_file(db_.files(), "out.txt", table, kavlin::PolygonPath::PROGRAM,
                                        kavlin::TOOL_AREA_RULES).status,
              kavlin::STATUS_OK);
    EXPECT_EQ(table.NREC, vertices) << name;
    EXPECT_EQ(table.RING_ENDS, ends) << name;
  }
}

TEST_F(GisTest, PolygonWritesLongitudeFirstAndEveryDoubleExactly) {
  // Awkward doubles in EPSG:4326 stay bit for bit.
  const double lons[] = {0.1 + 0.2, 6.123456789012345, 1e-7, 7.0000000000000009};
  const double lats[] = {49.999999999999993, 50.1, 49.0000001, 1.0 / 3.0 + 49.0};
  std::ostringstream wkt;
  wkt.precision(17);
  wkt << "POLYGON ((";
  for (int v = 0; v < 4; ++v) wkt << lons[v] << " " << lats[v] << ",";
  wkt << lons[0] << " " << lats[0] << "))";
  make_gpkg(work() / "exact.gpkg", {{"a", wkt.str()}});
  ASSERT_EQ(run(KAVLIN_POLYGON_BIN, {"exact.gpkg", "exact.txt"}).exit_status, 0);
  const std::string text = read_file(work() / "exact.txt");
  std::istringstream lines(text);
  std::string line;
  for (int v = 0; v <= 4; ++v) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_LE(line.size(), 80u);
    const std::size_t blank = line.find(' ');
    EXPECT_EQ(number(line.substr(0, blank)), lons[v % 4]) << line;
    EXPECT_EQ(number(line.substr(blank + 1)), lats[v % 4]) << line;
  }
  EXPECT_FALSE(std::getline(lines, line));

  // A layer in metres (web Mercator) comes out as longitude, latitude.
  make_gpkg(work() / "mercator.gpkg", {{"a", "POLYGON ((690000 6300000,700000 6300000,700000 6310000,690000 6300000))"}}, 3857);
  ASSERT_EQ(run(KAVLIN_POLYGON_BIN, {"mercator.gpkg", "mercator.txt"}).exit_status, 0);
  kavlin::testing::ScopedCwd cwd(work());
  kavlin::VertexTable table;
  ASSERT_EQ(kavlin::read_polygon_file(db_.files(), "mercator.txt", table).status, kavlin::STATUS_OK);
  ASSERT_EQ(table.NREC, 4);
  EXPECT_NEAR(table.AREA_LON[1], 690000.0 / 6378137.0 * 180.0 / M_PI, 1e-9);
  EXPECT_NEAR(table.AREA_LAT[1], 49.0, 0.5);
  EXPECT_EQ(table.AREA_LON[4], table.AREA_LON[1]);
  EXPECT_EQ(table.AREA_LAT[4], table.AREA_LAT[1]);
}

// The output is written to a new file beside it and renamed: what stands
// at the output's name is replaced only when it is a regular file, a link
// planted at a temporary name is never written through, and the reason of
// a failure is the real one.
TEST_F(GisTest, PolygonOutputReplacesOnlyARegularFile) {
  make_gpkg(work() / "a.gpkg", {{"a", "POLYGON ((6 49,6.1 49,6.1 49.1,6 49))"}});
  fs::create_directory(work() / "folder");
  ASSERT_EQ(::mkfifo((work() / "fifo").c_str(), 0600), 0);
  write_file(work() / "victim", "keep\n");
  fs::create_symlink(work() / "victim", work() / "link");
  fs::create_symlink(work() / "victim", work() / "out.txt.tmp");  // where the output once went first
  write_file(work() / "old.txt", "old\n");
  fs::permissions(work() / "old.txt", fs::perms(0640));
  // A device of the test's own where it may make one (as root, where a
  // broken guard would replace a real device); otherwise /dev/null, whose
  // folder the user cannot write.
  std::string device = "/dev/null";
  if (::geteuid() == 0 && ::mknod((work() / "device").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
    device = (work() / "device").string();
  }
  struct Case {
    std::string output;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"folder", 3, "cannot write folder: it is a folder"},
      {"folder/", 3, "cannot write folder/: it is a folder"},
      {"fifo", 3, "cannot write fifo: it is a FIFO"},
      {device, 3, "cannot write " + device + ": it is a device"},
      {"link", 3, "cannot write link: it is a symbolic link"},
      {"missing/out.txt", 3, "cannot write missing/out.txt: No such file or directory"},
      {"old.txt", 0, ""},
      {"out.txt", 0, ""},
  };
  for (const Case& t : cases) {
    const ProcessResult r = run(KAVLIN_POLYGON_BIN, {"a.gpkg", t.output});
    EXPECT_EQ(r.exit_status, t.status) << t.output << "\n" << r.err;
    EXPECT_NE(r.err.find(t.err), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::is_directory(work() / "folder"));
  EXPECT_TRUE(fs::is_fifo(work() / "fifo"));
  EXPECT_TRUE(fs::is_character_file(device));
  EXPECT_TRUE(fs::is_symlink(work() / "link"));
  EXPECT_EQ(read_file(work() / "victim"), "keep\n");
  const std::string polygon = "6 49\n6.1 49\n6.1 49.1\n6 49\n";
  EXPECT_EQ(read_file(work() / "out.txt"), polygon);
  EXPECT_EQ(read_file(work() / "old.txt"), polygon);
  EXPECT_EQ(fs::status(work() / "old.txt").permissions() & fs::perms::all, fs::perms(0640));
  // Nothing is left behind but what was there and the two outputs.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(work())) names.insert(e.path().filename().string());
  names.erase("device");
  EXPECT_EQ(names, (std::set<std::string>{"a.gpkg", "folder", "fifo", "victim", "link", "out.txt.tmp", "old.txt",
                                          "out.txt"}));
}

// No output is ever the source, however it is named: refused before
// anything is written, the source left as it was; a FIFO source is never
// opened, and a reference system that cannot be understood is no
// longitude and latitude.
TEST_F(GisTest, PolygonAndExportNeverWriteOverWhatTheyRead) {
  const auto geojson = [](const std::string& crs, int features) {
    std::string text = "{\"type\":\"FeatureCollection\",";
    if (!crs.empty()) text += "\"crs\":{\"type\":\"name\",\"properties\":{\"name\":\"" + crs + "\"}},";
    text += "\"features\":[";
    for (int f = 0; f < features; ++f) {
      text += std::string(f > 0 ? "," : "") + "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":" +
              "\"Polygon\",\"coordinates\":[[[6,49],[6.1,49],[6.1,49.1],[6,49]]]}}";
    }
    return text + "]}";
  };
  write_file(work() / "lake.geojson", geojson("", 1));
  write_file(work() / "lakes.geojson", geojson("", 2));
  fs::create_symlink("lake.geojson", work() / "link.geojson");
  fs::create_hard_link(work() / "lake.geojson", work() / "hard.geojson");
  fs::create_directory(work() / "each");
  write_file(work() / "each" / "0.txt", geojson("", 2));
  write_file(work() / "metres.geojson", geojson("EPSG:99999", 1));
  ASSERT_EQ(::mkfifo((work() / "fifo").c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"lake.geojson", "lake.geojson"}, 2, "cannot write lake.geojson: it is the source lake.geojson"},
      {{"link.geojson", "lake.geojson"}, 2, "cannot write lake.geojson: it is the source link.geojson"},
      {{"lake.geojson", "hard.geojson"}, 2, "cannot write hard.geojson: it is the source lake.geojson"},
      {{"--fid", "1", "lakes.geojson", "lakes.geojson"}, 2, "it is the source lakes.geojson"},
      {{"--each", "each", "each/0.txt"}, 2, "it is the source each/0.txt (--each each would write 0.txt)"},
      {{"fifo", "out.txt"}, 3, "cannot open fifo: it is a FIFO"},
      {{"metres.geojson", "out.txt"}, 1, "the co-ordinate reference system of metres.geojson cannot be understood"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = run(KAVLIN_POLYGON_BIN, c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.args.back() << "\n" << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(work() / "lake.geojson"), geojson("", 1));
  EXPECT_EQ(read_file(work() / "lakes.geojson"), geojson("", 2));
  EXPECT_EQ(read_file(work() / "each" / "0.txt"), geojson("", 2));
  EXPECT_EQ(std::distance(fs::directory_iterator(work() / "each"), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(work() / "out.txt"));

  // kavlin-export: an output that is a tile (a hard link in the out folder).
  db_.make_tile(6, 49);
  const std::string tile = tile_bytes(6, 49);
  fs::create_directories(out());
  fs::create_hard_link(db_.tile_file(6, 49), out() / "E006N49.33M.tif");
  const ProcessResult r = run(KAVLIN_EXPORT_BIN, {"--drive", "C", "--out", out().string(), "E006N49.33M"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("E006N49.33M.tif: it is the source "), std::string::npos) << r.err;
  EXPECT_EQ(tile_bytes(6, 49), tile);
}

// A layer whose features share their attributes: --list tells them apart,
// --fid picks one, and the refusals name both.
TEST_F(GisTest, PolygonListsFeaturesAndTakesOneByItsId) {
  make_gpkg(work() / "lakes.gpkg",
            {{"north", "POLYGON ((6 49.5,6.25 49.5,6.25 49.75,6 49.5))"},
             {"north", "MULTIPOLYGON (((6 49,6.5 49,6.5 49.5,6 49)),((7 49,7.5 49,7.5 49.5,7 49)))"},
             {"", "POLYGON ((5 49,5.5 49,5.5 49.5,5 49.5,5 49),(5.1 49.1,5.2 49.1,5.2 49.2,5.1 49.1))"},
             {"road", "LINESTRING (6 49,7 50)"}});
  const ProcessResult list = run(KAVLIN_POLYGON_BIN, {"--list", "lakes.gpkg"});
  ASSERT_EQ(list.exit_status, 0) << list.err;
  EXPECT_EQ(list.out,
            "fid\tname\tgeometry\trings\tvertices\textent (lon min, lat min, lon max, lat max)\n"
            "1\tnorth\tPolygon\t1\t4\t6 49.5 6.25 49.75\n"
            "2\tnorth\tMulti Polygon of 2 parts\t2\t8\t6 49 7.5 49.5\n"
            "3\t\tPolygon, 1 hole(s)\t2\t9\t5 49 5.5 49.5\n"
            "4\troad\tLine String\t-\t-\t6 49 7 50\n"
            "4 features in layer areas\n");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string text;  // on standard error when refused, else the file
  };
  const Case cases[] = {
      {{"--fid", "1"}, 0, "6 49.5\n6.25 49.5\n6.25 49.75\n6 49.5\n"},
      {{"--fid", "2"}, 0, "6 49\n6.5 49\n6.5 49.5\n6 49\nRING\n7 49\n7.5 49\n7.5 49.5\n7 49\n"},
      {{"--fid", "9"}, 1, "layer areas has no feature 9 (see --list)"},
      {{"--where", "name = 'north'"}, 1, "2 features of layer areas match --where \"name = 'north'\"; choose one with --fid N"},
  };
  for (const Case& t : cases) {
    std::vector<std::string> args = t.args;
    args.insert(args.end(), {"lakes.gpkg", "one.txt"});
    const ProcessResult r = run(KAVLIN_POLYGON_BIN, args);
    EXPECT_EQ(r.exit_status, t.status) << t.args[1] << "\n" << r.err;
    if (t.status == 0) {
      EXPECT_EQ(read_file(work() / "one.txt"), t.text);
      fs::remove(work() / "one.txt");
    } else {
      EXPECT_NE(r.err.find(t.text), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(work() / "one.txt"));
    }
  }
}

// --each writes an area file per feature, its parts and holes included,
// each as the feature alone would be written; a refused feature is left out and named;
// batch.txt holds one kavlin-apply line per file.
TEST_F(GisTest, PolygonEachWritesEveryPolygonAndTheBatch) {
  make_gpkg(work() / "lakes.gpkg",
            {{"a", "POLYGON ((6 49.5,6.25 49.5,6.25 49.75,6 49.5))"},
             {"b", "MULTIPOLYGON (((6 49,6.5 49,6.5 49.5,6 49)),((7 49,7.5 49,7.5 49.5,7 49)))"},
             {"c", "POLYGON ((5 49,5.5 49,5.5 49.5,5 49),(5.1 49.1,5.2 49.1,5.2 49.2,5.1 49.1))"},
             {"d", "MULTIPOLYGON (((6 49,6.5 49,6.5 49.5,6 49)),((7 49,7.5 49,7 49)))"},
             {"e", ring_wkt(5)}});
  const ProcessResult r = run(KAVLIN_POLYGON_BIN, {"--each", "out", "--set", "inland-water", "lakes.gpkg"});
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_NE(r.err.find("feature 4 of layer areas has a ring of fewer than three corners; left out"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 polygon was left out"), std::string::npos) << r.err;

  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(work() / "out")) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"1.txt", "2.txt", "3.txt", "5.txt", "batch.txt"}));
  EXPECT_EQ(read_file(work() / "out" / "3.txt"), "5 49\n5.5 49\n5.5 49.5\n5 49\nRING\n5.1 49.1\n5.2 49.1\n5.2 49.2\n5.1 49.1\n");
  for (const char* fid : {"1", "2", "3", "5"}) {
    ASSERT_EQ(run(KAVLIN_POLYGON_BIN, {"--fid", fid, "lakes.gpkg", "alone.txt"}).exit_status, 0);
    EXPECT_EQ(read_file(work() / "out" / (std::string(fid) + ".txt")), read_file(work() / "alone.txt")) << fid;
  }
  const std::string batch = read_file(work() / "out" / "batch.txt");
  EXPECT_EQ(batch,
            "--set inland-water --polygon 1.txt\n"
            "--set inland-water --polygon 2.txt\n"
            "--set inland-water --polygon 3.txt\n"
            "--set inland-water --polygon 5.txt\n");
  // Each line is a kavlin-apply command line.
  std::istringstream lines(batch);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    const kavlin::cli::ParseResult parsed = kavlin::cli::parse_arguments(args);
    EXPECT_EQ(parsed.action, kavlin::cli::ParseResult::Action::Run) << line << ": " << parsed.error;
    EXPECT_EQ(parsed.request.kind, 3);
  }

  // Without a type no batch.txt; a folder that is a file is refused.
  const ProcessResult plain = run(KAVLIN_POLYGON_BIN, {"--each", "plain", "--where", "name = 'a'", "lakes.gpkg"});
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_TRUE(fs::exists(work() / "plain" / "1.txt"));
  EXPECT_FALSE(fs::exists(work() / "plain" / "batch.txt"));
  const ProcessResult file = run(KAVLIN_POLYGON_BIN, {"--each", "lakes.gpkg", "lakes.gpkg"});
  EXPECT_EQ(file.exit_status, 3);
  EXPECT_NE(file.err.find("cannot write lakes.gpkg: it is not a folder"), std::string::npos) << file.err;
}

TEST_F(GisTest, PolygonOptionsThatDoNotGoTogether) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--set", "town", "s.gpkg", "o.txt"}, "--set and --clear go with --each"},
      {{"--fid", "1", "--where", "x = 1", "s.gpkg", "o.txt"}, "with --fid or with --where, not both"},
      {{"--fid", "-1", "s.gpkg", "o.txt"}, "--fid needs a feature id"},
      {{"--list", "s.gpkg", "o.txt"}, "give the data source only"},
      {{"--each", "d", "--set", "lake", "s.gpkg"}, "unknown land-cover type 'lake'"},
      {{"--each", "d", "--set", "town", "--clear", "town", "s.gpkg"}, "give one of --set and --clear"},
  };
  for (const auto& [args, text] : cases) {
    const ProcessResult r = run(KAVLIN_POLYGON_BIN, args);
    EXPECT_EQ(r.exit_status, 2) << text;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  }
}

// --- round trip and preview --------------------------------------------------

TEST_F(GisTest, RoundTripGeoPackageToPolygonToApplyToExport) {
  db_.make_tile(5, 49, 144, 0, position_fill(5, 49));
  db_.make_tile(6, 49, 144, 0, position_fill(6, 49));
  // Across the seam of E005 and E006 and several block edges.
  make_gpkg(work() / "area.gpkg",
            {{"lake", "POLYGON ((5.93 49.21,6.171 49.18,6.2 49.41,6.0 49.5,5.95 49.33,5.93 49.21))"}});
  ASSERT_EQ(run(KAVLIN_POLYGON_BIN, {"--where", "name = 'lake'", "area.gpkg", "lake.txt"}).exit_status, 0);

  const std::vector<std::string> tiles = {"E005N49.33M", "E006N49.33M"};
  auto export_to = [&](const fs::path& dir) {
    std::vector<std::string> args = {"--drive", "C", "--out", dir.string()};
    args.insert(args.end(), tiles.begin(), tiles.end());
    const ProcessResult r = run(KAVLIN_EXPORT_BIN, args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
  };
  export_to(dir_ / "before");
  const std::string before5 = tile_bytes(5, 49), before6 = tile_bytes(6, 49);
  const ProcessResult applied = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--set", "trees", "--polygon", "lake.txt"});
  ASSERT_EQ(applied.exit_status, 0) << applied.err;
  export_to(dir_ / "after");

  std::size_t total = 0;
  for (const auto& [lon, before] : {std::pair{5, before5}, std::pair{6, before6}}) {
    const std::string name = tiles[lon - 5] + ".tif";
    const std::set<Point> words = changed_points(before, tile_bytes(lon, 49), 49);
    const Raster a = load_raster(dir_ / "before" / name), b = load_raster(dir_ / "after" / name);
    EXPECT_EQ(marked_points(a, &b), words) << name;
    total += words.size();
  }
  EXPECT_GT(total, 1000u);
}

// A batch from a vector file: kavlin-polygon --each writes the polygon
// files and batch.txt, kavlin-apply --batch makes them one run with the
// bytes of the lines run one by one, and --undo gives back every byte.
TEST_F(GisTest, BatchFromAGeoPackageThroughApplyAndUndo) {
  for (const int32_t lon : {5, 6}) {
    for (const int32_t lat : {49, 50}) db_.make_tile(lon, lat, 144, 0, position_fill(lon, lat));
  }
  // Over the corner of four tiles and the 50-degree seam, overlapping.
  make_gpkg(work() / "lakes.gpkg",
            {{"a", "POLYGON ((5.9 49.9,6.1 49.9,6.1 50.1,5.9 50.1,5.9 49.9))"},
             {"b", "MULTIPOLYGON (((5.2 49.2,5.5 49.2,5.4 49.6,5.2 49.2)),((6.3 50.3,6.6 50.3,6.5 50.6,6.3 50.3)))"},
             {"c", "POLYGON ((5.95 49.95,6.3 49.95,6.3 50.2,5.95 49.95))"}});
  const ProcessResult each = run(KAVLIN_POLYGON_BIN, {"--each", "lakes", "--clear", "town", "lakes.gpkg"});
  ASSERT_EQ(each.exit_status, 0) << each.err;
  // The same flag set again on two of them, after the clears.
  std::string batch = read_file(work() / "lakes" / "batch.txt");
  batch += "# set again\n--set town --polygon 1.txt\n--kind 7 --polygon 3.txt  # the overlap\n";
  write_file(work() / "lakes" / "batch.txt", batch);
  const auto before = db_.snapshot();

  const ProcessResult dry = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--dry-run", "--batch", "lakes/batch.txt"});
  ASSERT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_NE(dry.out.find("line 1: grid points inside: "), std::string::npos) << dry.out;
  EXPECT_NE(dry.out.find("line 6: grid points inside: "), std::string::npos) << dry.out;
  EXPECT_TRUE(db_.snapshot() == before);

  const ProcessResult applied = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--batch", "lakes/batch.txt"});
  ASSERT_EQ(applied.exit_status, 0) << applied.err;
  EXPECT_NE(applied.out.find("lines applied: 5\n"), std::string::npos) << applied.out;
  const auto after = db_.snapshot();
  EXPECT_FALSE(after == before);

  const ProcessResult undo = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--undo"});
  ASSERT_EQ(undo.exit_status, 0) << undo.err;
  EXPECT_TRUE(db_.snapshot() == before);

  // The lines one by one, paths from the working folder.
  std::istringstream lines(batch);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::vector<std::string> args = {"--drive", "C"};
    for (std::string w; words >> w;) args.push_back(args.back() == "--polygon" ? "lakes/" + w : w);
    if (args.size() == 2) continue;
    const ProcessResult single = run(KAVLIN_APPLY_BIN, args);
    ASSERT_EQ(single.exit_status, 0) << line << ": " << single.err;
  }
  EXPECT_TRUE(db_.snapshot() == after);
}

// Country land areas with holes and parts, from a GeoJSON layer through
// kavlin-polygon and one kavlin-apply batch: every stored word of the four
// tiles is as a walk of the even-odd rule over all rings of its feature
// says (town set inside, the word untouched outside), and --undo gives the
// database back. No grid point lies on an edge, so any exact even-odd
// test answers alike.
TEST_F(GisTest, CountriesWithHolesAndPartsRoundTripAsOneBatch) {
  for (const int32_t lon : {5, 6}) {
    for (const int32_t lat : {49, 50}) db_.make_tile(lon, lat, 144, 0, position_fill(lon, lat));
  }
  using Rings = std::vector<std::vector<std::pair<double, double>>>;
  const auto square = [](double w, double s, double e, double n) {
    return std::vector<std::pair<double, double>>{{w, s}, {e, s}, {e, n}, {w, n}, {w, s}};
  };
  const double o = 0.0012345;  // off the grid
  // A: a land with a lake (hole) holding an island, and an island apart;
  // B: a land of one ring beside it.
  const std::vector<std::vector<Rings>> countries{
      {{square(5.6 + o, 49.6 + o, 6.4 + o, 50.4 + o), square(5.9 + o, 49.9 + o, 6.2 + o, 50.2 + o),
        {{6.0 + o, 50.0 + o}, {6.1 + o, 50.0 + o}, {6.05 + o, 50.1 + o}, {6.0 + o, 50.0 + o}}},
       {{{5.2 + o, 49.2 + o}, {5.4 + o, 49.25 + o}, {5.3 + o, 49.4 + o}, {5.2 + o, 49.2 + o}}}},
      {{{{6.45 + o, 49.1 + o}, {6.9 + o, 49.1 + o}, {6.7 + o, 50.7 + o}, {6.45 + o, 49.1 + o}}}}};
  std::string geojson = "{\"type\":\"FeatureCollection\",\"features\":[";
  for (std::size_t f = 0; f < countries.size(); ++f) {
    geojson += std::string(f > 0 ? "," : "") + "{\"type\":\"Feature\",\"properties\":{},\"geometry\":" +
               "{\"type\":\"MultiPolygon\",\"coordinates\":[";
    for (std::size_t p = 0; p < countries[f].size(); ++p) {
      geojson += p > 0 ? ",[" : "[";
      for (std::size_t r = 0; r < countries[f][p].size(); ++r) {
        geojson += r > 0 ? ",[" : "[";
        for (std::size_t v = 0; v < countries[f][p][r].size(); ++v) {
          char point[64];
          std::snprintf(point, sizeof point, "%s[%.17g,%.17g]", v > 0 ? "," : "", countries[f][p][r][v].first,
                        countries[f][p][r][v].second);
          geojson += point;
        }
        geojson += "]";
      }
      geojson += "]";
    }
    geojson += "]}}";
  }
  write_file(work() / "countries.geojson", geojson + "]}");
  const auto before = db_.snapshot();
  const ProcessResult each = run(KAVLIN_POLYGON_BIN, {"--each", "land", "--set", "town", "countries.geojson"});
  ASSERT_EQ(each.exit_status, 0) << each.err;
  EXPECT_NE(each.out.find("in 4 rings of feature 0"), std::string::npos) << each.out;
  const ProcessResult applied = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--batch", "land/batch.txt"});
  ASSERT_EQ(applied.exit_status, 0) << applied.err;
  EXPECT_NE(applied.out.find("lines applied: 2\n"), std::string::npos) << applied.out;

  // The even-odd rule over all rings of a feature, edges crossed to the east.
  const auto inside = [&](double x, double y) {
    for (const auto& country : countries) {
      bool odd = false;
      for (const auto& part : country) {
        for (const auto& ring : part) {
          for (std::size_t v = 1; v < ring.size(); ++v) {
            const auto [x0, y0] = ring[v - 1];
            const auto [x1, y1] = ring[v];
            if ((y0 > y) != (y1 > y) && x0 + (y - y0) / (y1 - y0) * (x1 - x0) > x) odd = !odd;
          }
        }
      }
      if (odd) return true;
    }
    return false;
  };
  int64_t set = 0;
  for (const int32_t lon : {5, 6}) {
    for (const int32_t lat : {49, 50}) {
      const std::string was = before.at("KAVLIN/E00" + std::to_string(lon) + "/" + kavlin::TILE_NAME(lon, lat));
      const std::string now = tile_bytes(lon, lat);
      const int32_t columns = columns_of(lat), length = record_length_of(lat);
      const double spacing = lat >= 50 ? 6.0 : 3.0;
      for (std::size_t at = 0; at + 1 < now.size(); at += 2) {
        const auto record = static_cast<int32_t>(at / static_cast<std::size_t>(length)) + 1;
        const Point p = stored_point(record, static_cast<int32_t>(at % static_cast<std::size_t>(length)) / 2, columns);
        const double x = lon + p.second * spacing / 3600.0, y = lat + p.first * 3.0 / 3600.0;
        const uint16_t old_word = static_cast<uint8_t>(was[at]) | static_cast<uint8_t>(was[at + 1]) << 8;
        const uint16_t new_word = static_cast<uint8_t>(now[at]) | static_cast<uint8_t>(now[at + 1]) << 8;
        const uint16_t expected = inside(x, y) ? (old_word | 0x0008) : old_word;
        ASSERT_EQ(new_word, expected) << kavlin::TILE_NAME(lon, lat) << " at " << x << " " << y;
        set += new_word != old_word;
      }
    }
  }
  EXPECT_GT(set, 100000);
  const auto after = db_.snapshot();
  const ProcessResult undo = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--undo"});
  ASSERT_EQ(undo.exit_status, 0) << undo.err;
  EXPECT_TRUE(db_.snapshot() == before);

  // The whole layer as one areas file: the same words.
  const ProcessResult one = run(KAVLIN_POLYGON_BIN, {"--each", "layer", "--one-file", "--set", "town", "countries.geojson"});
  ASSERT_EQ(one.exit_status, 0) << one.err;
  EXPECT_EQ(read_file(work() / "layer" / "batch.txt"), "--set town --area areas.txt 0\n--set town --area areas.txt 1\n");
  EXPECT_FALSE(std::filesystem::exists(work() / "layer" / "0.txt"));
  ASSERT_EQ(run(KAVLIN_APPLY_BIN, {"--drive", "C", "--batch", "layer/batch.txt"}).exit_status, 0);
  EXPECT_TRUE(db_.snapshot() == after);
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
