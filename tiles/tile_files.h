// Tile files and grid addressing: where a tile lives, its name, its block
// records and which bytes of which record hold which grid point.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

inline constexpr int32_t BLOCKS_PER_SIDE = 12;     // bands i and block columns j
inline constexpr int32_t RECORDS_PER_TILE = 144;   // (i - 1) * 12 + j
inline constexpr int32_t ROWS_PER_BLOCK = 101;     // rows l, south to north
inline constexpr int32_t COLUMNS_3S = 101;         // columns k of a 3-second tile
inline constexpr int32_t COLUMNS_6S = 51;          // columns k of a 6-second tile
inline constexpr int32_t RECORD_LENGTH_3S = 20402; // bytes
inline constexpr int32_t RECORD_LENGTH_6S = 10302; // bytes
inline constexpr int32_t SIX_SECOND_FROM_LAT = 50; // tiles from N50 on are 6-second
inline constexpr std::size_t TILE_NAME_LENGTH = 11;
inline constexpr std::size_t TILE_PATH_LENGTH = 26;

// Flag masks of the grid word, bits 0 to 4.
inline constexpr uint16_t FLAG_SEA = 0x0001;
inline constexpr uint16_t FLAG_INLAND_WATER = 0x0002;
inline constexpr uint16_t FLAG_COASTAL_AREA = 0x0004;
inline constexpr uint16_t FLAG_TOWN = 0x0008;
inline constexpr uint16_t FLAG_TREES = 0x0010;

// A modification kind 1..10: odd kinds OR the flag in, even kinds AND it out.
struct KindOperation {
  bool set;        // true: word | mask; false: word & mask
  uint16_t mask;   // the OR mask (0x0001..) or the AND mask (0xFFFE..)
};
// The bits of a grid word that the kinds set and clear: bit (kind - 1) / 2
// (sea, inland water, coastal area, town, trees).
inline constexpr uint16_t FLAG_BITS = 0x001F;
// The operation of kind 1..10; empty for any other number.
std::optional<KindOperation> kind_operation(int32_t kind);
inline uint16_t apply_kind(KindOperation op, uint16_t word) {
  return op.set ? static_cast<uint16_t>(word | op.mask) : static_cast<uint16_t>(word & op.mask);
}

// Tile spacing: 3 or 6 arc-seconds in longitude.
struct TileOrigin {
  int32_t LON_DEG = 0;
  int32_t LAT_DEG = 0;
  int32_t spacing = 3;  // seconds
  int32_t columns() const { return spacing == 3 ? COLUMNS_3S : COLUMNS_6S; }
  int32_t record_length() const { return spacing == 3 ? RECORD_LENGTH_3S : RECORD_LENGTH_6S; }
  int32_t words_per_record() const { return ROWS_PER_BLOCK * columns(); }
};

// 11-character name such as E006N49.33M. Degrees that do not fit the
// name's three longitude digits (|LON_DEG| > 999) or two latitude digits
// (LAT_DEG outside 0..99) are written as asterisks, as a fixed-width field
// that overflows is; such a name names no tile (see tile_name_valid).
std::string TILE_NAME(int32_t LON_DEG, int32_t LAT_DEG);
// Whether `name` names a tile: exactly what TILE_NAME gives for the
// degrees it reads (upper case, E or W, digits, the latitude's extension).
// The one check of a tile name.
bool tile_name_valid(const std::string& name);

// The tiles of an extent in list order: longitude degrees from f(LON_MIN)
// to f(LON_MAX) (outer), latitude degrees from f(LAT_MIN) to f(LAT_MAX)
// (inner), f rounding toward minus infinity and then clamping to
// [-clamp, clamp]. Degrees beyond any tile name (|degree| > 999) are
// clamped so that the list stays short and such a tile is named with
// asterisks and fails to open; a listing that also reaches neighbours
// (degree - 1) needs a clamp whose neighbour still names no tile.
struct TileDegrees {
  int32_t LON_DEG = 0;
  int32_t LAT_DEG = 0;
  bool operator==(const TileDegrees&) const = default;
};
inline constexpr int32_t NAME_CLAMP = 1000;             // -1000 and 1000 name no tile
inline constexpr int32_t NEIGHBOUR_CLAMP = 1000000000;  // nor does 1000000000 - 1
std::vector<TileDegrees> extent_tiles(const Extent& extent, int32_t clamp);

// Every tile file of drive `drive`'s database, found from the folder
// listing alone (no file is opened): X:\KAVLIN\<E006>\<E006N49.33M>, each
// name exactly the name of its own degrees (in any case) and in the folder
// of its longitude; longitude first, then latitude, ascending, each tile
// once.
std::vector<TileDegrees> database_tiles(Folders& files, char drive);

// The file errors of tile `name` as the user sees them, caption "Error":
// "Error opening file NAME!", "Error reading record of file NAME!" and
// "Error writing record of file NAME!".
Notice tile_open_error(const std::string& name);
Notice tile_read_error(const std::string& name);
Notice tile_write_error(const std::string& name);

