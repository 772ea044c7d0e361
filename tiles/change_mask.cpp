#include "tiles/change_mask.h"

#include <algorithm>
#include <map>
#include <memory>

#include "polygon/area_test.h"
#include "tiles/tile_grid.h"

namespace kavlin {

namespace {

// Accepted stored positions of one tile: one byte per word of each record.
struct Touched {
  std::string name;
  TileOrigin origin;
  std::vector<uint8_t> flags;  // RECORDS_PER_TILE * words_per_record
  void mark(int32_t record, int32_t l, int32_t k) {
    flags[static_cast<std::size_t>(record - 1) * static_cast<std::size_t>(origin.words_per_record()) +
          static_cast<std::size_t>((l - 1) * origin.columns() + (k - 1))] = 1;
  }
};

class Walk {
 public:
  Touched& tile(int32_t lon, int32_t lat) {
    const std::string name = TILE_NAME(lon, lat);
    auto it = index_.find(name);
    if (it != index_.end()) return *tiles_[it->second];
    auto t = std::make_unique<Touched>();
    t->name = name;
    t->origin = TILE_ORIGIN(name);
    t->flags.assign(static_cast<std::size_t>(RECORDS_PER_TILE) * static_cast<std::size_t>(t->origin.words_per_record()), 0);
    index_.emplace(name, tiles_.size());
    tiles_.push_back(std::move(t));
    return *tiles_.back();
  }
  std::vector<std::unique_ptr<Touched>>& tiles() { return tiles_; }

 private:
  std::map<std::string, std::size_t> index_;
  std::vector<std::unique_ptr<Touched>> tiles_;
};

// The engine's walk over one listed tile: IN_AREA for every stored point,
// copies of accepted west-edge (j = 1, k = 1), south-edge (i = 1, l = 1)
// and south-west corner points into the neighbours.
void walk_tile(Walk& walk, const std::string& name, RowTest& rows) {
  const TileOrigin o = TILE_ORIGIN(name);
  const int32_t lon = o.LON_DEG, lat = o.LAT_DEG, columns = o.columns();
  Touched& own = walk.tile(lon, lat);

  std::vector<double> xs(static_cast<std::size_t>(BLOCKS_PER_SIDE * columns));
  for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
    for (int32_t k = 1; k <= columns; ++k) xs[static_cast<std::size_t>((j - 1) * columns + (k - 1))] = grid_longitude(lon, j, k, o.spacing);
  }
  std::vector<InsideRun> runs;
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
      rows.set_row(grid_latitude(lat, i, l));
      if (rows.row_empty()) continue;
      for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
        const int32_t r = record_number(i, j);
        rows.inside_runs(&xs[static_cast<std::size_t>((j - 1) * columns)], columns, runs);
        for (const InsideRun& run : runs) {
          for (int32_t k = run.from + 1; k <= run.to; ++k) {
            own.mark(r, l, k);
            for (const StoredPlace& copy : edge_copies(o, r, l, k)) {
              walk.tile(copy.LON_DEG, copy.LAT_DEG).mark(copy.record, copy.row, copy.column);
            }
          }
        }
      }
    }
  }
}

const ChangeMask& mask_of(const ChangeMask& m) { return m; }
const ChangeMask& mask_of(const std::pair<const std::string, ChangeMask>& item) { return item.second; }

// Marks the full-grid point of stored word (i, j, l, k) in `m`.
void mark_point(ChangeMask& m, int32_t i, int32_t j, int32_t l, int32_t k) {
  uint8_t& cell = m.mask[static_cast<std::size_t>(GRID_ROWS - 1 - grid_row(i, l)) * static_cast<std::size_t>(m.width) +
                         static_cast<std::size_t>(grid_column(j, k, m.origin.columns()))];
  if (!cell) ++m.changed_points;
  cell = 1;
}

ChangeMask empty_mask(const std::string& name, const TileOrigin& origin) {
  ChangeMask m;
  m.name = name;
  m.origin = origin;
  m.width = grid_width(origin);
  m.mask.assign(static_cast<std::size_t>(m.width) * GRID_ROWS, 0);
  return m;
}

// The points the masks mark over all tiles. Points on tile edges, in
// 3-second steps from 0 degrees: the same key in two tiles is one point.
template <class Masks>
int64_t distinct_points(const Masks& masks) {
  int64_t points = 0;
  std::vector<std::pair<int64_t, int64_t>> edge_points;
  for (const auto& item : masks) {
    const ChangeMask& m = mask_of(item);
    points += m.changed_points;
    const int64_t step = m.origin.spacing / 3;
    for (int32_t row = 0; row < GRID_ROWS; ++row) {
      const bool edge_row = row == 0 || row == GRID_ROWS - 1;
      for (int32_t c = 0; c < m.width; c += edge_row || c == m.width - 1 ? 1 : m.width - 1) {
        if (!m.mask[static_cast<std::size_t>(row) * static_cast<std::size_t>(m.width) + static_cast<std::size_t>(c)]) continue;
        edge_points.emplace_back(int64_t{m.origin.LAT_DEG} * 1200 + (GRID_ROWS - 1 - row),
                                 int64_t{m.origin.LON_DEG} * 1200 + c * step);
      }
    }
  }
  std::sort(edge_points.begin(), edge_points.end());
  for (std::size_t n = 1; n < edge_points.size(); ++n) {
    if (edge_points[n] == edge_points[n - 1]) --points;
  }
  return points;
}

}  // namespace

