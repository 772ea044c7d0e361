#include "tiles/engine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "polygon/area_test.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

const char* const DONE_TEXT = "All modifications are done!";

Notice open_error(const std::string& name) { return {"Error opening file " + name + "!", "Error"}; }
Notice read_error(const std::string& name) { return {"Error reading record of file " + name + "!", "Error"}; }
Notice write_error(const std::string& name) { return {"Error writing record of file " + name + "!", "Error"}; }

// A whole degree as an int. Degrees beyond a billion cannot name a tile
// anyway (the name has three longitude and two latitude digits); clamping
// them keeps the neighbour arithmetic (degree - 1) inside int32 and still
// yields an asterisk name.
int32_t degree_to_int(double degree) {
  constexpr double LIMIT = 1.0e9;
  if (degree < -LIMIT) return -1000000000;
  if (degree > LIMIT) return 1000000000;
  return static_cast<int32_t>(degree);
}

// Spacing, columns and record length of the tile (lon, lat), as its name
// gives them.
TileOrigin origin_of(int32_t lon, int32_t lat) { return TILE_ORIGIN(TILE_NAME(lon, lat)); }

// A neighbour file touched while one record of a listed tile is processed:
// which tile and which of its records the walk reads.
struct Contact {
  int32_t tile = 0;
  int32_t record = 0;
};

// The distinct neighbours one record contacts, in the order the walk first
// opens them (west, south and south-west at most).
struct RecordContacts {
  int32_t count = 0;
  std::array<Contact, 3> items{};
  void add(int32_t tile, int32_t record) {
    for (int32_t n = 0; n < count; ++n) {
      if (items[n].tile == tile) return;
    }
    items[count++] = {tile, record};
  }
};

// What one modification of the run does to one file: whether the file is
// one of its listed tiles, the edge copies it receives from the
// modification's listed tiles and, for a listed tile, the neighbours each
// of its records contacts and its edge answers.
struct StepTile {
  int32_t tile = 0;  // index into the run's tiles
  bool listed = false;
  // Byte offsets of edge copies that other tiles send, per record 1..144.
  std::array<std::vector<int32_t>, RECORDS_PER_TILE + 1> copies;
  // Neighbours contacted per own record (listed tiles only).
  std::array<RecordContacts, RECORDS_PER_TILE + 1> contacts{};
  // West-edge answers per (i, l) and south-edge answers per (j, k).
  std::vector<uint8_t> west;
  std::vector<uint8_t> south;

  // Records the modification reads and writes: all 144 of a listed tile;
  // of a neighbour-only tile, those up to the last one receiving a copy.
  int32_t needed_records() const {
    if (listed) return RECORDS_PER_TILE;
    for (int32_t r = RECORDS_PER_TILE; r >= 1; --r) {
      if (!copies[r].empty()) return r;
    }
    return 0;
  }
};

// Every file the run writes: listed tiles and neighbour tiles that receive
// edge copies, of any of its modifications.
struct Tile {
  int32_t LON_DEG = 0;
  int32_t LAT_DEG = 0;
  std::string name;
  TileOrigin origin;
  bool listed = false;  // a listed tile of at least one modification
  // The modifications that touch the file, in their order: (modification,
  // index into its tiles).
  std::vector<std::pair<int32_t, int32_t>> steps;
  // File check results.
  bool opens = false;
  int64_t records = 0;
};

// The inner loops of Modification::apply_span, on `chunks` groups of four
// words at `bytes`: OR or AND NOT the pattern in, and return the lane sums
// of the pattern bits that were clear (set) before, shifted down to the
// bottom of each lane. Kept out of line so that they compile to a tight
// loop of their own.
[[gnu::noinline]] uint64_t set_chunks(uint8_t* bytes, int32_t chunks, uint64_t pattern, int shift) {
  uint64_t lane_sums = 0;
  for (int32_t c = 0; c < chunks; ++c) {
    uint64_t v;
    std::memcpy(&v, bytes + 8 * c, sizeof v);
    lane_sums += (~v & pattern) >> shift;
    v |= pattern;
    std::memcpy(bytes + 8 * c, &v, sizeof v);
  }
  return lane_sums;
}

[[gnu::noinline]] uint64_t clear_chunks(uint8_t* bytes, int32_t chunks, uint64_t pattern, int shift) {
  uint64_t lane_sums = 0;
  for (int32_t c = 0; c < chunks; ++c) {
    uint64_t v;
    std::memcpy(&v, bytes + 8 * c, sizeof v);
    lane_sums += (v & pattern) >> shift;
    v &= ~pattern;
    std::memcpy(bytes + 8 * c, &v, sizeof v);
  }
  return lane_sums;
}

