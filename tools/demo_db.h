// The demo database: a few tile files with plausible land-cover patterns,
// generated from a function of the geographic position so that every grid
// point stored more than once (block edges, tile edges, the 50-degree row)
// holds the same word in every copy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tiles/tile_writer.h"

namespace kavlin::demo {

// A grid word as a function of the grid point's position in whole
// arc-seconds (east and north positive).
using WordFunction = std::function<uint16_t(int32_t lon_sec, int32_t lat_sec)>;

// Position of grid point (l, k) of block (i, j) of tile (LON_DEG, LAT_DEG)
// in whole arc-seconds; spacing is the tile's longitude spacing (3 or 6).
inline int32_t grid_lon_sec(int32_t LON_DEG, int32_t j, int32_t k, int32_t spacing) {
  return LON_DEG * 3600 + (j - 1) * 300 + (k - 1) * spacing;
}
inline int32_t grid_lat_sec(int32_t LAT_DEG, int32_t i, int32_t l) { return LAT_DEG * 3600 + (i - 1) * 300 + (l - 1) * 3; }

// The demo database's grid word at a position: land-cover flags in bits
// 0..4 (sea to the north-west of a wavy coastline, a coastal strip along
// it, a lake, two towns, forests) and an elevation-like value in bits 5..15.
uint16_t demo_word(int32_t lon_sec, int32_t lat_sec);

// The complete contents (144 records) of tile (LON_DEG, LAT_DEG), each word
// from word_fn. The spacing and record length follow from LAT_DEG.
std::string tile_bytes(int32_t LON_DEG, int32_t LAT_DEG, const WordFunction& word_fn);

// Writes tile_bytes to `path` (write_tile_file: folders created, the file
// created or truncated). Throws std::runtime_error when it cannot be
// written.
void write_tile(const std::filesystem::path& path, int32_t LON_DEG, int32_t LAT_DEG, const WordFunction& word_fn);

// Host path of a tile below a drive root: root/KAVLIN/E006/E006N49.33M.
using kavlin::tile_host_path;

// Tiles of the demo database as (LON_DEG, LAT_DEG), in the order written.
struct TileId {
  int32_t LON_DEG;
  int32_t LAT_DEG;
};
const std::vector<TileId>& demo_tiles();

// Writes the demo tiles below drive_root (drive_root/KAVLIN/E005/... ),
// creating the folders. Returns the host paths written. Throws
// std::runtime_error when a file cannot be written.
std::vector<std::filesystem::path> write_demo_database(const std::filesystem::path& drive_root,
                                                       const WordFunction& word_fn = demo_word);

// Sample polygon files for the editor's polygon mode, below drive_root
// (drive_root/POLYGONS/NEWLAKE.TXT: a new lake in the middle of tile
// E005N49, clear of every tile edge). Returns the host paths written.
// Throws std::runtime_error when a file cannot be written.
std::vector<std::filesystem::path> write_demo_polygons(const std::filesystem::path& drive_root);

// Writes a database of arbitrary tiles below drive_root.
std::vector<std::filesystem::path> write_database(const std::filesystem::path& drive_root,
                                                  const std::vector<TileId>& tiles, const WordFunction& word_fn);

}  // namespace kavlin::demo
