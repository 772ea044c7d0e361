// The work on records: the kind's operation applied to the accepted points
// of a block and to the edge copies a record receives, the bands of rows
// prepared once per latitude degree, and the changed words told to the
// journal and the caller.
#include <algorithm>

#include "base/kernels.h"
#include "tiles/engine_parts.h"

namespace kavlin::engine_parts {

namespace {

// The runs kept for tiles east of the one being worked on take at most
// this many bytes; beyond it a band is prepared again for each tile.
constexpr std::size_t MAX_KEPT_BYTES = std::size_t{64} << 20;
// The band of an area of fewer vertices is prepared again faster than its
// runs are kept and replayed (a rectangle's band costs next to nothing),
// and its row evaluator is made again faster than it is kept.
constexpr int32_t MIN_KEPT_VERTICES = 1000;
// The row evaluators of larger areas are kept from the plan to the
// records up to this many vertices in all (four of the largest areas).
constexpr int64_t MAX_KEPT_VERTICES = 1'000'000;

std::size_t bytes_of(const BandRuns& band) {
  return band.starts.size() * sizeof(int32_t) + band.runs.size() * sizeof(InsideRun);
}

// Words [from, to) of a record waiting to be applied: the runs of accepted
// points of consecutive rows that meet in the record (a run to the end of
// one row and one from the start of the next) are applied as one.
struct PendingSpan {
  int32_t from = 0;
  int32_t to = 0;
};

}  // namespace

// Prepares band i of modification s for listed tile t, unless a tile west
// of it in its latitude degree has already worked out the band's runs for
// it. Freshly prepared, the band also gives its runs to the tiles east of
// t that are still to come, so that it is prepared once per latitude
// degree while every file is still written whole before the next one is
// opened.
void EngineRun::prepare_band(int32_t s, int32_t t, int32_t i) {
  ModificationPlan& step = *steps_[s];
  if (step.tiles[step.index.at(t)].known_band(i) != nullptr) return;
  if (!set_band(step, tiles_[t].LAT_DEG, i) || step.vertices < MIN_KEPT_VERTICES) return;
  const auto lat_row = std::find_if(step.lat_rows.begin(), step.lat_rows.end(),
                                    [&](const LatitudeRow& row) { return row.LAT_DEG == tiles_[t].LAT_DEG; });
  const auto east = std::find(lat_row->tiles.begin(), lat_row->tiles.end(), t);
  for (auto other = east + 1; other < lat_row->tiles.end(); ++other) {
    if (tiles_[*other].done || kept_runs_ >= MAX_KEPT_BYTES) continue;
    BandRuns& band = step.tiles[step.index.at(*other)].band(i);
    const int32_t columns = tiles_[*other].origin.columns();
    std::vector<double>& xs = tiles_[*other].xs;
    if (xs.empty()) fill_longitudes(*other, xs);
    band.starts.assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * ROWS_PER_BLOCK + 1, 0);
    band.runs.reserve(static_cast<std::size_t>(BLOCKS_PER_SIDE) * ROWS_PER_BLOCK);
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      const double* x = &xs[(j - 1) * COLUMNS_3S];
      const bool outside = block_outside(step, x, columns);
      for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
        const std::size_t at = static_cast<std::size_t>(j - 1) * ROWS_PER_BLOCK + (l - 1);
        band.starts[at] = static_cast<int32_t>(band.runs.size());
        if (outside) continue;
        step.row().select_row(l - 1);
        if (step.row().row_empty()) continue;
        step.row().inside_runs(x, columns, runs_);
        for (const InsideRun& run : runs_) {
          if (run.to > run.from) band.runs.push_back(run);
        }
      }
    }
    band.starts.back() = static_cast<int32_t>(band.runs.size());
    kept_runs_ += bytes_of(band);
  }
}

