// The plan of a run: the tiles each modification lists, the answers of
// their west and south edges, the copies those send into the neighbour
// tiles, and the checks of every file before the first write.
#include <algorithm>
#include <cmath>

#include "tiles/engine_parts.h"

namespace kavlin::engine_parts {

int32_t EngineRun::tile_index(int32_t lon, int32_t lat, bool listed) {
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
StepTile& EngineRun::step_tile(int32_t s, int32_t t) {
  ModificationPlan& step = *steps_[s];
  const auto found = step.index.find(t);
  if (found != step.index.end()) return step.tiles[found->second];
  const auto index = static_cast<int32_t>(step.tiles.size());
  step.index.emplace(t, index);
  tiles_[t].steps.emplace_back(s, index);
  step.tiles.emplace_back();
  step.tiles.back().tile = t;
  return step.tiles.back();
}

void EngineRun::list_tiles(int32_t s) {
  ModificationPlan& step = *steps_[s];
  // The area check has limited the extent to a few tiles.
  for (const TileDegrees& degrees : extent_tiles(step.extent, NEIGHBOUR_CLAMP)) {
    const int32_t t = tile_index(degrees.LON_DEG, degrees.LAT_DEG, true);
    step_tile(s, t).listed = true;
    step.list.push_back(t);
  }
  step.listed_left = static_cast<int32_t>(step.tiles.size());  // each listed once
  // The same tiles by latitude degree; list order is longitude first, so
  // each degree's tiles come west to east.
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
void EngineRun::fill_longitudes(int32_t t, std::vector<double>& xs) const {
  const Tile& tile = tiles_[t];
  const int32_t columns = tile.origin.columns();
  xs.assign(static_cast<std::size_t>(BLOCKS_PER_SIDE) * COLUMNS_3S, 0.0);
  for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
    for (int32_t k = 1; k <= columns; ++k) {
      xs[(j - 1) * COLUMNS_3S + (k - 1)] = grid_longitude(tile.LON_DEG, j, k, tile.origin.spacing);
    }
  }
}

// The latitudes of the 101 rows of band i of latitude degree lat. Every
// tile of that degree has these very latitudes.
std::array<double, ROWS_PER_BLOCK> EngineRun::band_latitudes(int32_t lat, int32_t i) {
  std::array<double, ROWS_PER_BLOCK> ys{};
  for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) ys[l - 1] = grid_latitude(lat, i, l);
  return ys;
}

// Prepares the modification's row evaluator for the rows of band i of
// latitude degree lat, and notes in band_reached whether any of them lies
// within the extent. A band that no row reaches is not prepared: every
// point of it is outside, and its rows must not be asked.
bool EngineRun::set_band(ModificationPlan& step, int32_t lat, int32_t i) {
  const std::array<double, ROWS_PER_BLOCK> ys = band_latitudes(lat, i);
  step.band_reached = std::any_of(ys.begin(), ys.end(), [&](double y) {
    return !(y < step.extent.LAT_MIN || y > step.extent.LAT_MAX);
  });
  if (step.band_reached) step.row().set_rows(ys.data(), ROWS_PER_BLOCK);
  return step.band_reached;
}

// True when no longitude of the block lies within the extent.
bool EngineRun::block_outside(const ModificationPlan& step, const double* xs, int32_t columns) {
  return xs[columns - 1] < step.extent.LON_MIN || xs[0] > step.extent.LON_MAX;
}

// The answers for the west column and the south row of every listed tile
// of modification s, whose copies the neighbour tiles receive. One sweep
// over the rows, band by band and degree by degree from south to north.
void EngineRun::find_edge_answers(int32_t s) {
  ModificationPlan& step = *steps_[s];
  std::vector<double> xs;
  for (const LatitudeRow& lat_row : step.lat_rows) {
    for (const int32_t t : lat_row.tiles) step_tile(s, t).answers = std::make_unique<EdgeAnswers>();
    for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
      if (!set_band(step, lat_row.LAT_DEG, i)) continue;
      for (const int32_t t : lat_row.tiles) {
        const Tile& tile = tiles_[t];
        StepTile& st = step_tile(s, t);
        // West edge: column 1 of the blocks j = 1, every row.
        const double x_west = grid_longitude(tile.LON_DEG, 1, 1, tile.origin.spacing);
        if (!(x_west < step.extent.LON_MIN || x_west > step.extent.LON_MAX)) {
          for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
            step.row().select_row(l - 1);
            st.answers->west[(i - 1) * ROWS_PER_BLOCK + (l - 1)] = step.row().inside(x_west);
          }
        }
        // South edge: row 1 of band 1, every column of every block.
        if (i != 1) continue;
        step.row().select_row(0);
        if (step.row().row_empty()) continue;
        fill_longitudes(t, xs);
        const int32_t columns = tile.origin.columns();
        for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
          step.row().inside_runs(&xs[(j - 1) * COLUMNS_3S], columns, runs_);
          const std::size_t at = static_cast<std::size_t>(j - 1) * COLUMNS_3S;
          for (const InsideRun& run : runs_) {
            for (int32_t k = run.from; k < run.to; ++k) st.answers->south.set(at + k);
          }
        }
      }
    }
  }
}

