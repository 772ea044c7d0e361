#include "app/map_source.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "polygon/area_rules.h"
#include "tiles/change_mask.h"
#include "tiles/rollback.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"
#include "tiles/tile_grid.h"
#include "base/host_file_services.h"

namespace kavlin {

namespace {

MapTile map_tile(int32_t lon, int32_t lat) {
  const TileOrigin origin = TILE_ORIGIN(lon, lat);
  return {origin.LON_DEG, origin.LAT_DEG, origin.spacing, TILE_NAME(lon, lat)};
}

// The tile's flags on its whole grid, read (for reading only) as
// kavlin-export reads a tile: each edge point from the block that holds it
// in its south-west part.
bool read_flags(RecordFiles& files, char drive, const MapTile& tile, MapRaster& flags) {
  TileGrid grid;
  Notice notice;
  if (!read_tile_grid(files, drive, TILE_NAME(tile.lon, tile.lat), grid, notice)) return false;
  flags.width = grid.width;
  flags.height = grid.height;
  flags.values.resize(grid.words.size());
  for (std::size_t n = 0; n < grid.words.size(); ++n) flags.values[n] = static_cast<uint8_t>(grid.words[n] & 0x1F);
  return true;
}

// One reading of tiles for the map, alive as long as its reader: the
// shared lock on services of its own (the map reads beside the program's
// own file work, on other threads), and the journal of an interrupted run
// as its rollback will leave the tiles.
struct MapReading {
  explicit MapReading(const DriveTable& drives) : files(drives) {}
  HostFileServices files;
  std::optional<DatabaseLock> lock;
  PendingRollback pending;
};

// How long a reading waits between two tries of a busy lock.
constexpr auto MAP_LOCK_RETRY = std::chrono::milliseconds(20);

MapFlagReader start_map_reading(const DriveTable& drives, char drive, const std::function<bool()>& give_up) {
  auto reading = std::make_shared<MapReading>(drives);
  // Like every reader, behind a run that holds or waits for the database.
  // It never blocks: the editor's own run takes the exclusive lock on the
  // program's thread and then waits for its map, which gives up then.
  reading->lock.emplace(
      reading->files, drive, false,
      [&give_up](const std::function<bool()>& try_again) {
        while (!try_again()) {
          if (give_up && give_up()) return;
          std::this_thread::sleep_for(MAP_LOCK_RETRY);
        }
      },
      true);
  const DatabaseLock& lock = *reading->lock;
  // Unlocked only where no lock file can be made (a read-only medium,
  // where nobody writes); a lock that cannot be had otherwise, or no
  // database folder, reads nothing.
  if (!lock.held() && lock.error() != NO_LOCK_FILE) return {};
  reading->pending = read_pending_rollback(reading->files, drive);
  return [reading, drives, drive](const MapTile& tile, MapRaster& flags) {
    HostFileServices files(drives);
    RolledBackReads rolled_back(files, reading->pending);
    return read_flags(rolled_back, drive, tile, flags);
  };
}

// The canonical co-ordinates of full-grid row r (from the south) and
// column c: from the block in whose south-west part the point lies.
double canonical_latitude(int32_t lat, int32_t r) {
  const int32_t i = std::min(r / (ROWS_PER_BLOCK - 1) + 1, BLOCKS_PER_SIDE);
  return grid_latitude(lat, i, r - (i - 1) * (ROWS_PER_BLOCK - 1) + 1);
}
double canonical_longitude(const TileOrigin& origin, int32_t c) {
  const int32_t step = origin.columns() - 1;
  const int32_t j = std::min(c / step + 1, BLOCKS_PER_SIDE);
  return grid_longitude(origin.LON_DEG, j, c - (j - 1) * step + 1, origin.spacing);
}

}  // namespace

std::vector<MapTile> list_database_tiles(Folders& files, char drive) {
  std::vector<MapTile> tiles;
  for (const TileDegrees& tile : database_tiles(files, drive)) tiles.push_back(map_tile(tile.LON_DEG, tile.LAT_DEG));
  return tiles;
}

DatabaseShown describe_database(Folders& files, char drive) {
  DatabaseShown database;
  database.drive = drive;
  database.tiles = list_database_tiles(files, drive);
  const auto six = std::count_if(database.tiles.begin(), database.tiles.end(),
                                 [](const MapTile& tile) { return tile.spacing == 6; });
  database.status = "Database on drive " + std::string(1, drive) + ": " + std::to_string(database.tiles.size()) +
                    " tiles (" + std::to_string(database.tiles.size() - static_cast<std::size_t>(six)) +
                    " of 3 seconds, " + std::to_string(six) + " of 6 seconds)";
  if (const auto* host = dynamic_cast<const HostFileServices*>(&files)) {
    database.start_reading = [drives = host->drives(), drive](const std::function<bool()>& give_up) {
      return start_map_reading(drives, drive, give_up);
    };
  }
  return database;
}

std::vector<MapTile> area_tiles(const Extent& extent) {
  std::vector<MapTile> tiles;
  for (const TileDegrees& tile : extent_tiles(extent, NEIGHBOUR_CLAMP)) tiles.push_back(map_tile(tile.LON_DEG, tile.LAT_DEG));
  return tiles;
}

// Every stored word of the area's tiles is tested where it lies; the
// copies of their edge points in the tiles around them, where the
// edge-copy rule puts them, are counted once each (the corner word of a
// tile is reached from it and from the tile south of it).
int64_t words_inside(const VertexTable& table, const Extent& extent) {
  const std::vector<MapTile> tiles = area_tiles(extent);
  if (tiles.empty()) return 0;
  // The area's tiles are the whole degrees of a rectangle, listed
  // longitude first from the south-west.
  auto area_tile = [&](const StoredPlace& place) {
    return place.LON_DEG >= tiles.front().lon && place.LON_DEG <= tiles.back().lon &&
           place.LAT_DEG >= tiles.front().lat && place.LAT_DEG <= tiles.back().lat;
  };
  int64_t count = 0;
  // The copies outside, each as one number: degrees (offset to be
  // positive), record, row and column.
  std::vector<uint64_t> outside;
  auto copies = [&](const TileOrigin& origin, int32_t r, int32_t l, int32_t k) {
    for (const StoredPlace& place : edge_copies(origin, r, l, k)) {
      if (area_tile(place)) continue;
      outside.push_back(static_cast<uint64_t>(place.LON_DEG + 2048) << 40 |
                        static_cast<uint64_t>(place.LAT_DEG + 2048) << 28 | static_cast<uint64_t>(place.record) << 16 |
                        static_cast<uint64_t>(place.row) << 8 | static_cast<uint64_t>(place.column));
    }
  };
  std::vector<InsideRun> runs;
  for (const MapTile& tile : tiles) {
    const TileOrigin origin = TILE_ORIGIN(tile.lon, tile.lat);
    const int32_t columns = origin.columns();
    RowTest rows(table, extent);
    // The longitudes of each block column, the same in every row.
    std::vector<double> xs(static_cast<std::size_t>(columns * BLOCKS_PER_SIDE));
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      for (int32_t k = 1; k <= columns; ++k) xs[(j - 1) * columns + k - 1] = grid_longitude(tile.lon, j, k, origin.spacing);
    }
    for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
      for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
        rows.set_row(grid_latitude(tile.lat, i, l));
        if (rows.row_empty()) continue;
        for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
          const int32_t r = record_number(i, j);
          rows.inside_runs(xs.data() + (j - 1) * columns, columns, runs);
          for (const InsideRun& run : runs) {
            count += run.to - run.from;
            // Edge points lie in the tile's first row or first column;
            // edge_copies says which of them have copies, and where.
            if (i == 1 && l == 1) {
              for (int32_t k = run.from + 1; k <= run.to; ++k) copies(origin, r, l, k);
            } else if (j == 1 && run.from == 0 && run.to > 0) {
              copies(origin, r, l, 1);
            }
          }
        }
      }
    }
  }
  std::sort(outside.begin(), outside.end());
  return count + std::distance(outside.begin(), std::unique(outside.begin(), outside.end()));
}