// Bitmap bits gathered in a register and ORed into the bitmap eight bytes
// at a time (bytes ORed twice keep their bits). The bitmap needs 8 bytes
// beyond its last bit.
class BitWriter {
 public:
  BitWriter(uint8_t* bitmap, int32_t word) : out_(bitmap + (word >> 3)), pos_(word & 7) {}
  // `n` (at most 8) bits for the next n words.
  void put(uint32_t bits, int n) {
    if (pos_ + n > 64) flush();
    acc_ |= static_cast<uint64_t>(bits) << pos_;
    pos_ += n;
  }
  void finish() {
    if (pos_ > 0) or_bytes();
  }

 private:
  void or_bytes() {
    uint64_t v;
    std::memcpy(&v, out_, 8);
    if constexpr (std::endian::native == std::endian::big) {
      v |= __builtin_bswap64(acc_);
    } else {
      v |= acc_;
    }
    std::memcpy(out_, &v, 8);
  }
  void flush() {
    or_bytes();
    const int full = pos_ >> 3;
    out_ += full;
    acc_ = full == 8 ? 0 : acc_ >> (8 * full);
    pos_ -= 8 * full;
  }
  uint8_t* out_;
  int pos_;
  uint64_t acc_ = 0;
};

// Sets (kSet) or clears the flag bit `shift` in words [from, to) of
// `record`, marks the words that change in `bitmap` and returns their
// number. Eight words at a time with SSE2: the changing flag bits moved to
// the top of each word, packed to bytes and gathered by movemask.
template <bool kSet>
[[gnu::noinline]] int64_t mark_span(uint8_t* record, int32_t from, int32_t to, int shift, uint8_t* bitmap) {
  BitWriter bits(bitmap, from);
  int64_t changed = 0;
  int32_t w = from;
#if defined(__SSE2__)
  if (to - w >= 8) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i flag = _mm_set1_epi16(static_cast<int16_t>(1u << shift));
    const __m128i to_top = _mm_cvtsi32_si128(15 - shift);
    __m128i counts = zero;  // per lane, in units of the flag bit
    for (; to - w >= 8; w += 8) {
      auto* p = reinterpret_cast<__m128i*>(record + 2 * w);
      __m128i v = _mm_loadu_si128(p);
      const __m128i f = kSet ? _mm_andnot_si128(v, flag) : _mm_and_si128(v, flag);
      v = kSet ? _mm_or_si128(v, flag) : _mm_andnot_si128(flag, v);
      _mm_storeu_si128(p, v);
      counts = _mm_add_epi16(counts, f);
      bits.put(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(_mm_sll_epi16(f, to_top), zero))), 8);
    }
    // At most 1276 rounds of 8 words: no lane passes 1276 << 4.
    const __m128i sums = _mm_madd_epi16(_mm_srl_epi16(counts, _mm_cvtsi32_si128(shift)), _mm_set1_epi16(1));
    int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), sums);
    changed += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
#endif
  const auto flag = static_cast<uint16_t>(1u << shift);
  for (; w < to; ++w) {
    uint8_t* p = record + 2 * w;
    const auto old_word = static_cast<uint16_t>(p[0] | (p[1] << 8));
    const bool change = kSet ? (old_word & flag) == 0 : (old_word & flag) != 0;
    const auto new_word = static_cast<uint16_t>(kSet ? old_word | flag : old_word & ~flag);
    p[0] = static_cast<uint8_t>(new_word & 0xFF);
    p[1] = static_cast<uint8_t>(new_word >> 8);
    changed += change ? 1 : 0;
    bits.put(change ? 1 : 0, 1);
  }
  bits.finish();
  return changed;
}

// Closes a unit when it goes out of scope unless it was closed on purpose.
class UnitGuard {
 public:
  explicit UnitGuard(FileServices& files) : files_(files) {}
  ~UnitGuard() {
    if (open_) files_.CLOSE_FILE(unit_);
  }
  UnitGuard(const UnitGuard&) = delete;
  UnitGuard& operator=(const UnitGuard&) = delete;
  int32_t& unit() { return unit_; }
  void opened() { open_ = true; }
  // Closes now; returns the close status.
  int32_t close() {
    open_ = false;
    return files_.CLOSE_FILE(unit_);
  }

 private:
  FileServices& files_;
  int32_t unit_ = 0;
  bool open_ = false;
};

// One latitude degree of listed tiles, west to east: the edge answers are
// found band by band for all of them, one prepared band of rows serving
// every tile of the degree.
struct LatitudeRow {
  int32_t LAT_DEG = 0;
  std::vector<int32_t> tiles;  // indices into the run's tiles, ascending longitude
};