// 26-character path: drive, ":\KAVLIN\", the name's first four
// characters, "\", the name. Example C:\KAVLIN\E006\E006N49.33M.
std::string TILE_PATH(char drive, const std::string& name);

// Degrees and spacing read back from a name.
TileOrigin TILE_ORIGIN(const std::string& name);
// The tile of these degrees with its spacing: 6 seconds from LAT_DEG 50 on,
// 3 seconds below. The one place that decides a tile's spacing.
TileOrigin TILE_ORIGIN(int32_t LON_DEG, int32_t LAT_DEG);

// Grid co-ordinates in double precision, always in this order, so that the
// area test's exact comparisons see the same bits everywhere:
// block origin = DEG + (i - 1) / 12.0, stored as a double; then
// (l - 1) / 1200.0 + origin for latitude, (k - 1) / 1200.0 (3-second) or
// (k - 1) / 600.0 (6-second) + origin for longitude.
double block_origin(int32_t degree, int32_t band_or_column);
double grid_latitude(int32_t LAT_DEG, int32_t i, int32_t l);
double grid_longitude(int32_t LON_DEG, int32_t j, int32_t k, int32_t spacing);

// Record number of block (i, j), and byte offset of word (l, k) in it.
inline int32_t record_number(int32_t i, int32_t j) { return (i - 1) * BLOCKS_PER_SIDE + j; }
inline int32_t word_offset(int32_t l, int32_t k, int32_t columns) { return ((l - 1) * columns + (k - 1)) * 2; }

// A place where a grid word is stored: the tile's degrees, the record and
// the word's row and column in it (all from 1).
struct StoredPlace {
  int32_t LON_DEG = 0;
  int32_t LAT_DEG = 0;
  int32_t record = 0;
  int32_t row = 0;
  int32_t column = 0;
  bool operator==(const StoredPlace&) const = default;
};

// The copies that the neighbouring tiles hold of the word at row `l`,
// column `k` of record `record` of tile `tile`, in the order west, south,
// south-west: a west-edge point (column 1 of a block of column 1) is the
// last column of the same row and band in the tile to the west, record 11
// higher; a south-edge point (row 1 of band 1) is row 101 of the tile to
// the south, record 132 higher, at the same longitude (column 2k - 1 when
// the tile is 6-second and the southern one 3-second, the row at 50
// degrees north); the south-west corner is also the last word of record
// 144 of the tile to the south-west. There is no tile south of the
// equator. Any other word has no copy outside its tile. The one rule of
// the edge copies.
struct EdgeCopies {
  int32_t count = 0;
  std::array<StoredPlace, 3> places{};
  const StoredPlace* begin() const { return places.data(); }
  const StoredPlace* end() const { return places.data() + count; }
};
inline EdgeCopies edge_copies(const TileOrigin& tile, int32_t record, int32_t l, int32_t k) {
  EdgeCopies copies;
  const bool west = k == 1 && (record - 1) % BLOCKS_PER_SIDE == 0;
  const bool south = l == 1 && record <= BLOCKS_PER_SIDE && tile.LAT_DEG - 1 >= 0;
  if (west) copies.places[copies.count++] = {tile.LON_DEG - 1, tile.LAT_DEG, record + 11, l, tile.columns()};
  if (!south) return copies;
  const TileOrigin below = TILE_ORIGIN(tile.LON_DEG, tile.LAT_DEG - 1);
  const int32_t column = tile.spacing == 6 && below.spacing == 3 ? 2 * k - 1 : k;
  copies.places[copies.count++] = {tile.LON_DEG, tile.LAT_DEG - 1, record + 132, ROWS_PER_BLOCK, column};
  if (west) {
    copies.places[copies.count++] = {tile.LON_DEG - 1, tile.LAT_DEG - 1, RECORDS_PER_TILE, ROWS_PER_BLOCK,
                                     below.columns()};
  }
  return copies;
}

// Little-endian grid words, whatever the host.
inline uint16_t get_word(std::span<const uint8_t> record, int32_t offset) {
  return static_cast<uint16_t>(record[offset] | (record[offset + 1] << 8));
}
inline void put_word(std::span<uint8_t> record, int32_t offset, uint16_t word) {
  record[offset] = static_cast<uint8_t>(word & 0xFF);
  record[offset + 1] = static_cast<uint8_t>(word >> 8);
}

// Tile file access through the file services. A tile is opened as an
// existing file for reading and writing, never created. Each returns 0 on
// success, non-zero on failure; a name that names no tile fails to open
// without touching the file system.
// With `read_only` the tile is opened for reading only (a dry run, an
// export): read-only tiles and media do.
int32_t OPEN_TILE(RecordFiles& files, int32_t& unit, const std::string& path, int32_t record_length,
                  bool read_only = false);
int32_t READ_BLOCK(RecordFiles& files, int32_t unit, int32_t record, std::span<uint8_t> buffer);
int32_t WRITE_BLOCK(RecordFiles& files, int32_t unit, int32_t record, std::span<const uint8_t> buffer);
void CLOSE_TILE(RecordFiles& files, int32_t unit);

}  // namespace kavlin
