// The grid points a modification would change, worked out without the
// engine: the engine's walk is repeated with the same area test (RowTest,
// equal to IN_AREA bit for bit) on every stored grid point of every listed
// tile, the accepted west-edge, south-edge and corner points are carried
// into the neighbouring tiles as the engine copies them, and a stored word
// counts as changed when the kind's operation gives another word.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tiles/tile_files.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

struct ChangeMask {
  std::string name;
  TileOrigin origin;
  int32_t width = 0;           // 1201 or 601
  std::vector<uint8_t> mask;   // raster order (north row first): 1 changes, 0 not
  int64_t changed_points = 0;  // full-grid points with mask 1
  int64_t changed_words = 0;   // stored words that change (edge copies counted each)
};

struct ChangeMaskResult {
  bool ok = true;
  Notice notice;                  // file error when not ok
  std::vector<ChangeMask> tiles;  // tiles with at least one changed word, listed tiles first
  int64_t changed_words = 0;      // over all tiles
  // Grid points with a changed word over all tiles: a point on a tile's
  // edge, which the grids of up to four tiles hold, counted once.
  int64_t changed_points = 0;
};

// The changes of kind `mod_kind` (1..10) on the area of `table`, whose area
// checks have passed. Reads the tiles, writes nothing.
ChangeMaskResult compute_change_masks(RecordFiles& files, char drive, const VertexTable& table, int32_t mod_kind);

// Grid points of stored words, gathered record by record as the engine's
// changed_record reports them (each record once): a point stored in
// several records or tiles is counted once. Only the points on the edges
// of blocks, which several records or tiles store, are kept, as bits (some
// 4 KB a tile); a point inside a block is stored once and only counted, so
// that a dry run over hundreds of tiles keeps no grid of any of them.
class GridPointCount {
 public:
  // The words of record `record` of tile `tile` that `words` marks (bit
  // w % 8 of words[w / 8] is word w). A record is given once.
  void add(const std::string& tile, int32_t record, std::span<const uint8_t> words);
  int64_t points() const;

  // The marked points of one tile on the edges of its blocks: grid rows
  // 0, 100, ..., 1200 whole, and the edge columns off those rows.
  struct BlockEdges {
    explicit BlockEdges(const TileOrigin& origin);
    TileOrigin origin;
    int32_t width = 0;       // 1201 or 601
    int64_t inside = 0;      // marked points inside blocks
    std::vector<bool> rows;  // [row / 100 * width + column]
    std::vector<bool> columns;  // [column / (columns - 1) * 1201 + row]
    void mark(int32_t row, int32_t column);
    // Whether the point (row, column), counted from the south-west corner,
    // is marked; false for a point inside a block.
    bool marked(int32_t row, int32_t column) const;
  };

 private:
  std::map<std::string, BlockEdges> tiles_;
};

// The grid points inside the area of `table`, whose area checks have
// passed, as a run walks them (the points of its listed tiles that the
// area test accepts), each counted once. Reads no file, and holds one band
// of records at a time.
int64_t grid_points_inside(const VertexTable& table);

}  // namespace kavlin
