// kavlin-export: tiles of the database as GeoTIFFs and a VRT mosaic.
// See `kavlin-export --help`.
#include <iostream>
#include <string>
#include <vector>

#include "gis/gis_export.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

int main(int argc, char** argv) {
  using namespace kavlin::gis;
  const ExportParse parsed = parse_export_arguments(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.action) {
    case ExportParse::Action::Help:
      std::cout << export_help_text();
      return kavlin::cli::EXIT_DONE;
    case ExportParse::Action::Usage:
      std::cerr << "kavlin-export: " << parsed.error << "\nTry 'kavlin-export --help' for more information.\n";
      return kavlin::cli::EXIT_USAGE;
    case ExportParse::Action::Run:
      break;
  }
  kavlin::HostFileServices files(kavlin::DriveTable::from_environment());
  const int status = run_export(parsed.request, files, std::cout, std::cerr);
  files.CLOSE_ALL_FILES();
  std::cout.flush();
  return status;
}
