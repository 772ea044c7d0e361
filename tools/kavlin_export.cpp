// kavlin-export: tiles of the database as GeoTIFFs and a VRT mosaic.
// See `kavlin-export --help`.
#include <iostream>

#include "gis/gis_export.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

int main(int argc, char** argv) {
  using namespace kavlin::gis;
  return kavlin::cli::tool_main("kavlin-export", argc, argv, parse_export_arguments, export_help_text(),
                                [](const ExportRequest& request) {
                                  kavlin::HostFileServices files(kavlin::DriveTable::from_environment());
                                  const int status = run_export(request, files, std::cout, std::cerr);
                                  files.CLOSE_ALL_FILES();
                                  std::cout.flush();
                                  return status;
                                });
}
