// The check of a database, or of the tiles of an area: every tile file of
// 144 whole records, every grid word that is stored more than once (block
// edges inside a tile, the west and south edges of a tile in its
// neighbours, the row at 50 degrees north in both spacings) the same in
// every copy, and what bits 5 to 15 hold, told but not judged (this system
// carries them through and does not know their meaning). It reads only,
// and holds one band of 12 records, and the first copies along the edges
// of the tiles of two degrees of latitude: the tiles are walked from south
// to north and west to east, so that the copies of a tile's west and south
// edges were read just before it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tiles/tile_files.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

// Places of differing copies shown per tile; the rest are counted.
inline constexpr int32_t CHECK_PLACES_SHOWN = 5;

// Bits 5 to 15 of the stored words of the checked tiles, as the number
// word >> 5.
struct HighBits {
  int64_t not_zero = 0;  // words whose bits 5 to 15 are not all zero
  int32_t least = -1;    // -1 while no word was read
  int32_t greatest = -1;
};

struct DbCheckResult {
  bool area = false;              // the tiles of an area, not the whole database
  int64_t tiles_checked = 0;      // tile files of the database or the area opened
  int64_t neighbours_read = 0;    // area: tiles around it read for the copies of its edge points
  int64_t wrong_size = 0;         // tile files that are not 144 whole records
  int64_t unreadable = 0;         // tile files that could not be opened or read through
  int64_t words_checked = 0;      // stored words read of the checked tiles
  int64_t copies_compared = 0;    // stored words compared with an earlier copy of their grid point
  int64_t copies_differing = 0;   // of those, the words that differ from it
  int64_t tiles_with_faults = 0;  // tiles with a report line
  HighBits high_bits;
  bool faults() const { return wrong_size > 0 || copies_differing > 0; }
};

// Where the check tells what it finds: the report lines of a tile that
// has faults, as soon as the tile is read through, and the file errors
// ("Error opening file NAME!", "Error reading record of file NAME!").
struct CheckOutput {
  std::function<void(const std::string& line)> line;
  std::function<void(const Notice& notice)> notice;
};

// Every tile file of the database on drive `drive` (database_tiles).
DbCheckResult check_database(Folders& folders, RecordFiles& files, char drive, const CheckOutput& output);

// The tiles of `extent` as a run lists them, and the copies of the grid
// points they hold in the tiles around them (of those tiles only the
// records that hold such copies are read; a missing one is no fault).
DbCheckResult check_area_tiles(RecordFiles& files, char drive, const Extent& extent, const CheckOutput& output);

// The closing lines of a check: its verdict and the totals.
std::vector<std::string> check_summary(const DbCheckResult& result);

}  // namespace kavlin
