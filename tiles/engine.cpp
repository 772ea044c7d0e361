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

// Every file the modification writes: listed tiles and neighbour tiles
// that receive edge copies.
struct Tile {
  int32_t LON_DEG = 0;
  int32_t LAT_DEG = 0;
  std::string name;
  TileOrigin origin;
  bool listed = false;
  // Byte offsets of edge copies that other tiles send, per record 1..144.
  std::array<std::vector<int32_t>, RECORDS_PER_TILE + 1> copies;
  // Neighbours contacted per own record (listed tiles only).
  std::array<RecordContacts, RECORDS_PER_TILE + 1> contacts{};
  // File check results.
  bool opens = false;
  int64_t records = 0;

  // Records the run reads and writes: all 144 of a listed tile; of a
  // neighbour-only tile, those up to the last one receiving a copy.
  int32_t needed_records() const {
    if (listed) return RECORDS_PER_TILE;
    for (int32_t r = RECORDS_PER_TILE; r >= 1; --r) {
      if (!copies[r].empty()) return r;
    }
    return 0;
  }
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
  std::vector<int32_t> tiles;  // indices into tiles_, ascending longitude
};

class Modification {
 public:
  Modification(FileServices& files, char drive, const VertexTable& table, KindOperation op, const Extent& extent,
               const EngineOptions& options, EngineResult& result)
      : files_(files), drive_(drive), op_(op), extent_(extent), options_(options), result_(result),
        row_(table, extent) {
    // The four-word pattern of apply_span: the kind's one bit in each of
    // four words, in the file's byte order (0 if the kind were not one bit).
    const uint16_t bit = op_.set ? op_.mask : static_cast<uint16_t>(~op_.mask);
    if (std::popcount(bit) == 1) {
      std::array<uint8_t, 8> pattern_bytes{};
      for (int32_t w = 0; w < 4; ++w) put_word(pattern_bytes, 2 * w, bit);
      pattern_ = std::bit_cast<uint64_t>(pattern_bytes);
      pattern_shift_ = std::countr_zero(pattern_);  // the bit's place in every lane
      flag_shift_ = std::countr_zero(bit);
    }
    marking_ = options_.changes != nullptr && !options_.dry_run && pattern_ != 0;
  }

  void run();

 private:
  int32_t tile_index(int32_t lon, int32_t lat, bool listed);
  void list_tiles();
  void fill_longitudes(int32_t t, std::vector<double>& xs) const;
  void set_band(int32_t lat, int32_t i);
  bool block_outside(const double* xs, int32_t columns) const;
  void find_edge_answers();
  void plan_copies(int32_t t);
  void add_copy(int32_t from, int32_t record, int32_t lon, int32_t lat, int32_t target_record, int32_t offset);
  void check_files();
  Notice first_failure();
  bool apply_listed(int32_t t);
  bool apply_band(int32_t t, int32_t unit, int32_t i, const double* xs);
  bool apply_neighbour(int32_t t);
  bool finish(UnitGuard& unit, const std::string& name, bool write);
  void apply_word(std::span<uint8_t> record, int32_t offset);
  void apply_span(std::span<uint8_t> record, int32_t from, int32_t to);
  void apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record);
  std::span<uint8_t> record_buffer(int32_t unit, int32_t record, int32_t length);
  void start_record();
  void report_changes(int32_t unit, int32_t record, int32_t length);
  void report_progress();

  FileServices& files_;
  char drive_;
  KindOperation op_;
  Extent extent_;
  EngineOptions options_;
  EngineResult& result_;
  RowTest row_;
  uint64_t pattern_ = 0;
  int pattern_shift_ = 0;
  int flag_shift_ = 0;
  // The changed words of the record in hand are marked for options_.changes.
  bool marking_ = false;
  std::vector<uint8_t> changed_ = std::vector<uint8_t>((RECORD_LENGTH_3S / 2 + 7) / 8 + 8);
  std::vector<InsideRun> runs_;
  int32_t tiles_done_ = 0;

  std::vector<Tile> tiles_;
  std::map<std::pair<int32_t, int32_t>, int32_t> index_;
  std::vector<int32_t> list_;          // listed tiles in list order (indices into tiles_)
  std::vector<LatitudeRow> lat_rows_;  // listed tiles by latitude degree, ascending

  // West-edge answers per (i, l) and south-edge answers per (j, k) of each
  // listed tile (indexed like tiles_).
  std::vector<std::vector<uint8_t>> west_;
  std::vector<std::vector<uint8_t>> south_;
  // Longitudes of the listed tile being processed.
  std::vector<double> xs_;
  // The record in hand, of a listed tile or of a neighbour tile.
  std::vector<uint8_t> record_ = std::vector<uint8_t>(RECORD_LENGTH_3S);
};

