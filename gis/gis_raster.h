// GeoTIFF and VRT writing through GDAL: a tile's grid words as a UInt16
// raster, its land-cover flags as a paletted one-byte raster, a change
// mask, a VRT mosaic of several tiles and a Cloud-Optimised GeoTIFF of a
// mosaic. Every raster is EPSG:4326 with the georeferencing of
// tile_geotransform (pixel centres on grid points).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tiles/tile_files.h"
#include "tiles/tile_grid.h"
#include "base/flag_palette.h"

namespace kavlin::gis {

// Registers GDAL's drivers once and routes GDAL's own error messages into
// last_gdal_error() instead of standard error.
void init_gdal();
std::string last_gdal_error();
void clear_gdal_error();

// Flag classes of the paletted flags raster and their colours: those of
// base/flag_palette.h.
using kavlin::CLASS_NONE;
using kavlin::CLASS_SEA;
using kavlin::CLASS_INLAND_WATER;
using kavlin::CLASS_COASTAL_AREA;
using kavlin::CLASS_TOWN;
using kavlin::CLASS_TREES;
using kavlin::flag_class;

// What a band of the words or the flags rasters says of itself in GIS
// tools: its description (for the words, which bit is which flag) and,
// for the flags, the name of each class value.
struct BandLabels {
  std::string description;
  std::vector<std::string> categories;
};
BandLabels words_labels();
BandLabels flags_labels();

// Each returns an empty text on success, otherwise what went wrong.
std::string write_words_tiff(const std::string& path, const TileGrid& grid);
std::string write_flags_tiff(const std::string& path, const TileGrid& grid);
// `mask` in raster order, one byte per grid point (0 or 1); value 0 is
// shown transparent, 1 red.
std::string write_mask_tiff(const std::string& path, const TileOrigin& origin, const std::vector<uint8_t>& mask);
// A VRT over `sources` (all of one spacing, so that their pixels line up),
// its band labelled as they are.
std::string write_vrt(const std::string& path, const std::vector<std::string>& sources, const BandLabels& labels);
// The raster `source` (a mosaic) as one Cloud-Optimised GeoTIFF: tiled,
// deflated, with overviews made by taking one grid point (never a blend:
// a grid word or a class is no quantity to average).
std::string write_cog(const std::string& path, const std::string& source);

}  // namespace kavlin::gis
