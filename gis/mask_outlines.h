// Change masks as a GeoPackage, for review in a GIS's attribute table:
// one feature per tile with a changed word, the outline of the tile's
// changed grid points (each point's cell, a pixel of the mask raster) and
// the run, the kind and the counts as attributes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tiles/change_mask.h"

namespace kavlin::gis {

// Cells of a mask in grid indices: columns c0 to c1 - 1, raster rows r0 to
// r1 - 1 (row 0 the north row).
struct CellBlock {
  int32_t c0, c1, r0, r1;
  bool operator==(const CellBlock&) const = default;
};

// The marked points of `mask` (raster order, `width` points a row) as
// rectangles: the runs of marked points of each row, a run that has the
// same columns as one in the row above joined to it. Every marked point
// lies in exactly one rectangle.
std::vector<CellBlock> mask_blocks(const std::vector<uint8_t>& mask, int32_t width);

// Writes `masks` of a modification of kind `kind` (1..10) as the
// GeoPackage `path`, layer "masks" (EPSG:4326, multipolygons): per tile
// the union of its changed points' cells, with the fields tile, run (left
// empty: the run is not made yet), kind, change ("set town" ...), points
// (the tile's grid points that change) and words (its stored words that
// change, edge copies counted each). The file is made in memory and then
// written through the safe output. An empty text on success, otherwise
// what went wrong.
std::string write_mask_gpkg(const std::string& path, const ChangeMaskResult& masks, int32_t kind);

}  // namespace kavlin::gis