int32_t Modification::tile_index(int32_t lon, int32_t lat, bool listed) {
  const auto key = std::make_pair(lon, lat);
  const auto found = index_.find(key);
  if (found != index_.end()) return found->second;
  Tile tile;
  tile.LON_DEG = lon;
  tile.LAT_DEG = lat;
  tile.name = TILE_NAME(lon, lat);
  tile.origin = TILE_ORIGIN(tile.name);
  tile.listed = listed;
  tiles_.push_back(std::move(tile));
  const auto index = static_cast<int32_t>(tiles_.size() - 1);
  index_.emplace(key, index);
  if (!listed) result_.neighbour_tiles.push_back(tiles_.back().name);
  return index;
}

void Modification::list_tiles() {
  const double lon_first = std::floor(extent_.LON_MIN);
  const double lat_first = std::floor(extent_.LAT_MIN);
  // The area check has limited both counts, so these are small.
  const auto lon_count = static_cast<int32_t>(std::floor(extent_.LON_MAX) - lon_first + 1.0);
  const auto lat_count = static_cast<int32_t>(std::floor(extent_.LAT_MAX) - lat_first + 1.0);
  for (int32_t a = 0; a < lon_count; ++a) {
    const int32_t lon = degree_to_int(lon_first + a);
    for (int32_t b = 0; b < lat_count; ++b) {
      const int32_t lat = degree_to_int(lat_first + b);
      const int32_t t = tile_index(lon, lat, true);
      list_.push_back(t);
      result_.listed_tiles.push_back(tiles_[t].name);
    }
  }
  // The same tiles by latitude degree; list order is longitude first, so
  // each degree's tiles come west to east. A tile listed twice (only
  // clamped, nameless degrees can be) is taken once.
  for (const int32_t t : list_) {
    const int32_t lat = tiles_[t].LAT_DEG;
    auto row = std::find_if(lat_rows_.begin(), lat_rows_.end(), [=](const LatitudeRow& r) { return r.LAT_DEG == lat; });
    if (row == lat_rows_.end()) row = lat_rows_.insert(lat_rows_.end(), LatitudeRow{lat, {}});
    if (std::find(row->tiles.begin(), row->tiles.end(), t) == row->tiles.end()) row->tiles.push_back(t);
  }
  std::sort(lat_rows_.begin(), lat_rows_.end(),
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

// Prepares the row evaluator for the 101 rows of band i of latitude degree
// lat. Every tile of that degree has these very latitudes.
void Modification::set_band(int32_t lat, int32_t i) {
  std::array<double, ROWS_PER_BLOCK> ys{};
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) ys[l - 1] = grid_latitude(lat, i, l);
  row_.set_rows(ys.data(), ROWS_PER_BLOCK);
}

// True when no longitude of the block lies within the extent.
bool Modification::block_outside(const double* xs, int32_t columns) const {
  return xs[columns - 1] < extent_.LON_MIN || xs[0] > extent_.LON_MAX;
}

// The answers for the west column and the south row of every listed tile,
// whose copies the neighbour tiles receive. One sweep over the rows, band
// by band and degree by degree from south to north.
void Modification::find_edge_answers() {
  west_.assign(tiles_.size(), {});
  south_.assign(tiles_.size(), {});
  std::vector<double> xs;
  for (const LatitudeRow& lat_row : lat_rows_) {
    for (const int32_t t : lat_row.tiles) {
      west_[t].assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * ROWS_PER_BLOCK, 0);
      south_[t].assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * COLUMNS_3S, 0);
    }
    for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
      set_band(lat_row.LAT_DEG, i);
      for (const int32_t t : lat_row.tiles) {
        const Tile& tile = tiles_[t];
        // West edge: column 1 of the blocks j = 1, every row.
        const double x_west = grid_longitude(tile.LON_DEG, 1, 1, tile.origin.spacing);
        if (!(x_west < extent_.LON_MIN || x_west > extent_.LON_MAX)) {
          for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
            row_.select_row(l - 1);
            west_[t][(i - 1) * ROWS_PER_BLOCK + (l - 1)] = row_.inside(x_west) ? 1 : 0;
          }
        }
        // South edge: row 1 of band 1, every column of every block.
        if (i != 1) continue;
        row_.select_row(0);
        if (row_.row_empty()) continue;
        fill_longitudes(t, xs);
        const int32_t columns = tile.origin.columns();
        for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
          row_.inside_runs(&xs[(j - 1) * COLUMNS_3S], columns, runs_);
          uint8_t* south = &south_[t][(j - 1) * COLUMNS_3S];
          for (const InsideRun& run : runs_) std::fill(south + run.from, south + run.to, uint8_t{1});
        }
      }
    }
  }
}

