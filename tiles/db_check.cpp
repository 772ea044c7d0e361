#include "tiles/db_check.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <utility>

#include "tiles/tile_grid.h"
#include "base/kernels.h"

namespace kavlin {

namespace {

// The copy of a grid point that the walk read first: where it is stored
// and its word. Every later copy is compared with it. Record 0: no copy
// of the point has been read.
struct FirstCopy {
  int16_t lon = 0;
  int8_t lat = 0;
  uint8_t record = 0;
  uint8_t row = 0;
  uint8_t column = 0;
  uint16_t word = 0;
  bool known() const { return record != 0; }
};
static_assert(sizeof(FirstCopy) == 8, "a line of first copies stays small");

// First copies along one grid line of a tile, indexed by full-grid row
// (an east edge) or column (a north edge, a band's north row).
using Line = std::vector<FirstCopy>;

enum class Role {
  Checked,    // a tile of the database or of the area
  Neighbour,  // a tile around the area, read only where it holds copies of the area's points
};

struct WalkTile {
  int32_t lon = 0;
  int32_t lat = 0;
  Role role = Role::Checked;
};

// The area's tiles as whole degrees, both ends included.
struct DegreeBox {
  int32_t lon_first = 0;
  int32_t lon_last = 0;
  int32_t lat_first = 0;
  int32_t lat_last = 0;
};

std::string hex_word(uint16_t word) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(word));
  return text;
}

std::string place_text(const FirstCopy& copy) {
  return "record " + std::to_string(copy.record) + " row " + std::to_string(copy.row) + " column " +
         std::to_string(copy.column);
}

// Closes a unit when it goes out of scope.
class OpenUnit {
 public:
  explicit OpenUnit(RecordFiles& files) : files_(files) {}
  ~OpenUnit() {
    if (open_) files_.CLOSE_FILE(unit_);
  }
  OpenUnit(const OpenUnit&) = delete;
  OpenUnit& operator=(const OpenUnit&) = delete;
  // OPEN_TILE for reading only; its status.
  int32_t open(const std::string& path, int32_t record_length) {
    const int32_t status = OPEN_TILE(files_, unit_, path, record_length, true);
    open_ = status == 0;
    return status;
  }
  int32_t unit() const { return unit_; }

 private:
  RecordFiles& files_;
  int32_t unit_ = 0;
  bool open_ = false;
};

// What is wrong with the tile in hand, told when it is read through.
struct TileReport {
  std::string name;
  std::string size_line;
  int64_t differing = 0;
  std::vector<std::string> places;
};

class Checker {
 public:
  Checker(RecordFiles& files, char drive, const CheckOutput& output, DbCheckResult& result)
      : files_(files), drive_(drive), output_(output), result_(result) {}

  void set_area(const DegreeBox& box) { area_ = box; }
  void check(const WalkTile& tile);
  bool size_holds(const WalkTile& tile, const std::string& name, const std::string& path);

 private:
  void start_row(int32_t lat);
  bool record_needed(const WalkTile& tile, int32_t i, int32_t j) const;
  bool point_reported(int32_t lat, int32_t row, int64_t lon_units) const;
  void read_record(std::span<const uint8_t> record, int32_t i, int32_t j);
  FirstCopy first_copy(int32_t r, int32_t i, int32_t j, int32_t l, int32_t k, int32_t row, int32_t column) const;
  // The word `own` at full-grid row `row` and column `column` of the tile
  // in hand against the first copy of its point.
  void compare(const FirstCopy& own, const FirstCopy& first, int32_t row, int32_t column) {
    if (area_ && !point_reported(tile_.lat, row, int64_t{tile_.lon} * 1200 + int64_t{column} * (origin_.spacing / 3))) {
      return;
    }
    ++result_.copies_compared;
    if (own.word != first.word) differ(own, first);
  }
  void differ(const FirstCopy& own, const FirstCopy& first);
  void add_high_bits(std::span<const uint8_t> record);
  void finish_report();
  void notice(const Notice& notice) {
    if (output_.notice) output_.notice(notice);
  }
  void line(const std::string& text) {
    if (output_.line) output_.line(text);
  }

  RecordFiles& files_;
  char drive_;
  const CheckOutput& output_;
  DbCheckResult& result_;
  std::optional<DegreeBox> area_;

  // The latitude degree in hand, the north edges of the tiles of the
  // degree below it and of this one (by longitude), the east edge of the
  // tile just read in this degree, and the first copies of tile corners
  // (by latitude, then longitude) of this degree's south and north edges.
  int32_t row_lat_ = INT_MIN;
  std::map<int32_t, Line> north_below_;
  std::map<int32_t, Line> north_here_;
  std::optional<int32_t> east_lon_;
  Line east_;
  std::map<std::pair<int32_t, int32_t>, FirstCopy> corners_;