// One modification of the run: its kind and area, and what it does to
// each file it touches.
struct Step {
  Step(const VertexTable& table, KindOperation kind_op, const Extent& area_extent)
      : op(kind_op), extent(area_extent), row(table, area_extent) {
    // The four-word pattern of apply_span: the kind's one bit in each of
    // four words, in the file's byte order (0 if the kind were not one bit).
    const uint16_t bit = op.set ? op.mask : static_cast<uint16_t>(~op.mask);
    if (std::popcount(bit) == 1) {
      std::array<uint8_t, 8> pattern_bytes{};
      for (int32_t w = 0; w < 4; ++w) put_word(pattern_bytes, 2 * w, bit);
      pattern = std::bit_cast<uint64_t>(pattern_bytes);
      pattern_shift = std::countr_zero(pattern);  // the bit's place in every lane
      flag_shift = std::countr_zero(bit);
    }
  }
  KindOperation op;
  Extent extent;
  RowTest row;
  uint64_t pattern = 0;
  int pattern_shift = 0;
  int flag_shift = 0;
  std::vector<StepTile> tiles;
  std::map<int32_t, int32_t> index;   // run tile -> index into tiles
  std::vector<int32_t> list;          // listed tiles in list order (indices into the run's tiles)
  std::vector<LatitudeRow> lat_rows;  // listed tiles by latitude degree, ascending
};

class Modification {
 public:
  Modification(FileServices& files, char drive, const EngineOptions& options, EngineResult& result)
      : files_(files), drive_(drive), options_(options), result_(result) {}

  void add_step(const VertexTable& table, KindOperation op, const Extent& extent) {
    steps_.push_back(std::make_unique<Step>(table, op, extent));
  }
  void run();

 private:
  int32_t tile_index(int32_t lon, int32_t lat, bool listed);
  StepTile& step_tile(int32_t s, int32_t t);
  void list_tiles(int32_t s);
  void fill_longitudes(int32_t t, std::vector<double>& xs) const;
  static void set_band(Step& step, int32_t lat, int32_t i);
  static bool block_outside(const Step& step, const double* xs, int32_t columns);
  void find_edge_answers(int32_t s);
  void plan_copies(int32_t s, int32_t t);
  void add_copy(int32_t s, int32_t from, int32_t record, int32_t lon, int32_t lat, int32_t target_record,
                int32_t offset);
  void check_files();
  Notice first_failure(int32_t s);
  bool apply_listed(int32_t t);
  bool apply_neighbour(int32_t t);
  bool work_record(int32_t t, int32_t unit, int32_t r, std::span<uint8_t> record, const double* x);
  bool finish(UnitGuard& unit, const std::string& name, bool write);
  void apply_word(std::span<uint8_t> record, int32_t offset);
  void apply_span(std::span<uint8_t> record, int32_t from, int32_t to);
  void apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record);
  std::span<uint8_t> record_buffer(int32_t unit, int32_t record, int32_t length);
  void start_record();
  void report_changes(int32_t s, int32_t unit, int32_t record, int32_t length);
  void report_progress();

  FileServices& files_;
  char drive_;
  EngineOptions options_;
  EngineResult& result_;
  std::vector<std::unique_ptr<Step>> steps_;
  // The modification at work on the record in hand, and the words it
  // changed there.
  Step* step_ = nullptr;
  int64_t step_changes_ = 0;
  // The changed words of the record in hand are marked for options_.changes.
  bool marking_ = false;
  std::vector<uint8_t> changed_ = std::vector<uint8_t>((RECORD_LENGTH_3S / 2 + 7) / 8 + 8);
  std::vector<InsideRun> runs_;
  int32_t tiles_done_ = 0;

  std::vector<Tile> tiles_;
  std::map<std::pair<int32_t, int32_t>, int32_t> index_;
  // Longitudes of the listed tile being processed.
  std::vector<double> xs_;
  // The record in hand, of a listed tile or of a neighbour tile, and the
  // record as read when several modifications change it.
  std::vector<uint8_t> record_ = std::vector<uint8_t>(RECORD_LENGTH_3S);
  std::vector<uint8_t> before_ = std::vector<uint8_t>(RECORD_LENGTH_3S);
};

int32_t Modification::tile_index(int32_t lon, int32_t lat, bool listed) {
  const auto key = std::make_pair(lon, lat);
  const auto found = index_.find(key);
  if (found != index_.end()) {
    tiles_[found->second].listed = tiles_[found->second].listed || listed;
    return found->second;
  }
  Tile tile;
  tile.LON_DEG = lon;
  tile.LAT_DEG = lat;
  tile.name = TILE_NAME(lon, lat);
  tile.origin = TILE_ORIGIN(tile.name);
  tile.listed = listed;
  tiles_.push_back(std::move(tile));
  const auto index = static_cast<int32_t>(tiles_.size() - 1);
  index_.emplace(key, index);
  return index;
}

// What modification s does to run tile t, made when first asked for.
StepTile& Modification::step_tile(int32_t s, int32_t t) {
  Step& step = *steps_[s];
  const auto found = step.index.find(t);
  if (found != step.index.end()) return step.tiles[found->second];
  const auto index = static_cast<int32_t>(step.tiles.size());
  step.index.emplace(t, index);
  tiles_[t].steps.emplace_back(s, index);
  step.tiles.emplace_back();
  step.tiles.back().tile = t;
  return step.tiles.back();
}

