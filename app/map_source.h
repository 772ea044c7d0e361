// What the main window's map is told, worked out from the database and
// the area: the tiles the folders list, a thread-safe reader of a tile's
// flags, the area mask of a tile's grid, the grid words inside the area and
// the status line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/file_services.h"
#include "base/map_services.h"
#include "base/program_values.h"

namespace kavlin {

// Every tile file of drive `drive`'s database as database_tiles finds it
// from the folder listing alone. No file is opened.
std::vector<MapTile> list_database_tiles(Folders& files, char drive);

// The database for the map. The flag reader opens files of its own on
// every call (so that it can run beside the program's own file work); it
// is empty unless `files` are the host file services.
DatabaseShown describe_database(Folders& files, char drive);

// The tiles of an extent in the engine's order: longitude degrees outer,
// latitude degrees inner.
std::vector<MapTile> area_tiles(const Extent& extent);

// The grid words inside the area as the engine counts them: every stored
// word of the area's tiles that IN_AREA accepts, plus the copies it
// receives in the tiles west, south and south-west of the area's tiles.
// A run that sets a flag clear in all of them changes exactly this many.
int64_t words_inside(const VertexTable& table, const Extent& extent);

// A co-ordinate in degrees, minutes and seconds with its hemisphere letter
// ("5°40'00\"E", seconds with two decimals when they have a fraction).
std::string dms_text(double degrees, bool longitude);

// The area of the program values for the map, with `refusal` (empty when
// the area is accepted). An accepted area gets its tiles, the grid words
// inside and its mask; the status line says the extent, the tiles touched
// and the grid words inside, edge copies included, as a run counts them
// (or the refusal); its point counter gives the grid points inside.
AreaShown describe_area(const ProgramValues& values, const Extent& extent, const Notice& refusal);

}  // namespace kavlin