  // The tile in hand.
  WalkTile tile_;
  TileOrigin origin_;
  int32_t width_ = 0;
  const Line* west_ = nullptr;   // east edge of the tile west of it, when read
  const Line* south_ = nullptr;  // north edge of the tile south of it, when read
  Line row_prev_, row_next_;     // north rows of the band below and of this band
  Line column_prev_, column_next_;  // east columns of the block west of it and of this one
  Line east_next_;               // the tile's east edge
  std::vector<uint8_t> band_;    // the band of records in hand
  TileReport report_;
};

void Checker::start_row(int32_t lat) {
  if (lat == row_lat_) return;
  north_below_ = lat == row_lat_ + 1 ? std::move(north_here_) : std::map<int32_t, Line>{};
  north_here_.clear();
  east_lon_.reset();
  corners_.erase(corners_.begin(), corners_.lower_bound({lat, INT_MIN}));
  row_lat_ = lat;
}

// Of a tile around the area, the blocks that share a point with the area's
// tiles; of the area's own, every block.
bool Checker::record_needed(const WalkTile& tile, int32_t i, int32_t j) const {
  if (tile.role == Role::Checked || !area_) return true;
  // In twelfths of a degree, edges included.
  const int64_t west = int64_t{tile.lon} * BLOCKS_PER_SIDE + j - 1;
  const int64_t south = int64_t{tile.lat} * BLOCKS_PER_SIDE + i - 1;
  const auto twelfths = [](int64_t degree) { return degree * BLOCKS_PER_SIDE; };
  return west <= twelfths(area_->lon_last + int64_t{1}) && west + 1 >= twelfths(area_->lon_first) &&
         south <= twelfths(area_->lat_last + int64_t{1}) && south + 1 >= twelfths(area_->lat_first);
}

// Whether the copies of a grid point count: every point of the database;
// of an area, the points its tiles hold (their edges included). `row` is
// the full-grid row in tile degree `lat`, `lon_units` the longitude in
// 3-second steps from 0 degrees.
bool Checker::point_reported(int32_t lat, int32_t row, int64_t lon_units) const {
  if (!area_) return true;
  const int64_t lat_units = int64_t{lat} * 1200 + row;
  return lat_units >= int64_t{area_->lat_first} * 1200 && lat_units <= (int64_t{area_->lat_last} + 1) * 1200 &&
         lon_units >= int64_t{area_->lon_first} * 1200 && lon_units <= (int64_t{area_->lon_last} + 1) * 1200;
}

// The copy read first of the point at row l, column k of record r
// (block i, j) of the tile in hand, at full-grid row `row` and column
// `column`; none when this is the first. The walk reads the tiles south
// of and west of the tile before it, and the records of a tile in order,
// so the first copy is there or in the band below or the block west of
// it; the four copies of a tile corner, which lie in tiles that touch
// each other only at the corner, are kept apart.
FirstCopy Checker::first_copy(int32_t r, int32_t i, int32_t j, int32_t l, int32_t k, int32_t row,
                              int32_t column) const {
  const bool edge_row = row == 0 || row == GRID_ROWS - 1;
  if (edge_row && (column == 0 || column == width_ - 1)) {
    const auto found = corners_.find({tile_.lat + (row > 0 ? 1 : 0), tile_.lon + (column > 0 ? 1 : 0)});
    return found == corners_.end() ? FirstCopy{} : found->second;
  }
  // A west or south edge point other than a corner has one copy outside
  // the tile, in the tile west or south of it.
  for (const StoredPlace& copy : edge_copies(origin_, r, l, k)) {
    const int32_t copy_i = (copy.record - 1) / BLOCKS_PER_SIDE + 1;
    const int32_t copy_j = (copy.record - 1) % BLOCKS_PER_SIDE + 1;
    const FirstCopy* there = nullptr;
    if (copy.LAT_DEG == tile_.lat && west_ != nullptr) {
      there = &(*west_)[static_cast<std::size_t>(grid_row(copy_i, copy.row))];
    } else if (copy.LON_DEG == tile_.lon && south_ != nullptr) {
      const int32_t columns = TILE_ORIGIN(copy.LON_DEG, copy.LAT_DEG).columns();
      there = &(*south_)[static_cast<std::size_t>(grid_column(copy_j, copy.column, columns))];
    }
    if (there != nullptr && there->known()) return *there;
  }
  if (l == 1 && i > 1 && row_prev_[static_cast<std::size_t>(column)].known()) {
    return row_prev_[static_cast<std::size_t>(column)];
  }
  if (k == 1 && j > 1 && column_prev_[static_cast<std::size_t>(l - 1)].known()) {
    return column_prev_[static_cast<std::size_t>(l - 1)];
  }
  return {};
}

