#include "tiles/change_mask.h"

#include <algorithm>
#include <cstring>
#include <array>
#include <bit>
#include <map>
#include <memory>

#include "polygon/area_rules.h"
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

// The accepted points of listed tile `o`, band by band and in each band
// row by row: accepted(i, j, l, runs) for every row l of block (i, j) with
// points inside (runs of k - 1, from 0).
template <class Accepted>
void walk_rows(const TileOrigin& o, RowTest& rows, const Accepted& accepted) {
  const int32_t columns = o.columns();
  std::vector<double> xs(static_cast<std::size_t>(BLOCKS_PER_SIDE * columns));
  for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
    for (int32_t k = 1; k <= columns; ++k) {
      xs[static_cast<std::size_t>((j - 1) * columns + (k - 1))] = grid_longitude(o.LON_DEG, j, k, o.spacing);
    }
  }
  std::vector<InsideRun> runs;
  for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
    for (int32_t l = 1; l <= ROWS_PER_BLOCK; ++l) {
      rows.set_row(grid_latitude(o.LAT_DEG, i, l));
      if (rows.row_empty()) continue;
      for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
        rows.inside_runs(&xs[static_cast<std::size_t>((j - 1) * columns)], columns, runs);
        if (!runs.empty()) accepted(i, j, l, runs);
      }
    }
  }
}

