#include "gis/gis_raster.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <memory>
#include <mutex>

namespace kavlin::gis {

namespace {

std::string& error_text() {
  static std::string text;
  return text;
}

void CPL_STDCALL keep_error(CPLErr level, CPLErrorNum, const char* message) {
  if (level >= CE_Failure) error_text() = message ? message : "";
}

struct DatasetClose {
  void operator()(GDALDataset* ds) const { GDALClose(GDALDataset::ToHandle(ds)); }
};
using DatasetPtr = std::unique_ptr<GDALDataset, DatasetClose>;

std::string failure(const std::string& what, const std::string& path) {
  std::string text = what + " " + path;
  if (!error_text().empty()) text += ": " + error_text();
  return text;
}

// A new single-band GeoTIFF with the tile's georeferencing.
DatasetPtr create_tiff(const std::string& path, const TileOrigin& origin, int32_t width, GDALDataType type) {
  error_text().clear();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
  if (driver == nullptr) return nullptr;
  CPLStringList options;
  options.SetNameValue("COMPRESS", "DEFLATE");
  options.SetNameValue("PREDICTOR", type == GDT_UInt16 ? "2" : "1");
  DatasetPtr ds(driver->Create(path.c_str(), width, GRID_ROWS, 1, type, options.List()));
  if (!ds) return nullptr;
  GeoTransform gt = tile_geotransform(origin);
  OGRSpatialReference srs;
  srs.importFromEPSG(4326);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (ds->SetGeoTransform(gt.values) != CE_None || ds->SetSpatialRef(&srs) != CE_None) return nullptr;
  return ds;
}

std::string write_band(DatasetPtr ds, const std::string& path, int32_t width, GDALDataType type, const void* data) {
  GDALRasterBand* band = ds->GetRasterBand(1);
  if (band->RasterIO(GF_Write, 0, 0, width, GRID_ROWS, const_cast<void*>(data), width, GRID_ROWS, type, 0, 0) !=
      CE_None) {
    return failure("cannot write", path);
  }
  // Closing writes the file out; a failure shows only there.
  error_text().clear();
  GDALClose(GDALDataset::ToHandle(ds.release()));
  if (!error_text().empty()) return failure("cannot write", path);
  return {};
}

void set_colour(GDALColorTable& table, int index, short r, short g, short b, short a = 255) {
  const GDALColorEntry entry{r, g, b, a};
  table.SetColorEntry(index, &entry);
}

void label_band(GDALRasterBand* band, const BandLabels& labels) {
  band->SetDescription(labels.description.c_str());
  if (labels.categories.empty()) return;
  CPLStringList names;
  for (const std::string& name : labels.categories) names.AddString(name.c_str());
  band->SetCategoryNames(names.List());
}

}  // namespace

void init_gdal() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDALAllRegister();
    CPLSetErrorHandler(keep_error);
  });
}

std::string last_gdal_error() { return error_text(); }

void clear_gdal_error() { error_text().clear(); }

BandLabels words_labels() {
  std::string text = "grid word:";
  for (std::size_t bit = 0; bit + 1 < FLAG_CLASS_NAMES.size(); ++bit) {
    text += (bit ? ", bit " : " bit ") + std::to_string(bit) + " " + FLAG_CLASS_NAMES[bit + 1];
  }
  text += " (1 where present); bits 5 to 15 other data";
  return {text, {}};
}

BandLabels flags_labels() {
  BandLabels labels;
  labels.description = "land cover (first flag of";
  for (std::size_t c = CLASS_SEA; c < FLAG_CLASS_NAMES.size(); ++c) {
    labels.description += (c == CLASS_SEA ? " " : ", ") + std::string(FLAG_CLASS_NAMES[c]);
  }
  labels.description += ")";
  labels.categories.assign(FLAG_CLASS_NAMES.begin(), FLAG_CLASS_NAMES.end());
  return labels;
}