void Checker::differ(const FirstCopy& own, const FirstCopy& first) {
  ++result_.copies_differing;
  ++report_.differing;
  if (report_.places.size() >= static_cast<std::size_t>(CHECK_PLACES_SHOWN)) return;
  report_.places.push_back("  " + place_text(own) + " holds " + hex_word(own.word) + ", " +
                           TILE_NAME(first.lon, first.lat) + " " + place_text(first) + " holds " +
                           hex_word(first.word));
}

void Checker::add_high_bits(std::span<const uint8_t> record) {
  const int32_t words = origin_.words_per_record();
  const kernels::HighBitsSpan span = kernels::high_bits(record.data(), static_cast<std::size_t>(words));
  HighBits& bits = result_.high_bits;
  bits.not_zero += span.not_zero;
  bits.least = bits.least < 0 ? span.least : std::min<int32_t>(bits.least, span.least);
  bits.greatest = std::max<int32_t>(bits.greatest, span.greatest);
  result_.words_checked += words;
}

// The words of record (i, j) that are stored more than once: its first
// and last rows and columns. A word of its first row or column may have
// been read before (in the band below, the block west of it, the tiles
// south and west of it, or a tile corner): it is compared with the first
// copy of its point. The first copies are handed on to the records and
// tiles read after it.
void Checker::read_record(std::span<const uint8_t> record, int32_t i, int32_t j) {
  const int32_t columns = origin_.columns();
  const int32_t r = record_number(i, j);
  const bool whole_tile = tile_.role == Role::Checked;
  if (whole_tile) add_high_bits(record);
  const auto own = [&](int32_t l, int32_t k) {
    return FirstCopy{static_cast<int16_t>(tile_.lon), static_cast<int8_t>(tile_.lat), static_cast<uint8_t>(r),
                     static_cast<uint8_t>(l), static_cast<uint8_t>(k), get_word(record, word_offset(l, k, columns))};
  };
  // Any word of the first row or column, and the block's north-east corner.
  const auto word = [&](int32_t l, int32_t k) {
    const int32_t row = grid_row(i, l);
    const int32_t column = grid_column(j, k, columns);
    const FirstCopy here = own(l, k);
    const FirstCopy first = first_copy(r, i, j, l, k, row, column);
    if (first.known()) {
      compare(here, first, row, column);
    } else if ((row == 0 || row == GRID_ROWS - 1) && (column == 0 || column == width_ - 1)) {
      corners_[{tile_.lat + (row > 0 ? 1 : 0), tile_.lon + (column > 0 ? 1 : 0)}] = here;
    }
    const FirstCopy& kept = first.known() ? first : here;
    if (l == ROWS_PER_BLOCK) row_next_[static_cast<std::size_t>(column)] = kept;
    if (k == columns) {
      column_next_[static_cast<std::size_t>(l - 1)] = kept;
      if (j == BLOCKS_PER_SIDE) east_next_[static_cast<std::size_t>(row)] = kept;
    }
  };
  // In a tile read whole, the first row of a band above the first and the
  // first column of a block east of the first have their first copies in
  // the band below and in the block west of it, which were read: the same
  // as `word` gives, in fewer steps.
  const int32_t row_1 = grid_row(i, 1);
  const int32_t column_1 = grid_column(j, 1, columns);
  if (whole_tile && i > 1) {
    if (j == 1) word(1, 1);
    for (int32_t k = j == 1 ? 2 : 1; k <= columns; ++k) {
      const FirstCopy& first = row_prev_[static_cast<std::size_t>(column_1 + k - 1)];
      compare(own(1, k), first, row_1, column_1 + k - 1);
    }
    column_next_[0] = row_prev_[static_cast<std::size_t>(column_1 + columns - 1)];
    if (j == BLOCKS_PER_SIDE) east_next_[static_cast<std::size_t>(row_1)] = column_next_[0];
  } else {
    for (int32_t k = 1; k <= columns; ++k) word(1, k);
  }
  if (whole_tile && j > 1) {
    for (int32_t l = 2; l <= ROWS_PER_BLOCK; ++l) {
      compare(own(l, 1), column_prev_[static_cast<std::size_t>(l - 1)], row_1 + l - 1, column_1);
    }
    row_next_[static_cast<std::size_t>(column_1)] = column_prev_[ROWS_PER_BLOCK - 1];
  } else {
    for (int32_t l = 2; l <= ROWS_PER_BLOCK; ++l) word(l, 1);
  }
  word(ROWS_PER_BLOCK, columns);
  // The rest of the last row and column: no copy of these was read before.
  for (int32_t k = 2; k < columns; ++k) row_next_[static_cast<std::size_t>(column_1 + k - 1)] = own(ROWS_PER_BLOCK, k);
  for (int32_t l = 2; l < ROWS_PER_BLOCK; ++l) {
    column_next_[static_cast<std::size_t>(l - 1)] = own(l, columns);
    if (j == BLOCKS_PER_SIDE) east_next_[static_cast<std::size_t>(row_1 + l - 1)] = own(l, columns);
  }
}