// The engine's walk over one listed tile: IN_AREA for every stored point,
// copies of accepted west-edge (j = 1, k = 1), south-edge (i = 1, l = 1)
// and south-west corner points into the neighbours.
void walk_tile(Walk& walk, const std::string& name, RowTest& rows) {
  const TileOrigin o = TILE_ORIGIN(name);
  Touched& own = walk.tile(o.LON_DEG, o.LAT_DEG);
  walk_rows(o, rows, [&](int32_t i, int32_t j, int32_t l, const std::vector<InsideRun>& runs) {
    const int32_t r = record_number(i, j);
    for (const InsideRun& run : runs) {
      for (int32_t k = run.from + 1; k <= run.to; ++k) {
        own.mark(r, l, k);
        for (const StoredPlace& copy : edge_copies(o, r, l, k)) {
          walk.tile(copy.LON_DEG, copy.LAT_DEG).mark(copy.record, copy.row, copy.column);
        }
      }
    }
  });
}

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
int64_t distinct_points(const std::vector<ChangeMask>& masks) {
  int64_t points = 0;
  std::vector<std::pair<int64_t, int64_t>> edge_points;
  for (const ChangeMask& m : masks) {
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

GridPointCount::BlockEdges::BlockEdges(const TileOrigin& tile)
    : origin(tile),
      width(grid_width(tile)),
      rows(static_cast<std::size_t>(BLOCKS_PER_SIDE + 1) * static_cast<std::size_t>(width)),
      columns(static_cast<std::size_t>(BLOCKS_PER_SIDE + 1) * GRID_ROWS) {}

void GridPointCount::BlockEdges::mark(int32_t row, int32_t column) {
  if (row % (ROWS_PER_BLOCK - 1) == 0) {
    rows[static_cast<std::size_t>(row / (ROWS_PER_BLOCK - 1) * width + column)] = true;
  } else {
    columns[static_cast<std::size_t>(column / (origin.columns() - 1) * GRID_ROWS + row)] = true;
  }
}

bool GridPointCount::BlockEdges::marked(int32_t row, int32_t column) const {
  if (row % (ROWS_PER_BLOCK - 1) == 0) return rows[static_cast<std::size_t>(row / (ROWS_PER_BLOCK - 1) * width + column)];
  if (column % (origin.columns() - 1) != 0) return false;
  return columns[static_cast<std::size_t>(column / (origin.columns() - 1) * GRID_ROWS + row)];
}

void GridPointCount::add(const std::string& tile, int32_t record, std::span<const uint8_t> words) {
  auto found = tiles_.find(tile);
  if (found == tiles_.end()) found = tiles_.emplace(tile, BlockEdges(TILE_ORIGIN(tile))).first;
  BlockEdges& edges = found->second;
  const int32_t columns = edges.origin.columns();
  const int32_t i = (record - 1) / BLOCKS_PER_SIDE + 1;
  const int32_t j = (record - 1) % BLOCKS_PER_SIDE + 1;
  // Every marked word of the record; the block's edge points are taken out
  // again below and kept.
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(edges.origin.words_per_record()), words.size() * 8);
  int64_t inside = 0;
  // Eight bytes at a time: the processor may have no bit-count instruction.
  std::size_t b = 0;
  for (; b + 8 <= count / 8; b += 8) {
    uint64_t eight = 0;
    std::memcpy(&eight, words.data() + b, 8);
    inside += std::popcount(eight);
  }
  for (; b < count / 8; ++b) inside += std::popcount(words[b]);
  if (count % 8 != 0) inside += std::popcount(static_cast<uint8_t>(words[count / 8] & ((1u << (count % 8)) - 1)));
  // The block's edge points are taken out again and kept: rows 1 and 101
  // are grid rows (i - 1) * 100 and i * 100 (in `rows`), columns 1 and the
  // last, rows 2 to 100 between them, grid columns (j - 1) * (columns - 1)
  // and j * (columns - 1) (in `columns`).
  const auto marked = [&](std::size_t w) { return w < count && (words[w / 8] >> (w % 8) & 1) != 0; };
  const auto width = static_cast<std::size_t>(edges.width);
  const auto column0 = static_cast<std::size_t>((j - 1) * (columns - 1));
  for (const int32_t band_edge : {0, 1}) {
    const std::size_t first = band_edge == 0 ? 0 : static_cast<std::size_t>((ROWS_PER_BLOCK - 1) * columns);
    const std::size_t at = static_cast<std::size_t>(i - 1 + band_edge) * width + column0;
    for (std::size_t k = 0; k < static_cast<std::size_t>(columns); ++k) {
      if (!marked(first + k)) continue;
      --inside;
      edges.rows[at + k] = true;
    }
  }
  for (const int32_t block_edge : {0, 1}) {
    const std::size_t k = block_edge == 0 ? 0 : static_cast<std::size_t>(columns - 1);
    const std::size_t at = static_cast<std::size_t>(j - 1 + block_edge) * GRID_ROWS +
                           static_cast<std::size_t>((i - 1) * (ROWS_PER_BLOCK - 1));
    for (std::size_t l = 1; l + 1 < static_cast<std::size_t>(ROWS_PER_BLOCK); ++l) {
      if (!marked(l * static_cast<std::size_t>(columns) + k)) continue;
      --inside;
      edges.columns[at + l] = true;
    }
  }
  edges.inside += inside;
}

int64_t GridPointCount::points() const {
  int64_t points = 0;
  for (const auto& [name, edges] : tiles_) {
    points += edges.inside + std::count(edges.rows.begin(), edges.rows.end(), true) +
              std::count(edges.columns.begin(), edges.columns.end(), true);
    // A point on the tile's border that a tile counted before (in name
    // order) marks as well is that tile's already: the neighbours share
    // points in 3-second steps from 0 degrees.
    const int32_t lon = edges.origin.LON_DEG, lat = edges.origin.LAT_DEG;
    std::vector<const BlockEdges*> before;
    for (int32_t dlon = -1; dlon <= 1; ++dlon) {
      for (int32_t dlat = -1; dlat <= 1; ++dlat) {
        if ((dlon == 0 && dlat == 0) || lat + dlat < 0) continue;
        const auto other = tiles_.find(TILE_NAME(lon + dlon, lat + dlat));
        if (other == tiles_.end() || !(other->first < name)) continue;
        const TileOrigin& o = other->second.origin;
        if (o.LON_DEG == lon + dlon && o.LAT_DEG == lat + dlat) before.push_back(&other->second);
      }
    }
    if (before.empty()) continue;
    const int64_t step = edges.origin.spacing / 3;
    const auto shared = [&](int32_t row, int32_t column) {
      if (!edges.marked(row, column)) return;
      const int64_t y = int64_t{lat} * 1200 + row;
      const int64_t x = int64_t{lon} * 1200 + column * step;
      for (const BlockEdges* other : before) {
        const int64_t r = y - int64_t{other->origin.LAT_DEG} * 1200;
        const int64_t dx = x - int64_t{other->origin.LON_DEG} * 1200;
        const int64_t other_step = other->origin.spacing / 3;
        if (r < 0 || r >= GRID_ROWS || dx < 0 || dx > 1200 || dx % other_step != 0) continue;
        if (other->marked(static_cast<int32_t>(r), static_cast<int32_t>(dx / other_step))) {
          --points;
          return;
        }
      }
    };
    for (int32_t column = 0; column < edges.width; ++column) {
      shared(0, column);
      shared(GRID_ROWS - 1, column);
    }
    for (int32_t row = 1; row < GRID_ROWS - 1; ++row) {
      shared(row, 0);
      shared(row, edges.width - 1);
    }
  }
  return points;
}

int64_t grid_points_inside(const VertexTable& table) {
  if (table.NREC < 1) return 0;
  const Extent extent = AREA_EXTENT(table);
  RowTest rows(table, extent);
  GridPointCount count;
  // The accepted words of the twelve records of one band.
  std::vector<uint8_t> band;
  for (const std::string& name : tiles_of_extent(extent)) {
    const TileOrigin o = TILE_ORIGIN(name);
    const int32_t columns = o.columns();
    const auto bytes = static_cast<std::size_t>((o.words_per_record() + 7) / 8);
    int32_t band_i = 0;
    std::array<bool, BLOCKS_PER_SIDE + 1> any{};
    const auto give_band = [&] {
      for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
        if (any[j]) count.add(name, record_number(band_i, j), {&band[(j - 1) * bytes], bytes});
      }
    };
    walk_rows(o, rows, [&](int32_t i, int32_t j, int32_t l, const std::vector<InsideRun>& runs) {
      if (i != band_i) {
        give_band();
        band_i = i;
        band.assign(BLOCKS_PER_SIDE * bytes, 0);
        any.fill(false);
      }
      uint8_t* words = &band[(j - 1) * bytes];
      for (const InsideRun& run : runs) {
        for (int32_t w = (l - 1) * columns + run.from; w < (l - 1) * columns + run.to; ++w) {
          words[w / 8] = static_cast<uint8_t>(words[w / 8] | 1u << (w % 8));
        }
        any[j] = any[j] || run.to > run.from;
      }
    });
    give_band();
  }
  return count.points();
}

}  // namespace kavlin