void Modification::list_tiles(int32_t s) {
  Step& step = *steps_[s];
  const double lon_first = std::floor(step.extent.LON_MIN);
  const double lat_first = std::floor(step.extent.LAT_MIN);
  // The area check has limited both counts, so these are small.
  const auto lon_count = static_cast<int32_t>(std::floor(step.extent.LON_MAX) - lon_first + 1.0);
  const auto lat_count = static_cast<int32_t>(std::floor(step.extent.LAT_MAX) - lat_first + 1.0);
  for (int32_t a = 0; a < lon_count; ++a) {
    const int32_t lon = degree_to_int(lon_first + a);
    for (int32_t b = 0; b < lat_count; ++b) {
      const int32_t lat = degree_to_int(lat_first + b);
      const int32_t t = tile_index(lon, lat, true);
      step_tile(s, t).listed = true;
      step.list.push_back(t);
    }
  }
  // The same tiles by latitude degree; list order is longitude first, so
  // each degree's tiles come west to east. A tile listed twice (only
  // clamped, nameless degrees can be) is taken once.
  for (const int32_t t : step.list) {
    const int32_t lat = tiles_[t].LAT_DEG;
    auto row = std::find_if(step.lat_rows.begin(), step.lat_rows.end(),
                            [=](const LatitudeRow& r) { return r.LAT_DEG == lat; });
    if (row == step.lat_rows.end()) row = step.lat_rows.insert(step.lat_rows.end(), LatitudeRow{lat, {}});
    if (std::find(row->tiles.begin(), row->tiles.end(), t) == row->tiles.end()) row->tiles.push_back(t);
  }
  std::sort(step.lat_rows.begin(), step.lat_rows.end(),
            [](const LatitudeRow& a, const LatitudeRow& b) { return a.LAT_DEG < b.LAT_DEG; });
}

// Longitudes of tile t, block column j at [(j - 1) * 101].
void Modification::fill_longitudes(int32_t t, std::vector<double>& xs) const {
  const Tile& tile = tiles_[t];
  const int32_t columns = tile.origin.columns();
  xs.assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * COLUMNS_3S, 0.0);
  for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
    for (int32_t k = 1; k <= columns; ++k) {
      xs[(j - 1) * COLUMNS_3S + (k - 1)] = grid_longitude(tile.LON_DEG, j, k, tile.origin.spacing);
    }
  }
}

// Prepares the modification's row evaluator for the 101 rows of band i of
// latitude degree lat. Every tile of that degree has these very latitudes.
void Modification::set_band(Step& step, int32_t lat, int32_t i) {
  std::array<double, ROWS_PER_BLOCK> ys{};
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) ys[l - 1] = grid_latitude(lat, i, l);
  step.row.set_rows(ys.data(), ROWS_PER_BLOCK);
}

// True when no longitude of the block lies within the extent.
bool Modification::block_outside(const Step& step, const double* xs, int32_t columns) {
  return xs[columns - 1] < step.extent.LON_MIN || xs[0] > step.extent.LON_MAX;
}

// The answers for the west column and the south row of every listed tile
// of modification s, whose copies the neighbour tiles receive. One sweep
// over the rows, band by band and degree by degree from south to north.
void Modification::find_edge_answers(int32_t s) {
  Step& step = *steps_[s];
  std::vector<double> xs;
  for (const LatitudeRow& lat_row : step.lat_rows) {
    for (const int32_t t : lat_row.tiles) {
      StepTile& st = step_tile(s, t);
      st.west.assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * ROWS_PER_BLOCK, 0);
      st.south.assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * COLUMNS_3S, 0);
    }
    for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
      set_band(step, lat_row.LAT_DEG, i);
      for (const int32_t t : lat_row.tiles) {
        const Tile& tile = tiles_[t];
        StepTile& st = step_tile(s, t);
        // West edge: column 1 of the blocks j = 1, every row.
        const double x_west = grid_longitude(tile.LON_DEG, 1, 1, tile.origin.spacing);
        if (!(x_west < step.extent.LON_MIN || x_west > step.extent.LON_MAX)) {
          for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
            step.row.select_row(l - 1);
            st.west[(i - 1) * ROWS_PER_BLOCK + (l - 1)] = step.row.inside(x_west) ? 1 : 0;
          }
        }
        // South edge: row 1 of band 1, every column of every block.
        if (i != 1) continue;
        step.row.select_row(0);
        if (step.row.row_empty()) continue;
        fill_longitudes(t, xs);
        const int32_t columns = tile.origin.columns();
        for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
          step.row.inside_runs(&xs[(j - 1) * COLUMNS_3S], columns, runs_);
          uint8_t* south = &st.south[(j - 1) * COLUMNS_3S];
          for (const InsideRun& run : runs_) std::fill(south + run.from, south + run.to, uint8_t{1});
        }
      }
    }
  }
}