void Checker::finish_report() {
  const bool faulty = !report_.size_line.empty() || report_.differing > 0;
  if (!faulty) return;
  ++result_.tiles_with_faults;
  if (!report_.size_line.empty()) line(report_.size_line);
  if (report_.differing == 0) return;
  line(report_.name + ": grid words that differ from another copy of their point: " +
       std::to_string(report_.differing));
  for (const std::string& place : report_.places) line(place);
  const int64_t more = report_.differing - static_cast<int64_t>(report_.places.size());
  if (more > 0) line("  and " + std::to_string(more) + " more");
}

// The tile's size, through a unit of one-byte records: false when the
// tile is not read through (missing around an area, unreadable, or short:
// reported).
bool Checker::size_holds(const WalkTile& tile, const std::string& name, const std::string& path) {
  int64_t bytes = 0;
  {
    OpenUnit sizing(files_);
    const int32_t status = sizing.open(path, 1);
    if (status == FILE_NOT_FOUND && tile.role == Role::Neighbour) return false;  // no tile there
    if (status != 0 || files_.RECORD_COUNT(sizing.unit(), bytes) != 0) {
      ++result_.unreadable;
      notice(tile_open_error(name));
      return false;
    }
  }
  ++(tile.role == Role::Checked ? result_.tiles_checked : result_.neighbours_read);
  const int64_t length = origin_.record_length();
  const int64_t whole = bytes / length;
  if (bytes == RECORDS_PER_TILE * length) return true;
  ++result_.wrong_size;
  const int64_t over = bytes % length;
  report_.size_line = name + ": size " + std::to_string(bytes) + " bytes (" + std::to_string(whole) + " records" +
                      (over > 0 ? " and " + std::to_string(over) + " bytes" : std::string()) + "), not " +
                      std::to_string(RECORDS_PER_TILE * length) + " (" + std::to_string(RECORDS_PER_TILE) +
                      " records of " + std::to_string(length) + " bytes)" +
                      (whole < RECORDS_PER_TILE ? ": not checked further" : "");
  if (whole >= RECORDS_PER_TILE) return true;
  finish_report();
  return false;
}

void Checker::check(const WalkTile& tile) {
  start_row(tile.lat);
  tile_ = tile;
  origin_ = TILE_ORIGIN(tile.lon, tile.lat);
  width_ = grid_width(origin_);
  const std::string name = TILE_NAME(tile.lon, tile.lat);
  const std::string path = TILE_PATH(drive_, name);
  // The edges read before this tile, and none of this one's until it is
  // read through.
  Line west_line;
  if (east_lon_ == tile.lon - 1) west_line = std::move(east_);
  west_ = west_line.empty() ? nullptr : &west_line;
  east_lon_.reset();
  const auto below = north_below_.find(tile.lon);
  south_ = below == north_below_.end() ? nullptr : &below->second;
  report_ = TileReport{name, {}, 0, {}};

  if (!size_holds(tile, name, path)) return;
  const int64_t length = origin_.record_length();

  // A band of 12 block records is read as one record of the unit: as
  // many transfers as bands, and no more than one band held.
  OpenUnit unit(files_);
  const int64_t band_length = length * BLOCKS_PER_SIDE;
  if (unit.open(path, static_cast<int32_t>(band_length)) != 0) {
    ++result_.unreadable;
    notice(tile_open_error(name));
    finish_report();
    return;
  }
  band_.resize(static_cast<std::size_t>(band_length));
  row_prev_.assign(static_cast<std::size_t>(width_), FirstCopy{});
  east_next_.assign(static_cast<std::size_t>(GRID_ROWS), FirstCopy{});
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    row_next_.assign(static_cast<std::size_t>(width_), FirstCopy{});
    column_prev_.assign(static_cast<std::size_t>(ROWS_PER_BLOCK), FirstCopy{});
    bool band_read = false;
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      column_next_.assign(static_cast<std::size_t>(ROWS_PER_BLOCK), FirstCopy{});
      if (record_needed(tile, i, j)) {
        if (!band_read && READ_BLOCK(files_, unit.unit(), i, band_) != 0) {
          ++result_.unreadable;
          notice(tile_read_error(name));
          finish_report();
          return;
        }
        band_read = true;
        read_record(std::span<const uint8_t>(band_).subspan(static_cast<std::size_t>((j - 1) * length),
                                                            static_cast<std::size_t>(length)),
                    i, j);
      }
      std::swap(column_prev_, column_next_);
    }
    std::swap(row_prev_, row_next_);
  }
  // Read through: its north and east edges serve the tiles north and east
  // of it.
  north_here_[tile.lon] = std::move(row_prev_);
  east_ = std::move(east_next_);
  east_lon_ = tile.lon;
  finish_report();
}

