// The run: every file the plan lists worked through one after another,
// each finished before the next is opened, and the entry points.
#include "tiles/engine.h"

#include <algorithm>
#include <optional>

#include "polygon/area_rules.h"
#include "tiles/engine_parts.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace engine_parts {

// Ends the work on one file: what was written is forced to the disk and
// the file closed; a failure of either is a failed write, never success.
bool EngineRun::finish(UnitGuard& unit, const std::string& name, bool write) {
  if (write && files_.FLUSH_FILE(unit.unit()) != 0) {
    result_.notice = tile_write_error(name);
    return false;
  }
  if (unit.close() != 0 && write) {
    result_.notice = tile_write_error(name);
    return false;
  }
  if (write) ++result_.tiles_rewritten;
  report_progress();
  return true;
}

void EngineRun::report_progress() {
  ++tiles_done_;
  if (options_.progress) options_.progress(tiles_done_, static_cast<int32_t>(tiles_.size()));
}

// Reads, modifies and rewrites every record of listed tile t, band by band
// and within a band block by block, each record written back right after
// it is read and modified, while its bytes are still in the processor's
// caches; then flushes and closes the file. The rows of a band serve its
// twelve blocks, and the tiles east of t in its latitude degree (see
// prepare_band).
bool EngineRun::apply_listed(int32_t t) {
  tiles_[t].done = true;
  const Tile& tile = tiles_[t];
  fill_longitudes(t, xs_);
  tiles_[t].xs = std::vector<double>();
  UnitGuard unit(files_);
  if (OPEN_TILE(files_, unit.unit(), TILE_PATH(drive_, tile.name), tile.origin.record_length(), options_.dry_run) !=
      0) {
    result_.notice = tile_open_error(tile.name);
    return false;
  }
  unit.opened();
  const int32_t length = tile.origin.record_length();
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (const auto& [s, st] : tile.steps) {
      if (steps_[s]->tiles[st].listed) prepare_band(s, t, i);
    }
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      const int32_t r = record_number(i, j);
      if (!work_record(t, unit.unit(), r, record_buffer(t, unit.unit(), r, length))) return false;
    }
    release_band(t, i);
  }
  return finish(unit, tile.name, !options_.dry_run);
}

// Applies the edge copies that neighbour-only tile t receives.
bool EngineRun::apply_neighbour(int32_t t) {
  const Tile& tile = tiles_[t];
  const int32_t length = tile.origin.record_length();
  const bool write = !options_.dry_run;
  UnitGuard unit(files_);
  if (OPEN_TILE(files_, unit.unit(), TILE_PATH(drive_, tile.name), length, !write) != 0) {
    result_.notice = tile_open_error(tile.name);
    return false;
  }
  unit.opened();
  for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
    bool copied = false;
    for (const auto& [s, st] : tile.steps) copied = copied || steps_[s]->tiles[st].receives[r];
    if (!copied) continue;
    if (!work_record(t, unit.unit(), r, record_buffer(t, unit.unit(), r, length))) return false;
  }
  return finish(unit, tile.name, write);
}

void EngineRun::run() {
  sink_ = options_.dry_run ? nullptr : dynamic_cast<ChangeSink*>(&files_);
  marking_ = sink_ != nullptr;
  // Each modification's tiles, edge answers and copies, in their order;
  // the run's tiles are listed tiles of any modification in order of first
  // listing, then the neighbour-only tiles in order of first use.
  for (int32_t s = 0; s < static_cast<int32_t>(steps_.size()); ++s) {
    list_tiles(s);
    find_edge_answers(s);
    const std::vector<int32_t> list = steps_[s]->list;
    for (const int32_t t : list) plan_copies(s, t);
    keep_or_drop_rows(*steps_[s]);
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
    gather_copies(t);
    const bool ok = tiles_[t].listed ? apply_listed(t) : apply_neighbour(t);
    release_copies(t);
    if (!ok) {
      result_.outcome = EngineOutcome::FileError;
      return;
    }
  }
  result_.outcome = EngineOutcome::Done;
  result_.notice = {"All modifications are done!", "Info"};
}

}  // namespace engine_parts

EngineResult apply_modifications(RecordFiles& files, char drive, std::span<const AreaModification> modifications,
                                 const EngineOptions& options) {
  EngineResult result;
  engine_parts::EngineRun modification(files, drive, options, result);
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
    if (table.NREC > MAX_AREA_VERTICES || static_cast<std::size_t>(table.NREC) >= capacity) {
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

EngineResult apply_modification(RecordFiles& files, char drive, const VertexTable& table, int32_t mod_kind,
                                const EngineOptions& options) {
  const AreaModification one{&table, mod_kind};
  return apply_modifications(files, drive, {&one, 1}, options);
}

}  // namespace kavlin