std::string write_words_tiff(const std::string& path, const TileGrid& grid) {
  DatasetPtr ds = create_tiff(path, grid.origin, grid.width, GDT_UInt16);
  if (!ds) return failure("cannot create", path);
  label_band(ds->GetRasterBand(1), words_labels());
  return write_band(std::move(ds), path, grid.width, GDT_UInt16, grid.words.data());
}

std::string write_flags_tiff(const std::string& path, const TileGrid& grid) {
  DatasetPtr ds = create_tiff(path, grid.origin, grid.width, GDT_Byte);
  if (!ds) return failure("cannot create", path);
  std::vector<uint8_t> classes(grid.words.size());
  for (std::size_t n = 0; n < classes.size(); ++n) classes[n] = flag_class(grid.words[n]);

  GDALRasterBand* band = ds->GetRasterBand(1);
  GDALColorTable colours;
  for (int c = CLASS_NONE; c <= CLASS_TREES; ++c) {
    const FlagColour& rgb = FLAG_PALETTE[static_cast<std::size_t>(c)];
    set_colour(colours, c, rgb.r, rgb.g, rgb.b);
  }
  band->SetColorTable(&colours);
  band->SetColorInterpretation(GCI_PaletteIndex);
  label_band(band, flags_labels());
  return write_band(std::move(ds), path, grid.width, GDT_Byte, classes.data());
}

std::string write_mask_tiff(const std::string& path, const TileOrigin& origin, const std::vector<uint8_t>& mask) {
  const int32_t width = grid_width(origin);
  DatasetPtr ds = create_tiff(path, origin, width, GDT_Byte);
  if (!ds) return failure("cannot create", path);
  GDALRasterBand* band = ds->GetRasterBand(1);
  GDALColorTable colours;
  set_colour(colours, 0, 0, 0, 0, 0);
  set_colour(colours, 1, 255, 0, 0);
  band->SetColorTable(&colours);
  band->SetColorInterpretation(GCI_PaletteIndex);
  band->SetDescription("grid word would change");
  return write_band(std::move(ds), path, width, GDT_Byte, mask.data());
}

std::string write_vrt(const std::string& path, const std::vector<std::string>& sources, const BandLabels& labels) {
  error_text().clear();
  std::vector<const char*> names;
  for (const std::string& s : sources) names.push_back(s.c_str());
  GDALBuildVRTOptions* options = GDALBuildVRTOptionsNew(nullptr, nullptr);
  int usage_error = FALSE;
  GDALDatasetH vrt = GDALBuildVRT(path.c_str(), static_cast<int>(names.size()), nullptr, names.data(), options,
                                  &usage_error);
  GDALBuildVRTOptionsFree(options);
  if (vrt == nullptr) return failure("cannot build", path);
  // The mosaic keeps its sources' colour table, not their labels.
  label_band(GDALDataset::FromHandle(vrt)->GetRasterBand(1), labels);
  error_text().clear();
  GDALClose(vrt);
  if (!error_text().empty()) return failure("cannot write", path);
  return {};
}

std::string write_cog(const std::string& path, const std::string& source) {
  error_text().clear();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("COG");
  if (driver == nullptr) return "cannot write " + path + ": this GDAL has no COG driver";
  const DatasetPtr mosaic(GDALDataset::Open(source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  if (!mosaic) return failure("cannot read", source);
  const bool words = mosaic->GetRasterBand(1)->GetRasterDataType() == GDT_UInt16;
  CPLStringList options;
  options.SetNameValue("COMPRESS", "DEFLATE");
  options.SetNameValue("PREDICTOR", words ? "YES" : "NO");
  options.SetNameValue("RESAMPLING", "NEAREST");
  DatasetPtr cog(driver->CreateCopy(path.c_str(), mosaic.get(), FALSE, options.List(), nullptr, nullptr));
  if (!cog) return failure("cannot write", path);
  error_text().clear();
  GDALClose(GDALDataset::ToHandle(cog.release()));
  if (!error_text().empty()) return failure("cannot write", path);
  return {};
}

}  // namespace kavlin::gis