void Modification::add_copy(int32_t from, int32_t record, int32_t lon, int32_t lat, int32_t target_record,
                            int32_t offset) {
  const int32_t target = tile_index(lon, lat, false);
  tiles_[target].copies[target_record].push_back(offset);
  tiles_[from].contacts[record].add(target, target_record);
}

// Records the copies of the accepted west-edge and south-edge points of
// listed tile t in the neighbour tiles, in the order the walk meets them.
void Modification::plan_copies(int32_t t) {
  const int32_t lon = tiles_[t].LON_DEG;
  const int32_t lat = tiles_[t].LAT_DEG;
  const int32_t spacing = tiles_[t].origin.spacing;
  const int32_t columns = tiles_[t].origin.columns();
  const std::vector<uint8_t>& west = west_[t];
  const std::vector<uint8_t>& south = south_[t];

  // Where the copies land.
  const bool has_south = lat - 1 >= 0;  // no tile south of the equator
  const TileOrigin south_origin = origin_of(lon, lat - 1);
  const int32_t south_columns = south_origin.columns();
  const bool doubled = spacing == 6 && south_origin.spacing == 3;
  auto west_copy = [&](int32_t r, int32_t l) {
    add_copy(t, r, lon - 1, lat, r + 11, word_offset(l, columns, columns));
  };
  auto south_copy = [&](int32_t r, int32_t k) {
    if (!has_south) return;
    const int32_t column = doubled ? 2 * k - 1 : k;
    add_copy(t, r, lon, lat - 1, r + 132, word_offset(ROWS_PER_BLOCK, column, south_columns));
  };
  auto corner_copy = [&](int32_t r) {
    if (!has_south) return;
    add_copy(t, r, lon - 1, lat - 1, RECORDS_PER_TILE, word_offset(ROWS_PER_BLOCK, south_columns, south_columns));
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

// The message the record-by-record walk would show first, given the file
// checks; empty when every file passes.
Notice Modification::first_failure() {
  bool all_good = true;
  for (const Tile& tile : tiles_) all_good = all_good && tile.opens && tile.records >= tile.needed_records();
  if (all_good) return {};

  std::vector<uint8_t> seen(tiles_.size(), 0);
  std::vector<int32_t> contact_order;
  auto contact = [&](int32_t t) {
    if (!seen[t]) {
      seen[t] = 1;
      contact_order.push_back(t);
    }
  };
  for (const int32_t t : list_) {
    contact(t);
    if (!tiles_[t].opens) return open_error(tiles_[t].name);
    for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
      if (tiles_[t].records < r) return read_error(tiles_[t].name);
      const RecordContacts& contacts = tiles_[t].contacts[r];
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
    if (tiles_[t].records < tiles_[t].needed_records()) return read_error(tiles_[t].name);
  }
  return read_error(tiles_[contact_order.empty() ? 0 : contact_order.front()].name);
}

inline void Modification::apply_word(std::span<uint8_t> record, int32_t offset) {
  const uint16_t old_word = get_word(record, offset);
  const uint16_t new_word = apply_kind(op_, old_word);
  if (new_word != old_word) {
    put_word(record, offset, new_word);
    ++result_.words_changed;
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
  if (marking_) {
    result_.words_changed += op_.set ? mark_span<true>(record.data(), from, to, flag_shift_, changed_.data())
                                     : mark_span<false>(record.data(), from, to, flag_shift_, changed_.data());
    return;
  }
  if (pattern_ == 0) {
    for (int32_t k = from; k < to; ++k) apply_word(record, 2 * k);
    return;
  }
  const uint64_t pattern = pattern_;
  const int shift = pattern_shift_;
  constexpr uint64_t LANES = 0x0001000100010001ULL;
  int32_t k = from;
  while (to - k >= 4) {
    // At most 8192 chunks per sum, so that no lane's count overflows.
    const int32_t chunks = std::min((to - k) / 4, 8192);
    const uint64_t lane_sums = op_.set ? set_chunks(record.data() + 2 * k, chunks, pattern, shift)
                                       : clear_chunks(record.data() + 2 * k, chunks, pattern, shift);
    k += 4 * chunks;
    // The four lane sums (each at most 8192) added into the top lane.
    result_.words_changed += static_cast<int64_t>((lane_sums * LANES) >> 48);
  }
  for (; k < to; ++k) apply_word(record, 2 * k);
}

// Applies the operation to the accepted points of one block: xs[0..columns)
// are the block's longitudes, the row evaluator holds the band's rows. The
// runs of accepted points of consecutive rows that meet in the record (a
// run to the end of one row and one from the start of the next) are
// applied as one.
void Modification::apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record) {
  int32_t from = 0, to = 0;  // the words waiting to be applied
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
    row_.select_row(l - 1);
    if (row_.row_empty()) continue;
    row_.inside_runs(xs, columns, runs_);
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
  if (marking_) std::fill(changed_.begin(), changed_.end(), uint8_t{0});
}

void Modification::report_changes(int32_t unit, int32_t record, int32_t length) {
  if (marking_) options_.changes->changed_words(unit, record, {changed_.data(), static_cast<std::size_t>((length / 2 + 7) / 8)});
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

// Reads, modifies and rewrites the twelve records of band i of listed tile
// t, open on `unit`; the row evaluator holds the band's rows. Each record
// is written back right after it is read and modified, while its bytes are
// still in the processor's caches.
bool Modification::apply_band(int32_t t, int32_t unit, int32_t i, const double* xs) {
  const Tile& tile = tiles_[t];
  const int32_t columns = tile.origin.columns();
  const int32_t length = tile.origin.record_length();
  for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
    const int32_t r = record_number(i, j);
    const std::span<uint8_t> record = record_buffer(unit, r, length);
    if (READ_BLOCK(files_, unit, r, record) != 0) {
      result_.notice = read_error(tile.name);
      return false;
    }
    start_record();
    const double* x = &xs[(j - 1) * COLUMNS_3S];
    if (!block_outside(x, columns)) apply_rows(x, columns, record);
    for (const int32_t offset : tile.copies[r]) apply_word(record, offset);
    report_changes(unit, r, length);
    if (!options_.dry_run && WRITE_BLOCK(files_, unit, r, record) != 0) {
      result_.notice = write_error(tile.name);
      return false;
    }
  }
  return true;
}

// Reads, modifies and rewrites every record of listed tile t, band by band
// and within a band block by block, each record written back right after
// it is read and modified; then flushes and closes the file. The rows of a
// band are prepared once for its twelve blocks.
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
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    set_band(tile.LAT_DEG, i);
    if (!apply_band(t, unit.unit(), i, xs_.data())) return false;
  }
  return finish(unit, tile.name, !options_.dry_run);
}

