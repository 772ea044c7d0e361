// kavlin-polygon: one polygon of a GIS vector source as a polygon text file.
// See `kavlin-polygon --help`.
#include <iostream>

#include "cli/apply_cli.h"
#include "gis/gis_polygon.h"

int main(int argc, char** argv) {
  using namespace kavlin::gis;
  return kavlin::cli::tool_main("kavlin-polygon", argc, argv, parse_polygon_arguments, polygon_help_text(),
                                [](const PolygonRequest& request) {
                                  const int status = run_polygon(request, std::cout, std::cerr);
                                  std::cout.flush();
                                  return status;
                                });
}
