// kavlin-polygon: one polygon of a GIS vector source as a polygon text file.
// See `kavlin-polygon --help`.
#include <iostream>
#include <string>
#include <vector>

#include "cli/apply_cli.h"
#include "gis/gis_polygon.h"

int main(int argc, char** argv) {
  using namespace kavlin::gis;
  const PolygonParse parsed = parse_polygon_arguments(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.action) {
    case PolygonParse::Action::Help:
      std::cout << polygon_help_text();
      return kavlin::cli::EXIT_DONE;
    case PolygonParse::Action::Usage:
      std::cerr << "kavlin-polygon: " << parsed.error << "\nTry 'kavlin-polygon --help' for more information.\n";
      return kavlin::cli::EXIT_USAGE;
    case PolygonParse::Action::Run:
      break;
  }
  const int status = run_polygon(parsed.request, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
