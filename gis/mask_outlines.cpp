#include "gis/mask_outlines.h"

#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <unistd.h>

#include <memory>

#include "base/flag_palette.h"
#include "gis/gis_raster.h"
#include "gis/safe_output.h"
#include "tiles/tile_grid.h"

namespace kavlin::gis {

namespace {

// The outline of one tile's changed points in longitude and latitude: the
// blocks' cells (a cell's edges half a grid step from its point, those of
// the mask raster's pixel), merged into outlines.
std::unique_ptr<OGRGeometry> outline(const ChangeMask& m) {
  const GeoTransform gt = tile_geotransform(m.origin);
  auto x = [&](int32_t c) { return gt.values[0] + c * gt.values[1]; };
  auto y = [&](int32_t r) { return gt.values[3] + r * gt.values[5]; };
  auto cells = std::make_unique<OGRMultiPolygon>();
  for (const CellBlock& b : mask_blocks(m.mask, m.width)) {
    auto ring = std::make_unique<OGRLinearRing>();
    ring->addPoint(x(b.c0), y(b.r0));
    ring->addPoint(x(b.c1), y(b.r0));
    ring->addPoint(x(b.c1), y(b.r1));
    ring->addPoint(x(b.c0), y(b.r1));
    ring->addPoint(x(b.c0), y(b.r0));
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRingDirectly(ring.release());
    cells->addGeometryDirectly(polygon.release());
  }
  // Without GEOS the cells stay apart: the same points, not merged.
  if (!OGRGeometryFactory::haveGEOS()) return cells;
  std::unique_ptr<OGRGeometry> merged(cells->UnionCascaded());
  if (!merged) return cells;
  return std::unique_ptr<OGRGeometry>(OGRGeometryFactory::forceToMultiPolygon(merged.release()));
}

struct DatasetClose {
  void operator()(GDALDataset* ds) const { GDALClose(GDALDataset::ToHandle(ds)); }
};

// What GDAL said about a failure (a failure may come without a message).
std::string gdal_reason() {
  const std::string text = last_gdal_error();
  return text.empty() ? "GDAL gave no reason" : text;
}

std::string change_text(int32_t kind) {
  return std::string(kind % 2 == 1 ? "set " : "clear ") + FLAG_CLASS_NAMES[static_cast<std::size_t>((kind - 1) / 2 + 1)];
}

// Fills the GeoPackage `name` (in memory); an empty text or what failed.
std::string fill_gpkg(const std::string& name, const ChangeMaskResult& masks, int32_t kind) {
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GPKG");
  if (driver == nullptr) return "this GDAL has no GeoPackage driver";
  std::unique_ptr<GDALDataset, DatasetClose> ds(driver->Create(name.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
  if (!ds) return gdal_reason();
  OGRSpatialReference srs;
  srs.importFromEPSG(4326);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  OGRLayer* layer = ds->CreateLayer("masks", &srs, wkbMultiPolygon, nullptr);
  if (layer == nullptr) return gdal_reason();
  const std::pair<const char*, OGRFieldType> fields[] = {{"tile", OFTString},    {"run", OFTInteger},
                                                         {"kind", OFTInteger},   {"change", OFTString},
                                                         {"points", OFTInteger64}, {"words", OFTInteger64}};
  for (const auto& [field_name, type] : fields) {
    OGRFieldDefn field(field_name, type);
    if (layer->CreateField(&field) != OGRERR_NONE) return gdal_reason();
  }
  if (layer->StartTransaction() != OGRERR_NONE) return gdal_reason();
  const std::string change = change_text(kind);
  for (const ChangeMask& m : masks.tiles) {
    const OGRFeatureUniquePtr feature(OGRFeature::CreateFeature(layer->GetLayerDefn()));
    feature->SetField("tile", m.name.c_str());
    feature->SetFieldNull(feature->GetFieldIndex("run"));
    feature->SetField("kind", kind);
    feature->SetField("change", change.c_str());
    feature->SetField("points", static_cast<GIntBig>(m.changed_points));
    feature->SetField("words", static_cast<GIntBig>(m.changed_words));
    std::unique_ptr<OGRGeometry> geometry = outline(m);
    geometry->assignSpatialReference(&srs);
    feature->SetGeometryDirectly(geometry.release());
    if (layer->CreateFeature(feature.get()) != OGRERR_NONE) return gdal_reason();
  }
  if (layer->CommitTransaction() != OGRERR_NONE) return gdal_reason();
  clear_gdal_error();
  ds.reset();  // closing writes the file out
  return last_gdal_error();
}

}  // namespace

std::vector<CellBlock> mask_blocks(const std::vector<uint8_t>& mask, int32_t width) {
  std::vector<CellBlock> done, open, next;
  const int32_t rows = static_cast<int32_t>(mask.size() / static_cast<std::size_t>(width));
  for (int32_t r = 0; r < rows; ++r) {
    const uint8_t* row = mask.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
    next.clear();
    std::size_t o = 0;  // the open blocks, like the runs, go west to east
    for (int32_t c = 0; c < width;) {
      if (row[c] == 0) {
        ++c;
        continue;
      }
      const int32_t c0 = c;
      while (c < width && row[c] != 0) ++c;
      bool joined = false;
      for (; o < open.size() && open[o].c0 <= c0; ++o) {
        if (open[o].c0 == c0 && open[o].c1 == c) {
          next.push_back({c0, c, open[o].r0, r + 1});
          joined = true;
          ++o;
          break;
        }
        done.push_back(open[o]);
      }
      if (!joined) next.push_back({c0, c, r, r + 1});
    }
    done.insert(done.end(), open.begin() + static_cast<std::ptrdiff_t>(o), open.end());
    open.swap(next);
  }
  done.insert(done.end(), open.begin(), open.end());
  return done;
}

std::string write_mask_gpkg(const std::string& path, const ChangeMaskResult& masks, int32_t kind) {
  init_gdal();
  clear_gdal_error();
  const std::string name = "/vsimem/kavlin-masks-" + std::to_string(::getpid()) + ".gpkg";
  std::string error = fill_gpkg(name, masks, kind);
  vsi_l_offset length = 0;
  GByte* bytes = VSIGetMemFileBuffer(name.c_str(), &length, TRUE);
  const bool made = bytes != nullptr;
  const std::string contents = made ? std::string(reinterpret_cast<const char*>(bytes), length) : std::string();
  CPLFree(bytes);
  VSIUnlink(name.c_str());
  if (error.empty() && !made) error = "the GeoPackage was not made";
  if (!error.empty()) return "cannot write " + path + ": " + error;
  if (!write_output_file(path, contents, error)) return "cannot write " + path + ": " + error;
  return {};
}

}  // namespace kavlin::gis