void Modification::add_copy(int32_t s, int32_t from, int32_t record, int32_t lon, int32_t lat,
                            int32_t target_record, int32_t offset) {
  const int32_t target = tile_index(lon, lat, false);
  step_tile(s, target).copies[target_record].push_back(offset);
  step_tile(s, from).contacts[record].add(target, target_record);
}

// Records the copies of the accepted west-edge and south-edge points of
// listed tile t of modification s in the neighbour tiles, in the order the
// walk meets them.
void Modification::plan_copies(int32_t s, int32_t t) {
  const int32_t lon = tiles_[t].LON_DEG;
  const int32_t lat = tiles_[t].LAT_DEG;
  const int32_t spacing = tiles_[t].origin.spacing;
  const int32_t columns = tiles_[t].origin.columns();
  // Copies add step tiles: the answers are copied out first.
  const std::vector<uint8_t> west = step_tile(s, t).west;
  const std::vector<uint8_t> south = step_tile(s, t).south;

  // Where the copies land.
  const bool has_south = lat - 1 >= 0;  // no tile south of the equator
  const TileOrigin south_origin = origin_of(lon, lat - 1);
  const int32_t south_columns = south_origin.columns();
  const bool doubled = spacing == 6 && south_origin.spacing == 3;
  auto west_copy = [&](int32_t r, int32_t l) {
    add_copy(s, t, r, lon - 1, lat, r + 11, word_offset(l, columns, columns));
  };
  auto south_copy = [&](int32_t r, int32_t k) {
    if (!has_south) return;
    const int32_t column = doubled ? 2 * k - 1 : k;
    add_copy(s, t, r, lon, lat - 1, r + 132, word_offset(ROWS_PER_BLOCK, column, south_columns));
  };
  auto corner_copy = [&](int32_t r) {
    if (!has_south) return;
    add_copy(s, t, r, lon - 1, lat - 1, RECORDS_PER_TILE, word_offset(ROWS_PER_BLOCK, south_columns, south_columns));
  };

  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      const int32_t r = record_number(i, j);
      int32_t first_west_row = 1;
      if (i == 1) {
        // Row 1 first, west to east; its column 1 (j = 1) is the corner.
        for (int32_t k = 1; k <= columns; ++k) {
          if (!south[(j - 1) * COLUMNS_3S + (k - 1)]) continue;
          const bool corner = j == 1 && k == 1;
          if (corner) west_copy(r, 1);
          south_copy(r, k);
          if (corner) corner_copy(r);
        }
        first_west_row = 2;
      }
      if (j == 1) {
        for (int32_t l = first_west_row; l <= ROWS_PER_BLOCK; ++l) {
          if (west[(i - 1) * ROWS_PER_BLOCK + (l - 1)]) west_copy(r, l);
        }
      }
    }
  }
}

void Modification::check_files() {
  for (Tile& tile : tiles_) {
    UnitGuard unit(files_);
    const std::string path = TILE_PATH(drive_, tile.name);
    if (OPEN_TILE(files_, unit.unit(), path, tile.origin.record_length(), options_.dry_run) != 0) continue;
    unit.opened();
    tile.opens = true;
    int64_t records = 0;
    if (files_.RECORD_COUNT(unit.unit(), records) == 0) tile.records = records;
    unit.close();
  }
}

// The message the record-by-record walk of modification s alone would
// show first, given the file checks; empty when every file it writes
// passes.
Notice Modification::first_failure(int32_t s) {
  const Step& step = *steps_[s];
  bool all_good = true;
  for (const StepTile& st : step.tiles) {
    const Tile& tile = tiles_[st.tile];
    all_good = all_good && tile.opens && tile.records >= st.needed_records();
  }
  if (all_good) return {};

  std::vector<uint8_t> seen(tiles_.size(), 0);
  std::vector<int32_t> contact_order;
  auto contact = [&](int32_t t) {
    if (!seen[t]) {
      seen[t] = 1;
      contact_order.push_back(t);
    }
  };
  for (const int32_t t : step.list) {
    contact(t);
    if (!tiles_[t].opens) return open_error(tiles_[t].name);
    const StepTile& own = step.tiles[step.index.at(t)];
    for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
      if (tiles_[t].records < r) return read_error(tiles_[t].name);
      const RecordContacts& contacts = own.contacts[r];
      for (int32_t n = 0; n < contacts.count; ++n) {
        const Tile& neighbour = tiles_[contacts.items[n].tile];
        contact(contacts.items[n].tile);
        if (!neighbour.opens) return open_error(neighbour.name);
        if (neighbour.records < contacts.items[n].record) return read_error(neighbour.name);
      }
    }
  }
  // The walk itself would get through, yet a file it writes does not hold
  // the records it needs.
  for (const int32_t t : contact_order) {
    if (tiles_[t].records < step.tiles[step.index.at(t)].needed_records()) return read_error(tiles_[t].name);
  }
  return read_error(tiles_[contact_order.empty() ? 0 : contact_order.front()].name);
}