// Applies the edge copies that neighbour-only tile t receives.
bool Modification::apply_neighbour(int32_t t) {
  Tile& tile = tiles_[t];
  const int32_t length = tile.origin.record_length();
  const bool write = !options_.dry_run;
  UnitGuard unit(files_);
  if (OPEN_TILE(files_, unit.unit(), TILE_PATH(drive_, tile.name), length, !write) != 0) {
    result_.notice = open_error(tile.name);
    return false;
  }
  unit.opened();
  for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
    if (tile.copies[r].empty()) continue;
    const std::span<uint8_t> buffer = record_buffer(unit.unit(), r, length);
    if (READ_BLOCK(files_, unit.unit(), r, buffer) != 0) {
      result_.notice = read_error(tile.name);
      return false;
    }
    start_record();
    for (const int32_t offset : tile.copies[r]) apply_word(buffer, offset);
    report_changes(unit.unit(), r, length);
    if (write && WRITE_BLOCK(files_, unit.unit(), r, buffer) != 0) {
      result_.notice = write_error(tile.name);
      return false;
    }
  }
  return finish(unit, tile.name, write);
}

void Modification::run() {
  list_tiles();
  find_edge_answers();
  const auto listed_count = static_cast<int32_t>(tiles_.size());  // neighbours come after
  for (int32_t t = 0; t < listed_count; ++t) plan_copies(t);

  check_files();
  const Notice failure = first_failure();
  if (!failure.empty()) {
    result_.outcome = EngineOutcome::FileError;
    result_.notice = failure;
    return;
  }

  for (std::size_t t = 0; t < tiles_.size(); ++t) {
    if (options_.writing) options_.writing(tiles_[t].name);
    const bool ok = tiles_[t].listed ? apply_listed(static_cast<int32_t>(t)) : apply_neighbour(static_cast<int32_t>(t));
    if (!ok) {
      result_.outcome = EngineOutcome::FileError;
      return;
    }
  }
  result_.outcome = EngineOutcome::Done;
  result_.notice = {DONE_TEXT, "Info"};
}

}  // namespace

