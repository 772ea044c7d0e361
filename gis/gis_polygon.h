// kavlin-polygon: one polygon of a vector data source (GeoJSON, Shapefile,
// GeoPackage, KML, anything GDAL reads) as a polygon text file, one
// "longitude latitude" line per vertex.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/apply_cli.h"

namespace kavlin::gis {

struct PolygonRequest {
  std::string source;                // data source, as GDAL opens it
  std::string output;                // the polygon text file (host path); one polygon only
  std::optional<std::string> layer;  // --layer
  std::optional<std::string> where;  // --where
  std::optional<int64_t> fid;        // --fid: the feature of that id
  bool list = false;                 // --list: the features, nothing written
  std::string each_dir;              // --each DIR: a file per polygon of every feature
  std::string batch_kind;            // with --each: "--set TYPE" or "--clear TYPE" for DIR/batch.txt
  bool one_file = false;             // with --each: every feature into DIR/areas.txt (AREA FID lines)
};

using PolygonParse = cli::ToolParse<PolygonRequest>;

PolygonParse parse_polygon_arguments(const std::vector<std::string>& args);
const char* polygon_help_text();

// One vertex line: the shortest texts that read back as exactly `lon` and
// `lat`, separated by one blank.
std::string vertex_line(double lon, double lat);

// Converts and writes the file (or lists the features, or writes a file per
// polygon); reports on `out`, refusals and errors on `err` as
// "kavlin-polygon: ...". Returns the exit status (0 done, 1 refused input,
// 2 usage, 3 file error).
int run_polygon(const PolygonRequest& request, std::ostream& out, std::ostream& err);

}  // namespace kavlin::gis
