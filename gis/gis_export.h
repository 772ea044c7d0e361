// kavlin-export: tiles of a database as georeferenced rasters for GIS
// tools, one GeoTIFF of grid words per tile and a VRT mosaic (and, when
// asked, the flag rasters with their QGIS style and a Cloud-Optimised
// GeoTIFF of each mosaic).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/apply_cli.h"
#include "base/file_services.h"

namespace kavlin::gis {

struct ExportRequest : cli::AreaArgs {
  std::string out_dir;                // --out, a host folder
  bool flags = false;                 // --flags: also the paletted flags rasters and their style
  bool cog = false;                   // --cog: also each mosaic as one Cloud-Optimised GeoTIFF
  std::vector<std::string> tiles;     // tile names given as arguments (normalised)
  std::string preview_dir;            // --preview: the change masks of a dry run instead
  bool gpkg = false;                  // --gpkg: with --preview, the masks as a GeoPackage too
};

using ExportParse = cli::ToolParse<ExportRequest>;

ExportParse parse_export_arguments(const std::vector<std::string>& args);
const char* export_help_text();

// Writes the rasters; lists every file written on `out`, messages on `err`
// ("Caption: text"). With --preview: the dry run of kavlin-apply with its
// report, then the change masks. Returns the exit status of kavlin-apply's
// scheme.
int run_export(const ExportRequest& request, FileServices& files, std::ostream& out, std::ostream& err);

}  // namespace kavlin::gis
