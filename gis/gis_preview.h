// kavlin-export --preview DIR: a change mask per tile as a GeoTIFF, and
// with --gpkg all of them as one GeoPackage.
#pragma once

#include <string>

#include "cli/apply_cli.h"

namespace kavlin::gis {

// Run after the dry run of the modification: works out the changed grid
// points (change_mask.h), writes DIR/NAME.mask.tif for every tile with a
// changed word (with `gpkg` also DIR/masks.gpkg, mask_outlines.h), lists
// the files on standard output, and checks its count of changed stored
// words against the engine's.
int write_preview(const cli::PreviewContext& context, const std::string& dir, bool gpkg);

}  // namespace kavlin::gis