// Lets go of the runs band i of listed tile t was given, and of the row
// evaluators no longer needed.
void EngineRun::release_band(int32_t t, int32_t i) {
  for (const auto& [s, st] : tiles_[t].steps) {
    std::vector<BandRuns>& bands = steps_[s]->tiles[st].bands;
    if (bands.empty()) continue;
    kept_runs_ -= bytes_of(bands[i]);
    bands[i] = BandRuns{};
  }
  drop_rows(t, i == BLOCKS_PER_SIDE);
}

// Once a modification's copies are planned: the row evaluator of a large
// area is kept for its records while the kept ones stay within
// MAX_KEPT_VERTICES; any other is let go and made again when its first
// band is prepared.
void EngineRun::keep_or_drop_rows(ModificationPlan& step) {
  step.kept = step.vertices >= MIN_KEPT_VERTICES && kept_vertices_ + step.vertices <= MAX_KEPT_VERTICES;
  if (!step.kept) {
    step.row_test.reset();
    return;
  }
  kept_vertices_ += step.vertices;
  if (step.row_test) step.row_test->release_band();
}

// After a band of listed tile t (tile_done: its last band): the row
// evaluators of small areas go, and those of the modifications whose last
// listed tile t is. So the evaluators alive are those of the modifications
// at work in one band, not those of every line of a batch.
void EngineRun::drop_rows(int32_t t, bool tile_done) {
  for (const auto& [s, st] : tiles_[t].steps) {
    ModificationPlan& step = *steps_[s];
    if (!step.tiles[st].listed) continue;
    const bool last = tile_done && --step.listed_left == 0;
    if (!last && step.vertices >= MIN_KEPT_VERTICES) continue;
    if (last && step.kept) kept_vertices_ -= step.vertices;
    step.kept = step.kept && !last;
    step.row_test.reset();
  }
}

inline void EngineRun::apply_word(std::span<uint8_t> record, int32_t offset) {
  apply_span(record, offset / 2, offset / 2 + 1);
}

// Applies the operation to words [from, to) of a record, counting the
// words that change and marking them when a sink is told.
void EngineRun::apply_span(std::span<uint8_t> record, int32_t from, int32_t to) {
  step_changes_ += kernels::flag_words(record.data(), from, to, step_->flag, step_->op.set,
                                       marking_ ? changed_.data() : nullptr);
}

namespace {

void add_run(PendingSpan& pending, int32_t from, int32_t to, const auto& apply) {
  if (pending.to > pending.from && from == pending.to) {
    pending.to = to;
    return;
  }
  if (pending.to > pending.from) apply(pending.from, pending.to);
  pending = {from, to};
}

}  // namespace

// Applies the operation to the accepted points of one block: xs[0..columns)
// are the block's longitudes, the row evaluator holds the band's rows.
void EngineRun::apply_rows(const double* xs, int32_t columns, std::span<uint8_t> record) {
  const auto apply = [&](int32_t from, int32_t to) { apply_span(record, from, to); };
  RowTest& row = step_->row();
  PendingSpan pending;
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
    row.select_row(l - 1);
    if (row.row_empty()) continue;
    row.inside_runs(xs, columns, runs_);
    const int32_t base = (l - 1) * columns;
    for (const InsideRun& run : runs_) {
      if (run.to > run.from) add_run(pending, base + run.from, base + run.to, apply);
    }
  }
  if (pending.to > pending.from) apply(pending.from, pending.to);
}

// The same from the runs of block column j worked out beforehand.
void EngineRun::apply_runs(const BandRuns& band, int32_t j, int32_t columns, std::span<uint8_t> record) {
  const auto apply = [&](int32_t from, int32_t to) { apply_span(record, from, to); };
  PendingSpan pending;
  const std::size_t first = static_cast<std::size_t>(j - 1) * ROWS_PER_BLOCK;
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
    const int32_t base = (l - 1) * columns;
    for (int32_t n = band.starts[first + l - 1]; n < band.starts[first + l]; ++n) {
      add_run(pending, base + band.runs[n].from, base + band.runs[n].to, apply);
    }
  }
  if (pending.to > pending.from) apply(pending.from, pending.to);
}

