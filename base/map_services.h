// What the driver tells the main window's map: the tiles of the database,
// the area of the run with its status line, the tile being written and the
// end of a run. Plain data and functions, so that the map's drawing side
// (Qt) needs no tile or area rules of its own: reading a tile's flags and
// testing grid points against the area come with the data and may be
// called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/program_values.h"

namespace kavlin {

// One tile as the map draws it: its south-west corner in whole degrees and
// its longitude spacing in seconds (3 or 6).
struct MapTile {
  int32_t lon = 0;
  int32_t lat = 0;
  int32_t spacing = 3;
  std::string name;
  bool operator==(const MapTile&) const = default;
};

// A tile's full grid: `height` rows of `width` grid points (1201 x 1201 or
// 1201 x 601), north row first; one byte per point. For flags the low five
// bits of the grid word, for an area mask 1 inside and 0 outside.
struct MapRaster {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> values;
};

// Reads the flags of a tile; false when the tile cannot be read. Safe to
// call from several threads at once.
using MapFlagReader = std::function<bool(const MapTile& tile, MapRaster& flags)>;
// Begins one reading of tiles for the map. The reader it gives reads
// every tile as one state of the database, and never a tile that a run
// has half written: it holds the database's shared lock for as long as it
// (or a copy of it) lives. While a modification holds the database, or
// waits for it, the start waits too, asking `give_up` now and then; once
// that answers true it gives an empty reader (no flags are drawn).
using MapReadingStart = std::function<MapFlagReader(const std::function<bool()>& give_up)>;
// Fills the area mask of a tile's grid. Safe to call from several threads.
using MapAreaMask = std::function<void(const MapTile& tile, MapRaster& mask)>;

// The database at start: every tile its folders list.
struct DatabaseShown {
  char drive = 'C';
  std::vector<MapTile> tiles;
  MapReadingStart start_reading;  // empty: no flags are drawn
  std::string status;        // the status line under the map
};

// An area as soon as it is known, refused or not.
struct AreaShown {
  int32_t area_mode = AREA_POINT;
  std::vector<double> lon;  // the vertices in order (a point: one)
  std::vector<double> lat;
  Extent extent;
  std::vector<MapTile> tiles;  // the tiles it touches, in the engine's order
  int64_t words_in_area = -1;  // grid words inside (words_inside); -1 when refused
  bool refused = false;
  std::string status;          // the status line under the map
  MapAreaMask mask;            // empty when refused
  // Counts the grid points inside, each once (as a dry run counts them).
  // It takes a while on a large area, so the window calls it off its own
  // thread and adds "; grid points inside: N" to the status line when it
  // has the answer. Empty when refused.
  std::function<int64_t()> count_points;
};

}  // namespace kavlin