// Calls copy(r, place) for every copy of an accepted west-edge or
// south-edge point of listed tile t of modification s, record r of t, in
// the order the walk meets them; place is where the edge-copy rule puts it.
template <class Copy>
void EngineRun::for_each_copy(int32_t s, int32_t t, const Copy& copy) const {
  const ModificationPlan& step = *steps_[s];
  const EdgeAnswers* answers = step.tiles[step.index.at(t)].answers.get();
  if (answers == nullptr) return;
  const TileOrigin origin = TILE_ORIGIN(tiles_[t].LON_DEG, tiles_[t].LAT_DEG);
  const int32_t columns = origin.columns();
  auto copies = [&](int32_t r, int32_t l, int32_t k) {
    for (const StoredPlace& place : edge_copies(origin, r, l, k)) copy(r, place);
  };
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
      const int32_t r = record_number(i, j);
      int32_t first_west_row = 1;
      if (i == 1) {
        // Row 1 first, west to east; its column 1 (j = 1) is the corner.
        for (int32_t k = 1; k <= columns; ++k) {
          if (answers->south[static_cast<std::size_t>(j - 1) * COLUMNS_3S + (k - 1)]) copies(r, 1, k);
        }
        first_west_row = 2;
      }
      if (j == 1) {
        for (int32_t l = first_west_row; l <= ROWS_PER_BLOCK; ++l) {
          if (answers->west[static_cast<std::size_t>(i - 1) * ROWS_PER_BLOCK + (l - 1)]) copies(r, l, 1);
        }
      }
    }
  }
}

// Notes which records of which neighbour tiles receive copies of the
// accepted edge points of listed tile t of modification s. Its edge
// answers stay until those tiles are worked; with none, they go now.
void EngineRun::plan_copies(int32_t s, int32_t t) {
  std::vector<int32_t> targets;
  for_each_copy(s, t, [&](int32_t, const StoredPlace& place) {
    const int32_t target = tile_index(place.LON_DEG, place.LAT_DEG, false);
    StepTile& to = step_tile(s, target);
    to.receives.set(static_cast<std::size_t>(place.record));
    if (to.senders.empty() || to.senders.back() != t) to.senders.push_back(t);
    if (std::find(targets.begin(), targets.end(), target) == targets.end()) targets.push_back(target);
  });
  StepTile& from = step_tile(s, t);
  from.targets_left = static_cast<int32_t>(targets.size());
  if (targets.empty()) from.answers.reset();
}

// Works out the byte offsets of the copies run tile t receives from every
// modification, from the edge answers of the tiles that send them.
void EngineRun::gather_copies(int32_t t) {
  static_assert(RECORD_LENGTH_3S <= 65536 && RECORD_LENGTH_6S <= 65536, "a word's offset fits 16 bits");
  const Tile& tile = tiles_[t];
  for (const auto& [s, st] : tile.steps) {
    StepTile& to = steps_[s]->tiles[st];
    if (to.senders.empty()) continue;
    to.copies.assign(RECORDS_PER_TILE + 1, {});
    for (const int32_t sender : to.senders) {
      for_each_copy(s, sender, [&](int32_t, const StoredPlace& place) {
        if (place.LON_DEG != tile.LON_DEG || place.LAT_DEG != tile.LAT_DEG) return;
        to.copies[place.record].push_back(
            static_cast<uint16_t>(word_offset(place.row, place.column, tile.origin.columns())));
      });
    }
  }
}

// Lets go of the copies run tile t received, and of the edge answers that
// no tile still to be worked needs.
void EngineRun::release_copies(int32_t t) {
  for (const auto& [s, st] : tiles_[t].steps) {
    ModificationPlan& step = *steps_[s];
    StepTile& to = step.tiles[st];
    to.copies = {};
    for (const int32_t sender : to.senders) {
      StepTile& from = step.tiles[step.index.at(sender)];
      if (--from.targets_left == 0) from.answers.reset();
    }
  }
}

void EngineRun::check_files() {
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
Notice EngineRun::first_failure(int32_t s) {
  const ModificationPlan& step = *steps_[s];
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
    if (!tiles_[t].opens) return tile_open_error(tiles_[t].name);
    // The neighbours each record's copies go to, in the order the walk
    // opens them.
    std::vector<RecordContacts> own(RECORDS_PER_TILE + 1);
    for_each_copy(s, t, [&](int32_t r, const StoredPlace& place) {
      own[r].add(index_.at({place.LON_DEG, place.LAT_DEG}), place.record);
    });
    for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
      if (tiles_[t].records < r) return tile_read_error(tiles_[t].name);
      const RecordContacts& contacts = own[r];
      for (int32_t n = 0; n < contacts.count; ++n) {
        const Tile& neighbour = tiles_[contacts.items[n].tile];
        contact(contacts.items[n].tile);
        if (!neighbour.opens) return tile_open_error(neighbour.name);
        if (neighbour.records < contacts.items[n].record) return tile_read_error(neighbour.name);
      }
    }
  }
  // The walk itself would get through, yet a file it writes does not hold
  // the records it needs.
  for (const int32_t t : contact_order) {
    if (tiles_[t].records < step.tiles[step.index.at(t)].needed_records()) return tile_read_error(tiles_[t].name);
  }
  return tile_read_error(tiles_[contact_order.empty() ? 0 : contact_order.front()].name);
}

}  // namespace kavlin::engine_parts
