#include "tiles/tile_grid.h"

#include <algorithm>
#include <cmath>

#include "base/ascii_text.h"

namespace kavlin {

GeoTransform tile_geotransform(const TileOrigin& origin) {
  const double dx = static_cast<double>(origin.spacing) / 3600.0;
  const double dy = -3.0 / 3600.0;
  return GeoTransform{{static_cast<double>(origin.LON_DEG) - dx / 2.0, dx, 0.0,
                       static_cast<double>(origin.LAT_DEG) + 1.0 - dy / 2.0, 0.0, dy}};
}

std::string normalise_tile_name(const std::string& text) {
  if (text.size() != TILE_NAME_LENGTH) return {};
  std::string name = text;
  for (char& ch : name) ch = ascii_upper(ch);
  if (name[0] != 'E' && name[0] != 'W') return {};
  for (const std::size_t at : {1u, 2u, 3u, 5u, 6u}) {
    if (!std::isdigit(static_cast<unsigned char>(name[at]))) return {};
  }
  const TileOrigin origin = TILE_ORIGIN(name);
  // W000 is no tile (longitude -0 is E000), and the extension must match
  // the latitude.
  return TILE_NAME(origin.LON_DEG, origin.LAT_DEG) == name ? name : std::string();
}

bool read_tile_grid(FileServices& files, char drive, const std::string& name, TileGrid& grid, Notice& notice) {
  const TileOrigin origin = TILE_ORIGIN(name);
  const int32_t columns = origin.columns();
  int32_t unit = 0;
  if (OPEN_TILE(files, unit, TILE_PATH(drive, name), origin.record_length(), true) != 0) {
    notice = {"Error opening file " + name + "!", "Error"};
    return false;
  }
  grid.name = name;
  grid.origin = origin;
  grid.width = grid_width(origin);
  grid.height = GRID_ROWS;
  grid.words.assign(static_cast<std::size_t>(grid.width) * GRID_ROWS, 0);

  std::vector<uint8_t> record(static_cast<std::size_t>(origin.record_length()));
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      if (READ_BLOCK(files, unit, record_number(i, j), record) != 0) {
        CLOSE_TILE(files, unit);
        notice = {"Error reading record of file " + name + "!", "Error"};
        return false;
      }
      // Rows 1..100 and columns 1..columns-1 of each block, plus the last
      // row in band 12 and the last column in block column 12: every
      // full-grid point exactly once.
      const int32_t last_l = i == BLOCKS_PER_SIDE ? ROWS_PER_BLOCK : ROWS_PER_BLOCK - 1;
      const int32_t last_k = j == BLOCKS_PER_SIDE ? columns : columns - 1;
      for (int32_t l = 1; l <= last_l; ++l) {
        const std::size_t row = static_cast<std::size_t>(GRID_ROWS - 1 - grid_row(i, l));
        for (int32_t k = 1; k <= last_k; ++k) {
          grid.words[row * static_cast<std::size_t>(grid.width) + static_cast<std::size_t>(grid_column(j, k, columns))] =
              get_word(record, word_offset(l, k, columns));
        }
      }
    }
  }
  CLOSE_TILE(files, unit);
  return true;
}

std::vector<std::string> tiles_of_extent(const Extent& extent) {
  // Degrees beyond any tile name are clamped to one that overflows the
  // name's digits, so such a tile is named with asterisks and fails to open.
  auto degree = [](double coordinate) {
    const double d = std::floor(coordinate);
    return static_cast<int32_t>(std::fmax(-1000.0, std::fmin(1000.0, d)));
  };
  std::vector<std::string> names;
  for (int32_t lon = degree(extent.LON_MIN); lon <= degree(extent.LON_MAX); ++lon) {
    for (int32_t lat = degree(extent.LAT_MIN); lat <= degree(extent.LAT_MAX); ++lat) names.push_back(TILE_NAME(lon, lat));
  }
  return names;
}

}  // namespace kavlin
