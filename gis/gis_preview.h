// kavlin-apply --dry-run --preview DIR: a change mask per tile as a GeoTIFF.
#pragma once

#include "cli/apply_cli.h"

namespace kavlin::gis {

// The preview writer kavlin-apply installs when built with GDAL: works out
// the changed grid points (change_mask.h), writes DIR/NAME.mask.tif for
// every tile with a changed word, lists the files on standard output, and
// checks its count of changed stored words against the engine's.
int write_preview(const cli::PreviewContext& context);

}  // namespace kavlin::gis