inline void Modification::apply_word(std::span<uint8_t> record, int32_t offset) {
  const uint16_t old_word = get_word(record, offset);
  const uint16_t new_word = apply_kind(step_->op, old_word);
  if (new_word != old_word) {
    put_word(record, offset, new_word);
    ++step_changes_;
    if (marking_) changed_[offset / 16] |= static_cast<uint8_t>(1u << ((offset / 2) % 8));
  }
}

// Applies the operation to words [from, to) of a record.
//
// This is the engine's hot loop (every stored grid point inside the area
// passes through it), so it works on four words at a time: a kind sets or
// clears one single bit per word, and a 64-bit pattern holding that bit in
// each of four words is built with put_word, so it matches the file's byte
// order whatever the host's. OR (set) or AND NOT (clear) with the pattern
// applies the kind to four words. The words that change are those whose
// bit was clear (set) before: shifted down to the bottom of each 16-bit
// lane they are summed lane by lane, and the lanes added up at the end.
// Words before and after the four-word chunks go through apply_word.
// When the changed words are marked for a sink, mark_span does the work.
void Modification::apply_span(std::span<uint8_t> record, int32_t from, int32_t to) {
  const Step& step = *step_;
  if (marking_) {
    step_changes_ += step.op.set ? mark_span<true>(record.data(), from, to, step.flag_shift, changed_.data())
                                 : mark_span<false>(record.data(), from, to, step.flag_shift, changed_.data());
    return;
  }
  if (step.pattern == 0) {
    for (int32_t k = from; k < to; ++k) apply_word(record, 2 * k);
    return;
  }
  const uint64_t pattern = step.pattern;
  const int shift = step.pattern_shift;
  constexpr uint64_t LANES = 0x0001000100010001ULL;
  int32_t k = from;
  while (to - k >= 4) {
    // At most 8192 chunks per sum, so that no lane's count overflows.
    const int32_t chunks = std::min((to - k) / 4, 8192);
    const uint64_t lane_sums = step.op.set ? set_chunks(record.data() + 2 * k, chunks, pattern, shift)
                                           : clear_chunks(record.data() + 2 * k, chunks, pattern, shift);
    k += 4 * chunks;
    // The four lane sums (each at most 8192) added into the top lane.
    step_changes_ += static_cast<int64_t>((lane_sums * LANES) >> 48);
  }
  for (; k < to; ++k) apply_word(record, 2 * k);
}

// Applies the operation to the accepted points of one block: xs[0..columns)
// are the block's longitudes, the row evaluator holds the band's rows. The
// runs of accepted points of consecutive rows that meet in the record (a
// run to the end of one row and one from the start of the next) are
// applied as one.
void Modification::apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record) {
  RowTest& row = step_->row;
  int32_t from = 0, to = 0;  // the words waiting to be applied
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
    row.select_row(l - 1);
    if (row.row_empty()) continue;
    row.inside_runs(xs, columns, runs_);
    const int32_t base = (l - 1) * columns;
    for (const InsideRun& run : runs_) {
      if (run.to <= run.from) continue;
      if (to > from && base + run.from == to) {
        to = base + run.to;
        continue;
      }
      if (to > from) apply_span(record, from, to);
      from = base + run.from;
      to = base + run.to;
    }
  }
  if (to > from) apply_span(record, from, to);
}

// The buffer for record r of the file open on `unit`: the sink's when it
// offers one of the right size, otherwise the engine's own.
std::span<uint8_t> Modification::record_buffer(int32_t unit, int32_t record, int32_t length) {
  if (marking_) {
    const std::span<uint8_t> offered = options_.changes->record_buffer(unit, record, length);
    if (offered.size() == static_cast<std::size_t>(length)) return offered;
  }
  return {record_.data(), static_cast<std::size_t>(length)};
}

void Modification::start_record() {
  step_changes_ = 0;
  if (marking_) std::fill(changed_.begin(), changed_.end(), uint8_t{0});
}

// Tells the sink the words modification s changed in the record: a run of
// one modification through changed_words for every record it writes, a
// run of several through changed_words_of for each modification that
// changed words of the record.
void Modification::report_changes(int32_t s, int32_t unit, int32_t record, int32_t length) {
  if (!marking_) return;
  const std::span<const uint8_t> changed{changed_.data(), static_cast<std::size_t>((length / 2 + 7) / 8)};
  if (steps_.size() == 1) {
    options_.changes->changed_words(unit, record, changed);
  } else if (step_changes_ > 0) {
    options_.changes->changed_words_of(s, unit, record, changed);
  }
}

