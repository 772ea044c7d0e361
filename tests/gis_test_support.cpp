#include "tests/gis_test_support.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <memory>
#include <sstream>

namespace kavlin::testing {

namespace fs = std::filesystem;

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

Point stored_point(int32_t record, int32_t index, int32_t columns) {
  const int32_t i = (record - 1) / 12 + 1, j = (record - 1) % 12 + 1;
  const int32_t l = index / columns + 1, k = index % columns + 1;
  return {(i - 1) * 100 + (l - 1), (j - 1) * (columns - 1) + (k - 1)};
}

int32_t columns_of(int32_t lat) { return lat >= 50 ? 51 : 101; }
int32_t record_length_of(int32_t lat) { return lat >= 50 ? 10302 : 20402; }

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

std::set<Point> marked_points(const Raster& a, const Raster* b) {
  std::set<Point> points;
  for (int32_t r = 0; r < a.height; ++r) {
    for (int32_t c = 0; c < a.width; ++c) {
      if (b ? a.at(c, r) != b->at(c, r) : a.at(c, r) != 0) points.insert({r, c});
    }
  }
  return points;
}

uint16_t position_word(int32_t lon, int32_t lat, Point p) {
  const uint32_t h = static_cast<uint32_t>(p.first * 7919 + p.second * 104729 + lon * 31 + lat * 17) * 2654435761u;
  return static_cast<uint16_t>(((h >> 11) & 0xFFE0) | ((h >> 5) & 0x1F));
}
TileDb::WordFill position_fill(int32_t lon, int32_t lat) {
  return [lon, lat](int32_t record, int32_t word) {
    return position_word(lon, lat, stored_point(record, word, columns_of(lat)));
  };
}

ProcessResult gdal_tool(const char* tool, const std::vector<std::string>& args, const fs::path& cwd) {
  if (std::string(tool).empty()) {
    ADD_FAILURE() << "gdalinfo or ogrinfo was not found when the tests were configured (install gdal-bin)";
    return {};
  }
  return run_program(tool, args, cwd);
}

std::vector<std::string> lines_from(const std::string& text, const std::string& first, std::size_t count) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line) && lines.size() < count;) {
    line.erase(0, line.find_first_not_of(' '));
    if (!lines.empty() || line == first) lines.push_back(line);
  }
  return lines;
}

void make_gpkg(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& features,
               int epsg, bool second_layer) {
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

}  // namespace kavlin::testing
