// kavlin-polygon end to end as a child process, on GeoPackages and GeoJSON
// files made for each test: what it refuses, every double written exactly
// and longitude first, outputs that replace only a regular file and are
// never the source, --list and --fid, and --each with its batch.txt.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "cli/apply_cli.h"
#include "polygon/polygon_reader.h"
#include "tests/gis_test_support.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace {

// Exact text of a double, and back.
double number(std::string_view text) {
  double value = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
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

}  // namespace