// Ends the work on one file: what was written is forced to the disk and
// the file closed; a failure of either is a failed write, never success.
bool Modification::finish(UnitGuard& unit, const std::string& name, bool write) {
  if (write && files_.FLUSH_FILE(unit.unit()) != 0) {
    result_.notice = write_error(name);
    return false;
  }
  if (unit.close() != 0 && write) {
    result_.notice = write_error(name);
    return false;
  }
  if (write) ++result_.tiles_rewritten;
  report_progress();
  return true;
}

void Modification::report_progress() {
  ++tiles_done_;
  if (options_.progress) options_.progress(tiles_done_, static_cast<int32_t>(tiles_.size()));
}

// Reads record r of tile t, open on `unit`, into `record`, applies every
// modification that touches it in their order (for a listed tile of a
// modification its accepted points, x[0..columns) the block's longitudes
// and the modification's row evaluator holding the band's rows; then the
// edge copies the record receives) and writes it back. The words whose value the run changes are
// counted; with several modifications on one record that is the record as
// written against the record as read, since a later one may undo an
// earlier one's change.
bool Modification::work_record(int32_t t, int32_t unit, int32_t r, std::span<uint8_t> record, const double* x) {
  const Tile& tile = tiles_[t];
  const int32_t columns = tile.origin.columns();
  const int32_t length = tile.origin.record_length();
  int32_t touching = 0;
  for (const auto& [s, st] : tile.steps) touching += steps_[s]->tiles[st].listed || !steps_[s]->tiles[st].copies[r].empty();
  if (touching == 0) return true;

  if (READ_BLOCK(files_, unit, r, record) != 0) {
    result_.notice = read_error(tile.name);
    return false;
  }
  const bool compare = touching > 1 || options_.changed_record;
  if (compare) std::copy(record.begin(), record.end(), before_.begin());
  int64_t changes = 0;
  for (const auto& [s, st] : tile.steps) {
    const StepTile& step_tile = steps_[s]->tiles[st];
    if (!step_tile.listed && step_tile.copies[r].empty()) continue;
    step_ = steps_[s].get();
    start_record();
    if (step_tile.listed && !block_outside(*step_, x, columns)) apply_rows(x, columns, record);
    for (const int32_t offset : step_tile.copies[r]) apply_word(record, offset);
    report_changes(s, unit, r, length);
    changes += step_changes_;
  }
  if (compare) {
    // The words whose value differs from the record as read.
    std::fill(changed_.begin(), changed_.end(), uint8_t{0});
    changes = 0;
    if (!std::equal(record.begin(), record.end(), before_.begin())) {
      for (int32_t w = 0; w < length / 2; ++w) {
        if (record[2 * w] == before_[2 * w] && record[2 * w + 1] == before_[2 * w + 1]) continue;
        ++changes;
        changed_[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
      }
    }
    if (changes > 0 && options_.changed_record) {
      options_.changed_record(tile.name, r, {changed_.data(), static_cast<std::size_t>((length / 2 + 7) / 8)});
    }
  }
  result_.words_changed += changes;
  if (!options_.dry_run && WRITE_BLOCK(files_, unit, r, record) != 0) {
    result_.notice = write_error(tile.name);
    return false;
  }
  return true;
}

// Reads, modifies and rewrites every record of listed tile t, band by band
// and within a band block by block, each record written back right after
// it is read and modified, while its bytes are still in the processor's
// caches; then flushes and closes the file. The rows of a band are
// prepared once for its twelve blocks.
//
// Tiles are done one after another, each file finished before the next is
// opened. Working through all tiles of a latitude degree band by band
// would let one band of rows serve them all, but it keeps several files
// half-written at a time, and forcing those to the disk costs far more
// than preparing the rows again for each tile.
bool Modification::apply_listed(int32_t t) {
  const Tile& tile = tiles_[t];
  fill_longitudes(t, xs_);
  UnitGuard unit(files_);
  if (OPEN_TILE(files_, unit.unit(), TILE_PATH(drive_, tile.name), tile.origin.record_length(), options_.dry_run) !=
      0) {
    result_.notice = open_error(tile.name);
    return false;
  }
  unit.opened();
  const int32_t length = tile.origin.record_length();
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (const auto& [s, st] : tile.steps) {
      if (steps_[s]->tiles[st].listed) set_band(*steps_[s], tile.LAT_DEG, i);
    }
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      const int32_t r = record_number(i, j);
      const double* x = &xs_[(j - 1) * COLUMNS_3S];
      if (!work_record(t, unit.unit(), r, record_buffer(unit.unit(), r, length), x)) return false;
    }
  }
  return finish(unit, tile.name, !options_.dry_run);
}

