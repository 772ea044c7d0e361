// Shared pieces of the GIS tool tests: rasters read back with GDAL's own
// API, the full-grid points of stored words, a word per grid position,
// GDAL's own command-line tools, GeoPackages made with OGR, and the test
// on a tile database with a working folder for the child processes.
#pragma once

#include <gtest/gtest.h>

#include <gdal_priv.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"

namespace kavlin::testing {

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

Raster load_raster(const std::filesystem::path& path);

// The full-grid point of stored word `index` (from 0) of record `record`.
Point stored_point(int32_t record, int32_t index, int32_t columns);

int32_t columns_of(int32_t lat);
int32_t record_length_of(int32_t lat);

// Full-grid points with at least one stored copy that differs between two
// versions of a tile file.
std::set<Point> changed_points(const std::string& before, const std::string& after, int32_t lat);

// Points whose pixel differs between two rasters, or (one raster) is not 0.
std::set<Point> marked_points(const Raster& a, const Raster* b = nullptr);

// A word per grid position with every flag combination, the same in every
// stored copy of a point.
uint16_t position_word(int32_t lon, int32_t lat, Point p);
TileDb::WordFill position_fill(int32_t lon, int32_t lat);

class GisTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(work()); }
  std::filesystem::path work() const { return dir_ / "work"; }
  std::filesystem::path out() const { return dir_ / "out"; }
  ProcessResult run(const char* program, const std::vector<std::string>& args) {
    return run_program(program, args, work());
  }
  std::string tile_bytes(int32_t lon, int32_t lat) const { return read_file(db_.tile_file(lon, lat)); }

  TileDb db_;  // drive C through KAVLIN_DRIVES, inherited by the children
  TempDir dir_;
};

// GDAL's own command-line tools, found at configure time (package gdal-bin).
ProcessResult gdal_tool(const char* tool, const std::vector<std::string>& args, const std::filesystem::path& cwd);

// The lines of `text` from the one starting with `first` on, `count` of
// them, each without its leading blanks.
std::vector<std::string> lines_from(const std::string& text, const std::string& first, std::size_t count);

// A GeoPackage built with OGR: layer "areas" (EPSG:4326, field "name") with
// the given features as WKT, optionally a second layer.
void make_gpkg(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& features,
               int epsg = 4326, bool second_layer = false);

}  // namespace kavlin::testing