ChangeMaskResult compute_change_masks(RecordFiles& files, char drive, const VertexTable& table, int32_t mod_kind) {
  ChangeMaskResult result;
  const auto op = kind_operation(mod_kind);
  if (!op || table.NREC < 1) return result;

  const Extent extent = AREA_EXTENT(table);
  RowTest rows(table, extent);
  Walk walk;
  const std::vector<std::string> listed = tiles_of_extent(extent);
  // Listed tiles first, in list order; neighbours follow in order of first use.
  for (const std::string& name : listed) walk.tile(TILE_ORIGIN(name).LON_DEG, TILE_ORIGIN(name).LAT_DEG);
  for (const std::string& name : listed) walk_tile(walk, name, rows);

  for (const auto& touched : walk.tiles()) {
    const TileOrigin& o = touched->origin;
    const int32_t columns = o.columns();
    int32_t unit = 0;
    if (OPEN_TILE(files, unit, TILE_PATH(drive, touched->name), o.record_length(), true) != 0) {
      result.ok = false;
      result.notice = tile_open_error(touched->name);
      return result;
    }
    ChangeMask m = empty_mask(touched->name, o);
    std::vector<uint8_t> record(static_cast<std::size_t>(o.record_length()));
    for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
      for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
        const int32_t r = record_number(i, j);
        const uint8_t* flags =
            &touched->flags[static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(o.words_per_record())];
        bool any = false;
        for (int32_t w = 0; w < o.words_per_record() && !any; ++w) any = flags[w] != 0;
        if (!any) continue;
        if (READ_BLOCK(files, unit, r, record) != 0) {
          CLOSE_TILE(files, unit);
          result.ok = false;
          result.notice = tile_read_error(touched->name);
          return result;
        }
        for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
          for (int32_t k = 1; k <= columns; ++k) {
            if (!flags[(l - 1) * columns + (k - 1)]) continue;
            const uint16_t word = get_word(record, word_offset(l, k, columns));
            if (apply_kind(*op, word) == word) continue;
            ++m.changed_words;
            mark_point(m, i, j, l, k);
          }
        }
      }
    }
    CLOSE_TILE(files, unit);
    if (m.changed_words == 0) continue;
    result.changed_words += m.changed_words;
    result.tiles.push_back(std::move(m));
  }

  result.changed_points = distinct_points(result.tiles);
  return result;
}

}  // namespace kavlin

namespace kavlin {

void GridPointCount::add(const std::string& tile, int32_t record, std::span<const uint8_t> words) {
  auto found = masks_.find(tile);
  if (found == masks_.end()) found = masks_.emplace(tile, empty_mask(tile, TILE_ORIGIN(tile))).first;
  ChangeMask& m = found->second;
  const int32_t columns = m.origin.columns();
  const int32_t i = (record - 1) / BLOCKS_PER_SIDE + 1;
  const int32_t j = (record - 1) % BLOCKS_PER_SIDE + 1;
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(m.origin.words_per_record()), words.size() * 8);
  for (std::size_t w = 0; w < count; ++w) {
    if ((words[w / 8] >> (w % 8) & 1) == 0) continue;
    ++m.changed_words;
    mark_point(m, i, j, static_cast<int32_t>(w) / columns + 1, static_cast<int32_t>(w) % columns + 1);
  }
}

int64_t GridPointCount::points() const { return distinct_points(masks_); }

int64_t grid_points_inside(const VertexTable& table) {
  if (table.NREC < 1) return 0;
  const Extent extent = AREA_EXTENT(table);
  RowTest rows(table, extent);
  Walk walk;
  for (const std::string& name : tiles_of_extent(extent)) walk_tile(walk, name, rows);
  GridPointCount count;
  std::vector<uint8_t> words;
  for (const auto& touched : walk.tiles()) {
    const int32_t per_record = touched->origin.words_per_record();
    words.assign((static_cast<std::size_t>(per_record) + 7) / 8, 0);
    for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
      const uint8_t* flags = &touched->flags[static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(per_record)];
      if (std::find(flags, flags + per_record, uint8_t{1}) == flags + per_record) continue;
      std::fill(words.begin(), words.end(), uint8_t{0});
      for (int32_t w = 0; w < per_record; ++w) words[w / 8] |= static_cast<uint8_t>(flags[w] << (w % 8));
      count.add(touched->name, r, words);
    }
  }
  return count.points();
}

}  // namespace kavlin
