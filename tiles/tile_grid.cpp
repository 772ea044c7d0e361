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
  std::string name = text;
  for (char& ch : name) ch = ascii_upper(ch);
  return tile_name_valid(name) ? name : std::string();
}

bool read_tile_grid(FileServices& files, char drive, const std::string& name, TileGrid& grid, Notice& notice) {
  const TileOrigin origin = TILE_ORIGIN(name);
  const int32_t columns = origin.columns();
  int32_t unit = 0;
  if (OPEN_TILE(files, unit, TILE_PATH(drive, name), origin.record_length(), true) != 0) {
    notice = tile_open_error(name);
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
        notice = tile_read_error(name);
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
  std::vector<std::string> names;
  for (const TileDegrees& tile : extent_tiles(extent, NAME_CLAMP)) names.push_back(TILE_NAME(tile.LON_DEG, tile.LAT_DEG));
  return names;
}

}  // namespace kavlin