// Applies the edge copies that neighbour-only tile t receives.
bool Modification::apply_neighbour(int32_t t) {
  const Tile& tile = tiles_[t];
  const int32_t length = tile.origin.record_length();
  const bool write = !options_.dry_run;
  UnitGuard unit(files_);
  if (OPEN_TILE(files_, unit.unit(), TILE_PATH(drive_, tile.name), length, !write) != 0) {
    result_.notice = open_error(tile.name);
    return false;
  }
  unit.opened();
  for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
    bool copied = false;
    for (const auto& [s, st] : tile.steps) copied = copied || !steps_[s]->tiles[st].copies[r].empty();
    if (!copied) continue;
    if (!work_record(t, unit.unit(), r, record_buffer(unit.unit(), r, length), nullptr)) return false;
  }
  return finish(unit, tile.name, write);
}

void Modification::run() {
  marking_ = options_.changes != nullptr && !options_.dry_run;
  for (const auto& step : steps_) marking_ = marking_ && step->pattern != 0;
  // Each modification's tiles, edge answers and copies, in their order;
  // the run's tiles are listed tiles of any modification in order of first
  // listing, then the neighbour-only tiles in order of first use.
  for (int32_t s = 0; s < static_cast<int32_t>(steps_.size()); ++s) {
    list_tiles(s);
    find_edge_answers(s);
    const std::vector<int32_t> list = steps_[s]->list;
    for (std::size_t n = 0; n < list.size(); ++n) {
      if (std::find(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(n), list[n]) ==
          list.begin() + static_cast<std::ptrdiff_t>(n)) {
        plan_copies(s, list[n]);
      }
    }
  }
  std::vector<int32_t> order;
  for (int32_t t = 0; t < static_cast<int32_t>(tiles_.size()); ++t) {
    if (tiles_[t].listed) order.push_back(t);
  }
  for (int32_t t = 0; t < static_cast<int32_t>(tiles_.size()); ++t) {
    if (!tiles_[t].listed) {
      order.push_back(t);
      result_.neighbour_tiles.push_back(tiles_[t].name);
    }
  }
  if (steps_.size() == 1) {
    for (const int32_t t : steps_[0]->list) result_.listed_tiles.push_back(tiles_[t].name);
  } else {
    for (const int32_t t : order) {
      if (tiles_[t].listed) result_.listed_tiles.push_back(tiles_[t].name);
    }
  }

  check_files();
  for (int32_t s = 0; s < static_cast<int32_t>(steps_.size()); ++s) {
    const Notice failure = first_failure(s);
    if (!failure.empty()) {
      result_.outcome = EngineOutcome::FileError;
      result_.notice = failure;
      result_.failed_modification = s;
      return;
    }
  }

  for (const int32_t t : order) {
    if (options_.writing) options_.writing(tiles_[t].name);
    const bool ok = tiles_[t].listed ? apply_listed(t) : apply_neighbour(t);
    if (!ok) {
      result_.outcome = EngineOutcome::FileError;
      return;
    }
  }
  result_.outcome = EngineOutcome::Done;
  result_.notice = {DONE_TEXT, "Info"};
}

}  // namespace

EngineResult apply_modifications(FileServices& files, char drive, std::span<const AreaModification> modifications,
                                 const EngineOptions& options) {
  EngineResult result;
  Modification modification(files, drive, options, result);
  for (std::size_t m = 0; m < modifications.size(); ++m) {
    const VertexTable& table = *modifications[m].table;
    const int32_t mod_kind = modifications[m].mod_kind;
    auto refuse = [&](Notice notice) {
      result.outcome = EngineOutcome::Refused;
      result.notice = std::move(notice);
      result.failed_modification = static_cast<int32_t>(m);
      return result;
    };
    const std::optional<KindOperation> op = kind_operation(mod_kind);
    if (!op) {
      return refuse({"Unknown modification kind " + std::to_string(mod_kind) + "! Modification is not possible!",
                     "Error"});
    }
    const std::size_t capacity = std::min(table.AREA_LON.size(), table.AREA_LAT.size());
    if (table.NREC < 1) return refuse({"The area has no vertices! Modification is not possible!", "Error"});
    if (static_cast<std::size_t>(table.NREC) >= capacity) {
      return refuse({"The area has too many vertices! Modification is not possible!", "Error"});
    }
    const Extent extent = AREA_EXTENT(table);
    const Notice refusal = check_area(extent);
    if (!refusal.empty()) return refuse(refusal);
    modification.add_step(table, *op, extent);
  }
  if (modifications.empty()) {
    result.outcome = EngineOutcome::Refused;
    result.notice = {"No modification is given! Modification is not possible!", "Error"};
    return result;
  }
  modification.run();
  return result;
}

EngineResult apply_modification(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                                const EngineOptions& options) {
  const AreaModification one{&table, mod_kind};
  return apply_modifications(files, drive, {&one, 1}, options);
}

}  // namespace kavlin