std::string dms_text(double degrees, bool longitude) {
  const char hemisphere = longitude ? (degrees < 0 ? 'W' : 'E') : (degrees < 0 ? 'S' : 'N');
  const auto hundredths = static_cast<int64_t>(std::llround(std::fabs(degrees) * 360000.0));
  const int64_t d = hundredths / 360000;
  const int64_t m = hundredths / 6000 % 60;
  const int64_t s = hundredths % 6000;
  char text[64];
  if (s % 100 == 0) {
    std::snprintf(text, sizeof text, "%lld\u00B0%02lld'%02lld\"%c", static_cast<long long>(d),
                  static_cast<long long>(m), static_cast<long long>(s / 100), hemisphere);
  } else {
    std::snprintf(text, sizeof text, "%lld\u00B0%02lld'%05.2f\"%c", static_cast<long long>(d),
                  static_cast<long long>(m), static_cast<double>(s) / 100.0, hemisphere);
  }
  return text;
}

AreaShown describe_area(const ProgramValues& values, const Extent& extent, const Notice& refusal) {
  AreaShown area;
  area.area_mode = values.AREA_MODE;
  const VertexTable& table = values.AREA;
  for (int32_t v = 1; v <= table.NREC; ++v) {
    area.lon.push_back(table.AREA_LON[v]);
    area.lat.push_back(table.AREA_LAT[v]);
  }
  area.extent = extent;
  area.refused = !refusal.empty();
  std::string status = "Extent " + dms_text(extent.LON_MIN, true) + " to " + dms_text(extent.LON_MAX, true) + ", " +
                       dms_text(extent.LAT_MIN, false) + " to " + dms_text(extent.LAT_MAX, false);
  if (area.refused) {
    char cells[64];
    std::snprintf(cells, sizeof cells, "%.0f", cell_count(extent));
    area.status = status + "; tiles touched: " + cells + "; refused: " + refusal.text;
    return area;
  }
  area.tiles = area_tiles(extent);
  area.words_in_area = words_inside(table, extent);
  area.status = status + "; tiles touched: " + std::to_string(area.tiles.size()) +
                "; grid words inside: " + std::to_string(area.words_in_area);
  auto shared = std::make_shared<const VertexTable>(table);
  area.count_points = [shared] { return grid_points_inside(*shared); };
  area.mask = [shared, extent](const MapTile& tile, MapRaster& mask) {
    const TileOrigin origin = TILE_ORIGIN(tile.lon, tile.lat);
    mask.width = (origin.columns() - 1) * BLOCKS_PER_SIDE + 1;
    mask.height = (ROWS_PER_BLOCK - 1) * BLOCKS_PER_SIDE + 1;
    mask.values.assign(static_cast<std::size_t>(mask.width) * static_cast<std::size_t>(mask.height), 0);
    RowTest rows(*shared, extent);
    std::vector<double> xs(static_cast<std::size_t>(mask.width));
    for (int32_t c = 0; c < mask.width; ++c) xs[c] = canonical_longitude(origin, c);
    std::vector<InsideRun> runs;
    for (int32_t r = 0; r < mask.height; ++r) {
      rows.set_row(canonical_latitude(tile.lat, r));
      if (rows.row_empty()) continue;
      rows.inside_runs(xs.data(), mask.width, runs);
      uint8_t* row = mask.values.data() + static_cast<std::size_t>(mask.height - 1 - r) * mask.width;
      for (const InsideRun& run : runs) std::fill(row + run.from, row + run.to, uint8_t{1});
    }
  };
  return area;
}

}  // namespace kavlin