EngineResult apply_modification(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                                const EngineOptions& options) {
  EngineResult result;
  const std::optional<KindOperation> op = kind_operation(mod_kind);
  if (!op) {
    result.outcome = EngineOutcome::Refused;
    result.notice = {"Unknown modification kind " + std::to_string(mod_kind) + "! Modification is not possible!",
                     "Error"};
    return result;
  }
  const std::size_t capacity = std::min(table.AREA_LON.size(), table.AREA_LAT.size());
  if (table.NREC < 1) {
    result.outcome = EngineOutcome::Refused;
    result.notice = {"The area has no vertices! Modification is not possible!", "Error"};
    return result;
  }
  if (static_cast<std::size_t>(table.NREC) >= capacity) {
    result.outcome = EngineOutcome::Refused;
    result.notice = {"The area has too many vertices! Modification is not possible!", "Error"};
    return result;
  }
  const Extent extent = AREA_EXTENT(table);
  const Notice refusal = check_area(extent);
  if (!refusal.empty()) {
    result.outcome = EngineOutcome::Refused;
    result.notice = refusal;
    return result;
  }
  Modification modification(files, drive, table, *op, extent, options, result);
  modification.run();
  return result;
}

void APPLY_MODIFICATION(UiServices& ui, FileServices& files, ProgramValues& values) {
  // The progress display shows itself only when the work lasts; it is gone
  // before the closing message.
  EngineOptions options;
  options.progress = [&ui](int32_t done, int32_t total) { ui.SHOW_PROGRESS(done, total); };
  const EngineResult result = apply_modification(files, values.DRIVE_LETTER, values.AREA, values.MOD_KIND, options);
  ui.END_PROGRESS();
  ui.MESSAGE_BOX(result.notice.text, result.notice.caption, 0);
  if (result.outcome == EngineOutcome::Done) return;
  ui.STOP_PROGRAM(0);
}

}  // namespace kavlin
