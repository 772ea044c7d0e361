// kavlin-export: tiles of a database as georeferenced rasters for GIS
// tools, one GeoTIFF of grid words per tile and a VRT mosaic.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/apply_cli.h"
#include "ui/file_services.h"

namespace kavlin::gis {

struct ExportRequest {
  std::optional<char> drive;          // --drive; otherwise DRIVE.DAT decides
  std::string out_dir;                // --out, a host folder
  bool flags = false;                 // --flags: also the paletted flags rasters
  std::vector<std::string> tiles;     // tile names given as arguments (normalised)
  cli::AreaKind area = cli::AreaKind::None;
  double LON1 = 0.0, LAT1 = 0.0, LON2 = 0.0, LAT2 = 0.0;
  std::string polygon_file;           // as typed
  bool polygon_host_path = false;     // as in cli::ApplyRequest
};

struct ExportParse {
  enum class Action { Run, Help, Usage } action = Action::Usage;
  ExportRequest request;
  std::string error;
};

ExportParse parse_export_arguments(const std::vector<std::string>& args);
const char* export_help_text();

// Writes the rasters; lists every file written on `out`, messages on `err`
// ("Caption: text"). Returns the exit status of kavlin-apply's scheme.
int run_export(const ExportRequest& request, FileServices& files, std::ostream& out, std::ostream& err);

}  // namespace kavlin::gis
