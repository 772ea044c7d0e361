// kavlin-make-demo: writes the demo database into a drives folder.
//
//   kavlin-make-demo --drives DIR --drive D [--force]
//
// creates DIR/d:/KAVLIN/E005/E005N49.33M and the other demo tiles. An
// existing database is never overwritten without --force.
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "tools/demo_db.h"
#include "base/ascii_text.h"
#include "base/database_folder.h"
#include "base/drive_table.h"
#include "base/program_version.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* HELP = R"(Usage: kavlin-make-demo --drives DIR --drive D [--force]

Writes the demo land-cover database for drive D into the drives folder DIR
(the folder that KAVLIN_DRIVES names): DIR/d:/KAVLIN/E005/E005N49.33M,
E006N49.33M, E005N50.63M and E006N50.63M. An existing entry for the drive
("d:" or "D:") is used as it is.

  --drives DIR   the drives folder (created when missing)
  --drive D      the drive letter, A to Z (D and D: are both accepted)
  --force        overwrite an existing database
  --help         show this text
  --version      show the version

Exit status: 0 written, 1 a database exists already (without --force) or a
file could not be written, 2 usage error.
)";

int usage_error(const std::string& what) {
  std::cerr << "kavlin-make-demo: " << what << "\nTry 'kavlin-make-demo --help' for more information.\n";
  return 2;
}

// The database folder below a drive root, if one exists (any case).
std::optional<fs::path> existing_database(const fs::path& root) {
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    for (char& c : name) c = kavlin::ascii_upper(c);
    if (name == kavlin::DATABASE_FOLDER) return it->path();
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> drives;
  std::optional<char> letter;
  bool force = false;
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "--version") {
      std::cout << "kavlin-make-demo " << kavlin::PROGRAM_VERSION_TEXT << "\n";
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::cout << HELP;
      return 0;
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--drives" || arg == "--drive") {
      if (a + 1 >= argc) return usage_error(std::string(arg) + " needs a value");
      const std::string_view value = argv[++a];
      if (arg == "--drives") {
        if (drives) return usage_error("--drives given twice");
        if (value.empty()) return usage_error("--drives needs a folder");
        drives = std::string(value);
      } else {
        if (letter) return usage_error("--drive given twice");
        letter = kavlin::drive_argument(value);
        if (!letter) return usage_error("--drive needs a drive letter A to Z, not '" + std::string(value) + "'");
      }
    } else {
      return usage_error("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (!drives) return usage_error("--drives DIR is missing");
  if (!letter) return usage_error("--drive D is missing");

  try {
    const fs::path root = *kavlin::DriveTable(*drives).drive_entry(*letter);
    if (const auto existing = existing_database(root); existing && !force) {
      std::cerr << "kavlin-make-demo: a database exists already in " << existing->string()
                << "; use --force to overwrite it\n";
      return 1;
    }
    auto written = kavlin::demo::write_demo_database(root);
    for (fs::path& polygon : kavlin::demo::write_demo_polygons(root)) written.push_back(std::move(polygon));
    std::cout << "Demo database for drive " << kavlin::ascii_upper(*letter)
              << " written to " << root.string() << "\n";
    for (const fs::path& p : written) std::cout << "  " << p.string() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "kavlin-make-demo: " << e.what() << "\n";
    return 1;
  }
}
