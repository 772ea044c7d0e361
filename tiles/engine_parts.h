// The engine's inner parts, shared by its files and by nothing else: the
// plan of a run (engine_plan.cpp: the tiles, edge answers, copies and file
// checks), the work on records (engine_records.cpp: the operation applied
// and the changes reported) and the run itself (engine.cpp: the files one
// after another, and the entry points).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "polygon/area_rules.h"
#include "tiles/engine.h"
#include "tiles/tile_files.h"

namespace kavlin::engine_parts {

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

// The runs of accepted points of one band of one listed tile, worked out
// while the band was prepared for a tile west of it: the runs of row l of
// block column j are runs[starts[(j - 1) * 101 + (l - 1)] .. starts[... + 1]).
struct BandRuns {
  std::vector<int32_t> starts;
  std::vector<InsideRun> runs;
};

// The answers of a listed tile's west column, per (i, l) at
// (i - 1) * 101 + (l - 1), and south row, per (j, k) at (j - 1) * 101 +
// (k - 1): the points whose copies the neighbour tiles receive.
struct EdgeAnswers {
  std::bitset<static_cast<std::size_t>(BLOCKS_PER_SIDE) * ROWS_PER_BLOCK> west;
  std::bitset<static_cast<std::size_t>(BLOCKS_PER_SIDE) * COLUMNS_3S> south;
};

// What one modification of the run does to one file: whether the file is
// one of its listed tiles, the records that receive edge copies from its
// listed tiles and, for a listed tile, its edge answers.
//
// The copies themselves are worked out from the senders' edge answers
// when the file is worked and let go after it, and the edge answers go
// once every file they send copies to is done: a batch keeps a few
// hundred bytes for each file of each line, not the copies of them all.
struct StepTile {
  int32_t tile = 0;  // index into the run's tiles
  bool listed = false;
  // Records 1..144 that receive edge copies, and the modification's listed
  // tiles that send them (indices into the run's tiles, in list order).
  std::bitset<RECORDS_PER_TILE + 1> receives;
  std::vector<int32_t> senders;
  // Of a listed tile: its edge answers, and the files receiving copies of
  // them that are still to be worked.
  std::unique_ptr<EdgeAnswers> answers;
  int32_t targets_left = 0;
  // Byte offsets of the copies received, per record 1..144, while the file
  // is worked (see EngineRun::gather_copies).
  std::vector<std::vector<uint16_t>> copies;
  std::span<const uint16_t> copies_of(int32_t r) const {
    return copies.empty() ? std::span<const uint16_t>() : std::span<const uint16_t>(copies[r]);
  }
  // Bands 1..12 whose runs are already known (empty starts: not known),
  // made on first use: most files of a batch of small areas get none.
  std::vector<BandRuns> bands;
  BandRuns& band(int32_t i) {
    if (bands.empty()) bands.resize(BLOCKS_PER_SIDE + 1);
    return bands[i];
  }
  const BandRuns* known_band(int32_t i) const {
    return bands.empty() || bands[i].starts.empty() ? nullptr : &bands[i];
  }

