#include "tiles/tile_files.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "base/ascii_text.h"
#include "base/database_folder.h"

namespace kavlin {

std::optional<KindOperation> kind_operation(int32_t kind) {
  if (kind < 1 || kind > 10) return std::nullopt;
  const uint16_t bit = static_cast<uint16_t>(1u << ((kind - 1) / 2));
  if (kind % 2 == 1) return KindOperation{true, bit};
  return KindOperation{false, static_cast<uint16_t>(~bit & 0xFFFFu)};
}

namespace {

// Writes `value` right-aligned with leading zeros into `width` characters
// at `at`; a value that does not fit (or is negative) fills the field with
// asterisks.
void put_digits(std::string& text, std::size_t at, std::size_t width, int64_t value) {
  int64_t limit = 1;
  for (std::size_t n = 0; n < width; ++n) limit *= 10;
  if (value < 0 || value >= limit) {
    for (std::size_t n = 0; n < width; ++n) text[at + n] = '*';
    return;
  }
  for (std::size_t n = width; n-- > 0;) {
    text[at + n] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

std::string TILE_NAME(int32_t LON_DEG, int32_t LAT_DEG) {
  std::string name = "E000N00.33m";
  const int64_t lon = LON_DEG;
  name[0] = lon < 0 ? 'W' : 'E';
  put_digits(name, 1, 3, lon < 0 ? -lon : lon);
  put_digits(name, 5, 2, LAT_DEG);
  name.replace(8, 3, TILE_ORIGIN(LON_DEG, LAT_DEG).spacing == 6 ? "63M" : "33M");
  return name;
}

bool tile_name_valid(const std::string& name) {
  if (name.size() != TILE_NAME_LENGTH || (name[0] != 'E' && name[0] != 'W')) return false;
  for (const std::size_t at : {1u, 2u, 3u, 5u, 6u}) {
    if (!is_digit(name[at])) return false;
  }
  // W000 is no tile (longitude -0 is E000), and the extension must match
  // the latitude.
  const TileOrigin origin = TILE_ORIGIN(name);
  return TILE_NAME(origin.LON_DEG, origin.LAT_DEG) == name;
}

std::vector<TileDegrees> extent_tiles(const Extent& extent, int32_t clamp) {
  const auto degree = [limit = static_cast<double>(clamp)](double coordinate) {
    return static_cast<int32_t>(std::fmax(-limit, std::fmin(limit, std::floor(coordinate))));
  };
  std::vector<TileDegrees> tiles;
  for (int32_t lon = degree(extent.LON_MIN); lon <= degree(extent.LON_MAX); ++lon) {
    for (int32_t lat = degree(extent.LAT_MIN); lat <= degree(extent.LAT_MAX); ++lat) tiles.push_back({lon, lat});
  }
  return tiles;
}

std::vector<TileDegrees> database_tiles(Folders& files, char drive) {
  const auto upper = [](std::string text) {
    for (char& c : text) c = ascii_upper(c);
    return text;
  };
  std::vector<TileDegrees> tiles;
  const std::string root = database_root(drive);
  std::vector<std::string> folders;
  DirEntry entry;
  int32_t handle = 0;
  while (files.NEXT_DIR_ENTRY(root + "*.*", entry, handle)) {
    if (entry.is_directory && entry.name.size() == 4) folders.push_back(entry.name);
  }
  for (const std::string& folder : folders) {
    int32_t inner = 0;
    while (files.NEXT_DIR_ENTRY(root + folder + "\\*.*", entry, inner)) {
      if (entry.is_directory || entry.name.size() != TILE_NAME_LENGTH) continue;
      const std::string name = upper(entry.name);
      if (!tile_name_valid(name) || name.substr(0, 4) != upper(folder)) continue;
      const TileOrigin origin = TILE_ORIGIN(name);
      tiles.push_back({origin.LON_DEG, origin.LAT_DEG});
    }
  }
  const auto key = [](const TileDegrees& t) { return std::make_pair(t.LON_DEG, t.LAT_DEG); };
  std::sort(tiles.begin(), tiles.end(), [&](const TileDegrees& a, const TileDegrees& b) { return key(a) < key(b); });
  tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
  return tiles;
}

Notice tile_open_error(const std::string& name) { return {"Error opening file " + name + "!", "Error"}; }
Notice tile_read_error(const std::string& name) { return {"Error reading record of file " + name + "!", "Error"}; }
Notice tile_write_error(const std::string& name) { return {"Error writing record of file " + name + "!", "Error"}; }

std::string TILE_PATH(char drive, const std::string& name) {
  std::string path = database_root(drive);
  path += name.substr(0, 4);
  path += '\\';
  path += name;
  return path;
}

namespace {

int32_t read_digits(const std::string& name, std::size_t at, std::size_t width) {
  int32_t value = 0;
  for (std::size_t n = 0; n < width && at + n < name.size(); ++n) {
    const char c = name[at + n];
    if (!is_digit(c)) return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

TileOrigin TILE_ORIGIN(const std::string& name) {
  int32_t lon = read_digits(name, 1, 3);
  if (!name.empty() && name[0] == 'W') lon = -lon;
  return TILE_ORIGIN(lon, read_digits(name, 5, 2));
}

TileOrigin TILE_ORIGIN(int32_t LON_DEG, int32_t LAT_DEG) {
  return TileOrigin{LON_DEG, LAT_DEG, LAT_DEG >= SIX_SECOND_FROM_LAT ? 6 : 3};
}

double block_origin(int32_t degree, int32_t band_or_column) {
  const double origin = static_cast<double>(degree) + static_cast<double>(band_or_column - 1) / 12.0;
  return origin;
}

double grid_latitude(int32_t LAT_DEG, int32_t i, int32_t l) {
  const double origin = block_origin(LAT_DEG, i);
  return static_cast<double>(l - 1) / 1200.0 + origin;
}

double grid_longitude(int32_t LON_DEG, int32_t j, int32_t k, int32_t spacing) {
  const double origin = block_origin(LON_DEG, j);
  const double step = spacing == 3 ? 1200.0 : 600.0;
  return static_cast<double>(k - 1) / step + origin;
}

int32_t OPEN_TILE(RecordFiles& files, int32_t& unit, const std::string& path, int32_t record_length,
                  bool read_only) {
  // The name is the last 11 characters of the path; a name with asterisks
  // names no tile and is never looked for.
  if (path.size() < TILE_NAME_LENGTH || !tile_name_valid(path.substr(path.size() - TILE_NAME_LENGTH))) {
    return 1;
  }
  return read_only ? files.OPEN_RECORD_FILE_READ(path, record_length, unit)
                   : files.OPEN_RECORD_FILE(path, record_length, unit);
}

int32_t READ_BLOCK(RecordFiles& files, int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  return files.READ_RECORD(unit, record, buffer);
}

int32_t WRITE_BLOCK(RecordFiles& files, int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  return files.WRITE_RECORD(unit, record, buffer);
}

void CLOSE_TILE(RecordFiles& files, int32_t unit) { files.CLOSE_FILE(unit); }

}  // namespace kavlin
