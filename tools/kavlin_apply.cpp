// kavlin-apply: one modification of the database from the command line.
// See `kavlin-apply --help`.
#include <iostream>
#include <string>
#include <vector>

#include "tools/apply_cli.h"
#include "ui/drive_table.h"
#include "ui/host_file_services.h"
#ifdef KAVLIN_WITH_GDAL
#include "tools/gis_preview.h"
#endif

int main(int argc, char** argv) {
  using namespace kavlin::cli;
#ifdef KAVLIN_WITH_GDAL
  set_preview_writer(kavlin::gis::write_preview);
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parse_arguments(args);
  switch (parsed.action) {
    case ParseResult::Action::Help:
      std::cout << help_text();
      return EXIT_DONE;
    case ParseResult::Action::Usage:
      std::cerr << "kavlin-apply: " << parsed.error << "\nTry 'kavlin-apply --help' for more information.\n";
      return EXIT_USAGE;
    case ParseResult::Action::Run:
      break;
  }
  kavlin::HostFileServices files(kavlin::DriveTable::from_environment());
  const int status = run_request(parsed.request, files, std::cout, std::cerr);
  files.CLOSE_ALL_FILES();
  std::cout.flush();
  return status;
}
