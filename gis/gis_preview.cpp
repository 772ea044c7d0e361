#include "gis/gis_preview.h"

#include <filesystem>
#include <ostream>
#include <system_error>

#include "tiles/change_mask.h"
#include "gis/gis_raster.h"
#include "gis/mask_outlines.h"

namespace kavlin::gis {

int write_preview(const cli::PreviewContext& c, const std::string& dir_name, bool gpkg) {
  const ChangeMaskResult masks = compute_change_masks(c.files, c.drive, c.table, c.kind);
  if (!masks.ok) {
    cli::print_notice(c.err, masks.notice);
    return cli::EXIT_FILE_ERROR;
  }
  // The two walks must agree; a preview that differs from the run would
  // mislead, so it is not written.
  if (masks.changed_words != c.words_changed) {
    c.err << "Error: the preview finds " << masks.changed_words << " grid words that would change, the engine "
          << c.words_changed << "; no preview written\n";
    return cli::EXIT_FILE_ERROR;
  }
  const std::filesystem::path dir(dir_name);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) {
    c.err << "Error: cannot create folder " << dir_name << (ec ? ": " + ec.message() : std::string()) << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  init_gdal();
  c.out << "preview masks:";
  if (masks.tiles.empty()) c.out << " none";
  c.out << "\n";
  for (const ChangeMask& m : masks.tiles) {
    const std::string path = (dir / (m.name + ".mask.tif")).string();
    const std::string error = write_mask_tiff(path, m.origin, m.mask);
    if (!error.empty()) {
      c.err << "Error: " << error << "\n";
      return cli::EXIT_FILE_ERROR;
    }
    c.out << path << " (" << m.changed_points << " grid points)\n";
  }
  if (gpkg) {
    const std::string path = (dir / "masks.gpkg").string();
    const std::string error = write_mask_gpkg(path, masks, c.kind);
    if (!error.empty()) {
      c.err << "Error: " << error << "\n";
      return cli::EXIT_FILE_ERROR;
    }
    c.out << path << " (" << masks.tiles.size() << " tiles)\n";
  }
  return cli::EXIT_DONE;
}

}  // namespace kavlin::gis
