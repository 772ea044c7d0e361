#include "tools/demo_db.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tiles/tile_files.h"
#include "tiles/tile_writer.h"

namespace kavlin::demo {

namespace {

// Remainder in 0..m-1 whatever the sign of a.
int64_t floor_mod(int64_t a, int64_t m) { return ((a % m) + m) % m; }

// Triangle wave of period p between -a and +a.
int64_t triangle(int64_t s, int64_t p, int64_t a) {
  const int64_t t = floor_mod(s, p);
  const int64_t half = p / 2;
  return (t < half ? t : p - t) * 2 * a / half - a;
}

// Inside the ellipse with centre (cx, cy) and half-axes rx, ry (seconds)?
bool in_ellipse(int64_t x, int64_t y, int64_t cx, int64_t cy, int64_t rx, int64_t ry) {
  const int64_t dx = x - cx;
  const int64_t dy = y - cy;
  return dx * dx * ry * ry + dy * dy * rx * rx <= rx * rx * ry * ry;
}

// The demo area's south-west corner: 5 degrees east, 49 degrees north.
constexpr int64_t ORIGIN_LON_SEC = 5 * 3600;
constexpr int64_t ORIGIN_LAT_SEC = 49 * 3600;

}  // namespace

uint16_t demo_word(int32_t lon_sec, int32_t lat_sec) {
  // Everything is integer arithmetic on whole seconds, so the word is a pure
  // function of the position and identical in every stored copy.
  const int64_t x = static_cast<int64_t>(lon_sec) - ORIGIN_LON_SEC;
  const int64_t y = static_cast<int64_t>(lat_sec) - ORIGIN_LAT_SEC;

  // Coastline: the line y - x = 2400 bent by two triangle waves along it
  // (+-180 and +-60 seconds); positive d lies north-west of it, in the sea.
  const int64_t d = (y - x) - (2400 + triangle(x + y, 1800, 180) + triangle(x + y, 700, 60));

  uint16_t flags = 0;
  const bool sea = d > 0;
  if (sea) flags |= FLAG_SEA;
  if (d > -240 && d <= 180) flags |= FLAG_COASTAL_AREA;

  const bool lake = !sea && in_ellipse(x, y, 4400, 1800, 700, 450);
  if (lake) flags |= FLAG_INLAND_WATER;

  // A port town just inland of the coast, straddling the 50-degree row, and
  // an inland town.
  const bool town = !sea && !lake &&
                    ((std::llabs(x - 1500) <= 450 && std::llabs(y - 3300) <= 360) ||
                     (std::llabs(x - 5400) <= 300 && std::llabs(y - 1200) <= 300));
  if (town) flags |= FLAG_TOWN;

  // Forests, one of them across the 6-degree meridian.
  const bool trees = !sea && !lake && !town &&
                     (in_ellipse(x, y, 6000, 5000, 1000, 1000) || in_ellipse(x, y, 2600, 800, 600, 600) ||
                      in_ellipse(x, y, 3600, 4400, 500, 500));
  if (trees) flags |= FLAG_TREES;

  // Elevation-like value in bits 5..15: zero at sea, a lake level, and on
  // land rising with the distance from the coast plus a small ripple.
  int64_t elevation = 0;
  if (lake) {
    elevation = 150;
  } else if (!sea) {
    const int64_t ripple = floor_mod((x / 60) * 13 + (y / 60) * 7, 23);
    elevation = std::clamp<int64_t>(-d / 6 + ripple, 1, 2047);
  }
  return static_cast<uint16_t>((elevation << 5) | flags);
}

std::string tile_bytes(int32_t LON_DEG, int32_t LAT_DEG, const WordFunction& word_fn) {
  const TileOrigin origin = TILE_ORIGIN(LON_DEG, LAT_DEG);
  const int32_t columns = origin.columns();
  return tile_file_bytes(origin, [&](int32_t record, int32_t word) {
    // Record (i - 1) * 12 + j, word (l - 1) * columns + (k - 1).
    const int32_t i = (record - 1) / BLOCKS_PER_SIDE + 1;
    const int32_t j = (record - 1) % BLOCKS_PER_SIDE + 1;
    const int32_t l = word / columns + 1;
    const int32_t k = word % columns + 1;
    return word_fn(grid_lon_sec(LON_DEG, j, k, origin.spacing), grid_lat_sec(LAT_DEG, i, l));
  });
}

void write_tile(const std::filesystem::path& path, int32_t LON_DEG, int32_t LAT_DEG, const WordFunction& word_fn) {
  write_tile_file(path, tile_bytes(LON_DEG, LAT_DEG, word_fn));
}

const std::vector<TileId>& demo_tiles() {
  // Both tile kinds and the 50-degree row between them, two columns wide.
  static const std::vector<TileId> tiles{{5, 49}, {6, 49}, {5, 50}, {6, 50}};
  return tiles;
}

std::vector<std::filesystem::path> write_database(const std::filesystem::path& drive_root,
                                                  const std::vector<TileId>& tiles, const WordFunction& word_fn) {
  std::vector<std::filesystem::path> written;
  for (const TileId& tile : tiles) {
    const std::filesystem::path path = tile_host_path(drive_root, tile.LON_DEG, tile.LAT_DEG);
    write_tile(path, tile.LON_DEG, tile.LAT_DEG, word_fn);
    written.push_back(path);
  }
  return written;
}

std::vector<std::filesystem::path> write_demo_database(const std::filesystem::path& drive_root,
                                                       const WordFunction& word_fn) {
  return write_database(drive_root, demo_tiles(), word_fn);
}

std::vector<std::filesystem::path> write_demo_polygons(const std::filesystem::path& drive_root) {
  // Longitude first, latitude second, one vertex a line, the ring closed
  // by repeating its first vertex.
  const std::string lake =
      "5.5000 49.7000\n"
      "5.5400 49.6800\n"
      "5.6000 49.6900\n"
      "5.6300 49.7300\n"
      "5.6100 49.7700\n"
      "5.5600 49.7800\n"
      "5.5100 49.7500\n"
      "5.5000 49.7000\n";
  const std::filesystem::path folder = drive_root / "POLYGONS";
  const std::filesystem::path path = folder / "NEWLAKE.TXT";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << lake;
  out.close();
  if (error || !out) throw std::runtime_error("cannot write " + path.string());
  return {path};
}

}  // namespace kavlin::demo