DbCheckResult walk(RecordFiles& files, char drive, std::vector<WalkTile> tiles, const std::optional<DegreeBox>& area,
                   const CheckOutput& output) {
  DbCheckResult result;
  result.area = area.has_value();
  std::sort(tiles.begin(), tiles.end(), [](const WalkTile& a, const WalkTile& b) {
    return a.lat != b.lat ? a.lat < b.lat : a.lon < b.lon;
  });
  Checker checker(files, drive, output, result);
  if (area) checker.set_area(*area);
  for (const WalkTile& tile : tiles) checker.check(tile);
  return result;
}

}  // namespace

DbCheckResult check_database(Folders& folders, RecordFiles& files, char drive, const CheckOutput& output) {
  std::vector<WalkTile> tiles;
  for (const TileDegrees& tile : database_tiles(folders, drive)) {
    tiles.push_back({tile.LON_DEG, tile.LAT_DEG, Role::Checked});
  }
  return walk(files, drive, std::move(tiles), std::nullopt, output);
}

DbCheckResult check_area_tiles(RecordFiles& files, char drive, const Extent& extent, const CheckOutput& output) {
  const std::vector<TileDegrees> listed = extent_tiles(extent, NAME_CLAMP);
  if (listed.empty()) return {};
  DegreeBox box{listed.front().LON_DEG, listed.back().LON_DEG, listed.front().LAT_DEG, listed.back().LAT_DEG};
  std::vector<WalkTile> tiles;
  for (const TileDegrees& tile : listed) tiles.push_back({tile.LON_DEG, tile.LAT_DEG, Role::Checked});
  // The ring of tiles around them, where a tile can be named.
  for (int32_t lon = box.lon_first - 1; lon <= box.lon_last + 1; ++lon) {
    for (int32_t lat = box.lat_first - 1; lat <= box.lat_last + 1; ++lat) {
      const bool inside = lon >= box.lon_first && lon <= box.lon_last && lat >= box.lat_first && lat <= box.lat_last;
      if (!inside && tile_name_valid(TILE_NAME(lon, lat))) tiles.push_back({lon, lat, Role::Neighbour});
    }
  }
  return walk(files, drive, std::move(tiles), box, output);
}

std::vector<std::string> check_summary(const DbCheckResult& result) {
  std::vector<std::string> lines;
  if (result.unreadable > 0) {
    lines.push_back("Check: not complete: tile files could not be read.");
  } else if (result.faults()) {
    lines.push_back("Check: faults found.");
  } else if (result.tiles_checked == 0) {
    lines.push_back("Check: no tile file was checked.");
  } else {
    lines.push_back("Check: no fault found.");
  }
  lines.push_back("tiles checked: " + std::to_string(result.tiles_checked));
  if (result.area) {
    lines.push_back("neighbour tiles read for the copies of edge points: " + std::to_string(result.neighbours_read));
  }
  lines.push_back("tile files of a wrong size: " + std::to_string(result.wrong_size));
  lines.push_back("tile files that could not be read: " + std::to_string(result.unreadable));
  lines.push_back("stored grid words checked: " + std::to_string(result.words_checked));
  lines.push_back("copies compared with another copy of their point: " + std::to_string(result.copies_compared));
  lines.push_back("copies that differ: " + std::to_string(result.copies_differing));
  lines.push_back("tiles with faults: " + std::to_string(result.tiles_with_faults));
  const HighBits& bits = result.high_bits;
  if (bits.least < 0) {
    lines.push_back("bits 5 to 15 (not judged): no word read");
  } else {
    lines.push_back("bits 5 to 15 (not judged): " + std::to_string(bits.least) + " to " +
                    std::to_string(bits.greatest) + ", not zero in " + std::to_string(bits.not_zero) + " words");
  }
  return lines;
}

}  // namespace kavlin
