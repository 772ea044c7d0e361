// The round trip through the GIS tools and kavlin-apply, end to end as
// child processes: a GeoPackage area through kavlin-polygon, kavlin-apply
// and kavlin-export, batches from a vector file made one run with
// kavlin-apply --batch and undone, and countries with holes and parts
// whose every stored word is as the even-odd rule says.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <utility>

#include "tests/engine_test_db.h"
#include "tests/gis_test_support.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/tile_files.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace {

// A country's parts, each a list of rings of (lon, lat) vertices.
using Rings = std::vector<std::vector<std::pair<double, double>>>;

// The countries as a GeoJSON feature collection, one multipolygon feature
// each, without the collection's closing "]}".
std::string countries_geojson(const std::vector<std::vector<Rings>>& countries) {
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
  return geojson;
}

// The even-odd rule over all rings of a feature, edges crossed to the east:
// whether (x, y) lies inside one of the countries.
bool even_odd_inside(const std::vector<std::vector<Rings>>& countries, double x, double y) {
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
}

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
  const std::string geojson = countries_geojson(countries);
  write_file(work() / "countries.geojson", geojson + "]}");
  const auto before = db_.snapshot();
  const ProcessResult each = run(KAVLIN_POLYGON_BIN, {"--each", "land", "--set", "town", "countries.geojson"});
  ASSERT_EQ(each.exit_status, 0) << each.err;
  EXPECT_NE(each.out.find("in 4 rings of feature 0"), std::string::npos) << each.out;
  const ProcessResult applied = run(KAVLIN_APPLY_BIN, {"--drive", "C", "--batch", "land/batch.txt"});
  ASSERT_EQ(applied.exit_status, 0) << applied.err;
  EXPECT_NE(applied.out.find("lines applied: 2\n"), std::string::npos) << applied.out;

  const auto inside = [&](double x, double y) { return even_odd_inside(countries, x, y); };
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

}  // namespace
