// A tile's full grid as one raster: 1201 rows of 1201 (3-second) or 601
// (6-second) grid points, north row first, read out of the tile's 144
// block records; and the georeferencing that puts each pixel centre on its
// grid point. No GIS library is needed here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tiles/tile_files.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

inline constexpr int32_t GRID_ROWS = 1201;  // every tile, 3 seconds apart

// Points of the full grid in a row of a tile: 1201 or 601.
inline int32_t grid_width(const TileOrigin& origin) { return origin.spacing == 3 ? 1201 : 601; }

// Full-grid indices of the stored point (i, j, l, k).
inline int32_t grid_row(int32_t i, int32_t l) { return (i - 1) * (ROWS_PER_BLOCK - 1) + (l - 1); }
inline int32_t grid_column(int32_t j, int32_t k, int32_t columns) { return (j - 1) * (columns - 1) + (k - 1); }

// Georeferencing in GDAL's geotransform order: origin x, pixel width, 0,
// origin y, 0, pixel height (negative). Pixel centres lie exactly on the
// grid points: the west edge of column 0 half a pixel west of LON_DEG,
// the north edge of row 0 half a pixel north of LAT_DEG + 1:
// x = LON_DEG - dx/2, y = LAT_DEG + 1 - dy/2 with dx = spacing/3600 and
// dy = -3/3600 (so y = LAT_DEG + 1 + 1.5 seconds).
struct GeoTransform {
  double values[6];
};
GeoTransform tile_geotransform(const TileOrigin& origin);

struct TileGrid {
  std::string name;
  TileOrigin origin;
  int32_t width = 0;            // 1201 or 601
  int32_t height = GRID_ROWS;   // 1201
  std::vector<uint16_t> words;  // raster order: row 0 is the north row
  uint16_t at(int32_t r_from_south, int32_t c) const {
    return words[static_cast<std::size_t>(GRID_ROWS - 1 - r_from_south) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(c)];
  }
};

// Upper-cases a tile name and checks it names a tile (E006N49.33M,
// w005n51.63m ...): the name must be exactly what TILE_NAME gives for its
// own degrees. Empty when it is not a tile name.
std::string normalise_tile_name(const std::string& text);

// Reads the whole tile `name` of drive `drive`. A grid point on a block
// edge is stored in two or four records; it is read from the block whose
// south-west part holds it, the one in which it is neither in the last row
// nor in the last column (on the tile's own north row and east column:
// from band 12 and block column 12). On failure returns false
// with the message ("Error opening file NAME!" or "Error reading record of
// file NAME!", caption "Error").
bool read_tile_grid(RecordFiles& files, char drive, const std::string& name, TileGrid& grid, Notice& notice);

// The tiles an area touches, as the engine lists them: longitude degrees
// from f(LON_MIN) to f(LON_MAX) (outer), latitude degrees from f(LAT_MIN)
// to f(LAT_MAX) (inner), f rounding toward minus infinity.
std::vector<std::string> tiles_of_extent(const Extent& extent);

}  // namespace kavlin