  // Records the modification reads and writes: all 144 of a listed tile;
  // of a neighbour-only tile, those up to the last one receiving a copy.
  int32_t needed_records() const {
    if (listed) return RECORDS_PER_TILE;
    for (int32_t r = RECORDS_PER_TILE; r >= 1; --r) {
      if (receives[r]) return r;
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
  bool done = false;    // worked through
  // Longitudes of the tile's points (see fill_longitudes) while bands are
  // worked out for it ahead of time.
  std::vector<double> xs;
  // The modifications that touch the file, in their order: (modification,
  // index into its tiles).
  std::vector<std::pair<int32_t, int32_t>> steps;
  // File check results.
  bool opens = false;
  int64_t records = 0;
};

// Closes a unit when it goes out of scope unless it was closed on purpose.
class UnitGuard {
 public:
  explicit UnitGuard(RecordFiles& files) : files_(files) {}
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
  RecordFiles& files_;
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
struct ModificationPlan {
  ModificationPlan(const VertexTable& table, KindOperation kind_op, const Extent& area_extent)
      : op(kind_op),
        flag(op.set ? op.mask : static_cast<uint16_t>(~op.mask)),
        extent(area_extent),
        vertices(table.NREC),
        area(&table) {}
  KindOperation op;
  uint16_t flag;  // the one bit the kind sets or clears
  Extent extent;
  int32_t vertices;
  const VertexTable* area;  // the caller's, for the length of the run
  // The row evaluator, made from the area when first needed and let go
  // when the run has no use for it for a while (see EngineRun::drop_rows):
  // a batch of many lines keeps only those of the lines at work.
  std::unique_ptr<RowTest> row_test;
  RowTest& row() {
    if (!row_test) row_test = std::make_unique<RowTest>(*area, extent);
    return *row_test;
  }
  bool kept = false;          // row_test kept from the plan to the records
  bool band_reached = false;  // some row of the band in hand lies within the extent
  int32_t listed_left = 0;    // listed tiles not yet worked through
  std::vector<StepTile> tiles;
  std::map<int32_t, int32_t> index;   // run tile -> index into tiles
  std::vector<int32_t> list;          // listed tiles in list order (indices into the run's tiles)
  std::vector<LatitudeRow> lat_rows;  // listed tiles by latitude degree, ascending
};

// One run of the engine: the modifications it makes together (one for a
// single run), the files they touch, and the records worked through.
class EngineRun {
 public:
  EngineRun(RecordFiles& files, char drive, const EngineOptions& options, EngineResult& result)
      : files_(files), drive_(drive), options_(options), result_(result) {}

  void add_step(const VertexTable& table, KindOperation op, const Extent& extent) {
    steps_.push_back(std::make_unique<ModificationPlan>(table, op, extent));
  }
  void run();

 private:
  // The plan (engine_plan.cpp).
  int32_t tile_index(int32_t lon, int32_t lat, bool listed);
  StepTile& step_tile(int32_t s, int32_t t);
  void list_tiles(int32_t s);
  void fill_longitudes(int32_t t, std::vector<double>& xs) const;
  static std::array<double, ROWS_PER_BLOCK> band_latitudes(int32_t lat, int32_t i);
  static bool set_band(ModificationPlan& step, int32_t lat, int32_t i);
  static bool block_outside(const ModificationPlan& step, const double* xs, int32_t columns);
  void keep_or_drop_rows(ModificationPlan& step);
  void drop_rows(int32_t t, bool tile_done);
  void find_edge_answers(int32_t s);
  template <class Copy>
  void for_each_copy(int32_t s, int32_t t, const Copy& copy) const;
  void plan_copies(int32_t s, int32_t t);
  void gather_copies(int32_t t);
  void release_copies(int32_t t);
  void check_files();
  Notice first_failure(int32_t s);

  // The records (engine_records.cpp).
  void prepare_band(int32_t s, int32_t t, int32_t i);
  void release_band(int32_t t, int32_t i);
  bool work_record(int32_t t, int32_t unit, int32_t r, std::span<uint8_t> record);
  void apply_word(std::span<uint8_t> record, int32_t offset);
  void apply_span(std::span<uint8_t> record, int32_t from, int32_t to);
  void apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record);
  void apply_runs(const BandRuns& band, int32_t j, int32_t columns, std::span<uint8_t> record);
  int32_t sole_step(int32_t t, int32_t r) const;
  std::span<uint8_t> record_buffer(int32_t t, int32_t unit, int32_t record, int32_t length);
  void start_record();
  void report_changes(int32_t s, int32_t touching, int32_t unit, int32_t record, int32_t length);

  // The run (engine.cpp).
  bool apply_listed(int32_t t);
  bool apply_neighbour(int32_t t);
  bool finish(UnitGuard& unit, const std::string& name, bool write);
  void report_progress();

  RecordFiles& files_;
  char drive_;
  EngineOptions options_;
  EngineResult& result_;
  std::vector<std::unique_ptr<ModificationPlan>> steps_;
  // The modification at work on the record in hand, and the words it
  // changed there.
  ModificationPlan* step_ = nullptr;
  int64_t step_changes_ = 0;
  // The run journal the record files are, told the changes (not in a dry
  // run), and whether the changed words of the record in hand are marked.
  ChangeSink* sink_ = nullptr;
  bool marking_ = false;
  std::vector<uint8_t> changed_ = std::vector<uint8_t>((RECORD_LENGTH_3S / 2 + 7) / 8 + 8);
  std::vector<InsideRun> runs_;
  int32_t tiles_done_ = 0;
  // Runs kept in the tiles' BandRuns, bounded by MAX_KEPT_BYTES.
  std::size_t kept_runs_ = 0;
  // Vertices of the areas whose row evaluators are kept from the plan to
  // the records, bounded by MAX_KEPT_VERTICES.
  int64_t kept_vertices_ = 0;

  std::vector<Tile> tiles_;
  std::map<std::pair<int32_t, int32_t>, int32_t> index_;
  // Longitudes of the listed tile being processed.
  std::vector<double> xs_;
  // The record in hand, of a listed tile or of a neighbour tile, and the
  // record as read when several modifications change it.
  std::vector<uint8_t> record_ = std::vector<uint8_t>(RECORD_LENGTH_3S);
  std::vector<uint8_t> before_ = std::vector<uint8_t>(RECORD_LENGTH_3S);
};

}  // namespace kavlin::engine_parts