// The modification that alone works on record r of tile t (listed there,
// or sending it edge copies), or -1 when none or several do.
int32_t EngineRun::sole_step(int32_t t, int32_t r) const {
  int32_t sole = -1;
  for (const auto& [s, st] : tiles_[t].steps) {
    if (!steps_[s]->tiles[st].listed && !steps_[s]->tiles[st].receives[r]) continue;
    if (sole >= 0) return -1;
    sole = s;
  }
  return sole;
}

// The buffer for record r of tile t, open on `unit`: the sink's when one
// modification alone works on it and the sink offers one of the right
// size, otherwise the engine's own.
std::span<uint8_t> EngineRun::record_buffer(int32_t t, int32_t unit, int32_t record, int32_t length) {
  if (marking_ && sole_step(t, record) >= 0) {
    const std::span<uint8_t> offered = sink_->record_buffer(unit, record, length);
    if (offered.size() == static_cast<std::size_t>(length)) return offered;
  }
  return {record_.data(), static_cast<std::size_t>(length)};
}

void EngineRun::start_record() {
  step_changes_ = 0;
  if (marking_) std::fill(changed_.begin(), changed_.end(), uint8_t{0});
}

// Tells the sink the words modification s changed in the record when it
// alone works on it (touching: how many do).
void EngineRun::report_changes(int32_t s, int32_t touching, int32_t unit, int32_t record, int32_t length) {
  if (!marking_ || touching != 1) return;
  const std::span<const uint8_t> changed{changed_.data(), static_cast<std::size_t>((length / 2 + 7) / 8)};
  sink_->changed_words(s, unit, record, changed);
}

// Reads record r of tile t, open on `unit`, into `record`, applies every
// modification that touches it in their order (for a listed tile of a
// modification its accepted points of the block, xs_ holding the tile's
// longitudes; then the edge copies the record receives) and writes it
// back. The words whose value the run changes are counted; with several
// modifications on one record that is the record as written against the
// record as read, since a later one may undo an earlier one's change.
bool EngineRun::work_record(int32_t t, int32_t unit, int32_t r, std::span<uint8_t> record) {
  const Tile& tile = tiles_[t];
  const int32_t columns = tile.origin.columns();
  const int32_t length = tile.origin.record_length();
  const int32_t i = (r - 1) / BLOCKS_PER_SIDE + 1;
  const int32_t j = (r - 1) % BLOCKS_PER_SIDE + 1;
  int32_t touching = 0;
  for (const auto& [s, st] : tile.steps) touching += steps_[s]->tiles[st].listed || steps_[s]->tiles[st].receives[r];
  if (touching == 0) return true;

  if (READ_BLOCK(files_, unit, r, record) != 0) {
    result_.notice = tile_read_error(tile.name);
    return false;
  }
  const bool compare = touching > 1 || options_.changed_record;
  if (compare) std::copy(record.begin(), record.end(), before_.begin());
  int64_t changes = 0;
  for (const auto& [s, st] : tile.steps) {
    const StepTile& step_tile = steps_[s]->tiles[st];
    if (!step_tile.listed && !step_tile.receives[r]) continue;
    step_ = steps_[s].get();
    start_record();
    if (step_tile.listed) {
      const double* x = &xs_[(j - 1) * COLUMNS_3S];
      if (const BandRuns* band = step_tile.known_band(i)) {
        apply_runs(*band, j, columns, record);
      } else if (step_->band_reached && !block_outside(*step_, x, columns)) {
        apply_rows(x, columns, record);
      }
    }
    for (const uint16_t offset : step_tile.copies_of(r)) apply_word(record, offset);
    report_changes(s, touching, unit, r, length);
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
    result_.notice = tile_write_error(tile.name);
    return false;
  }
  return true;
}

}  // namespace kavlin::engine_parts
