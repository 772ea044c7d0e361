#include "gis/gis_export.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <system_error>

#include "gis/gis_preview.h"
#include "gis/gis_raster.h"
#include "gis/gis_style.h"
#include "tiles/tile_grid.h"
#include "polygon/area_rules.h"
#include "gis/safe_output.h"
#include "base/drive_table.h"
#include "tiles/safe_run.h"

namespace fs = std::filesystem;

namespace kavlin::gis {

namespace {

constexpr const char* HELP = R"(Usage: kavlin-export [--drive X] --out DIR [--flags] [--cog] TILE...
       kavlin-export [--drive X] --out DIR [--flags] [--cog] AREA
       kavlin-export [--drive X] --preview DIR [--gpkg] KIND AREA

Writes tiles of the database as georeferenced rasters for GIS tools: one
GeoTIFF per tile holding the tile's full grid of 16-bit grid words
(UInt16, 1201 x 1201 points for a 3-second tile, 601 x 1201 for a
6-second tile, width x height), and a VRT that mosaics them.

TILE is a tile name such as E006N49.33M (either case). AREA, instead of
tile names, exports every tile the area touches, given as kavlin-apply
takes it:
  --point LON LAT               the tile of one point
  --rect LON1 LAT1 LON2 LAT2    rectangle from its north-west corner to its
                                south-east corner
  --polygon FILE                polygon text file (a path as the shell
                                takes it, or a program path through the
                                drive table such as C:\POLY\A.TXT)
  --area FILE NAME              area NAME of an areas file (AREA lines)
The area passes kavlin-apply's checks (corner order, at most 36 tiles,
nothing south of the equator).

Options:
  --drive X    database drive X; without it the first character of
               DRIVE.DAT in the working directory names the drive (C when
               DRIVE.DAT is missing or empty; one that cannot be read is
               a usage error)
  --out DIR    folder for the rasters (created when missing; existing
               regular files of the same names are replaced, each only
               once its new contents are whole; a folder, a device, a
               FIFO or a symbolic link of such a name is refused)
  --flags      also write NAME.flags.tif per tile: one byte per point with
               a colour map, the first flag set in the order sea, inland
               water, coastal area, town, trees (0 none, 1 sea, 2 inland
               water, 3 coastal area, 4 town, 5 trees), the class names
               in the band, and beside each flags raster and mosaic its
               QGIS style file (NAME.flags.qml, mosaic.flags.qml): QGIS
               opens them as named classes in these colours
  --cog        also write each mosaic as one Cloud-Optimised GeoTIFF of
               the exported area (mosaic.cog.tif; with --flags also
               mosaic.flags.cog.tif and its style): tiled, compressed,
               with overviews that take one grid point's value (never a
               blend)
  --preview DIR
               instead of --out: make a dry run of the modification KIND
               over AREA, as kavlin-apply --dry-run does (same checks, same
               report on standard output, nothing written to the
               database), then write DIR/NAME.mask.tif for every tile
               whose grid words would change: a one-byte GeoTIFF
               (EPSG:4326, a pixel centred on each grid point) that is 1
               where the grid word would change and 0 elsewhere. KIND is
               --kind N, --set TYPE or --clear TYPE as kavlin-apply takes
               it.
  --gpkg       with --preview: also write DIR/masks.gpkg, layer masks
               (EPSG:4326): one feature per tile with a changed word, a
               multipolygon outlining the cells of its changed grid
               points (a cell reaching half a grid step around its
               point, as the mask's pixel), with the fields tile, run
               (empty: the run is not made yet), kind (1 to 10), change
               ("set town" ...), points (the tile's grid points that
               would change) and words (its stored grid words that would
               change, edge copies counted each)
  --help       show this text
  --version    show the version

Files: DIR/NAME.tif per tile (NAME the tile name, e.g. E006N49.33M.tif)
and DIR/mosaic.vrt over them. 3-second and 6-second pixels do not line up,
so when both kinds of tile are exported there is one mosaic per kind,
DIR/mosaic.33M.vrt and DIR/mosaic.63M.vrt. With --flags the same again as
NAME.flags.tif and mosaic[.33M|.63M].flags.vrt, each with its .qml. With
--cog mosaic[.33M|.63M].cog.tif (and .flags.cog.tif). The band description
of the grid words says which bit is which flag (bit 0 sea, bit 1 inland
water, bit 2 coastal area, bit 3 town, bit 4 trees). Standard output lists
every file written.

Georeferencing: EPSG:4326, every pixel centred on its grid point; raster
row 0 is the tile's north row (latitude LAT_DEG + 1), column 0 its west
column (longitude LON_DEG). A grid point stored in several block records
(block edges) is read from the block in which it is neither in the last
row nor in the last column (on the tile's north row and east column, from
the last band and block column).

Database: the tiles are opened for reading only and read under a shared
lock on X:\KAVLIN\LOCK (made when missing where the folder may be
written), waiting while a modification runs. A journal that a killed run
left behind is rolled back first, as kavlin-apply does; where that cannot
be done (a read-only medium) nothing is exported and the message says so.

Exit status:
  0  done
  1  the area or the polygon file was refused
  2  usage error
  3  a tile file could not be opened or read, a raster not written, the
     lock cannot be taken, or a journal left behind cannot be rolled back
)";

// Writes one output file through `write` (given the name to write to)
// into a temporary file beside `path`, renamed over it when whole.
// GDAL keeps what a GeoTIFF cannot hold (category names) in a side file
// NAME.aux.xml, which goes with its raster.
template <typename Write>
std::string write_output(const std::string& path, Write write) {
  std::string temp;
  if (std::string error = begin_output(path, temp); !error.empty()) return error;
  const std::string side = temp + ".aux.xml";
  std::string error = write(temp);
  if (!error.empty()) {
    abandon_output(temp);
    abandon_output(side);
    return error;
  }
  if (fs::is_regular_file(fs::symlink_status(side))) {
    error = commit_output(side, path + ".aux.xml");
    if (!error.empty()) {
      abandon_output(temp);
      return error;
    }
  }
  return commit_output(temp, path);
}

// Writes one mosaic per spacing group, labelled as its sources; with
// `cog` each also as one Cloud-Optimised GeoTIFF; with `style` (the flags)
// each file's style beside it.
std::string write_mosaics(const fs::path& dir, const std::map<int32_t, std::vector<std::string>>& groups,
                          const std::string& suffix, const BandLabels& labels, bool cog, bool style,
                          std::ostream& out) {
  auto listed = [&](const std::string& path, std::string error) {
    if (error.empty() && style) error = write_flag_style(path);
    if (error.empty()) {
      out << path << "\n";
      if (style) out << style_path_of(path) << "\n";
    }
    return error;
  };
  for (const auto& [spacing, sources] : groups) {
    std::string name = "mosaic";
    if (groups.size() > 1) name += spacing == 3 ? ".33M" : ".63M";
    const std::string path = (dir / (name + suffix + ".vrt")).string();
    std::string error = listed(path, write_output(path, [&](const std::string& temp) {
                                 return write_vrt(temp, sources, labels);
                               }));
    if (error.empty() && cog) {
      const std::string cog_path = (dir / (name + suffix + ".cog.tif")).string();
      error = listed(cog_path, write_output(cog_path, [&](const std::string& temp) { return write_cog(temp, path); }));
    }
    if (!error.empty()) return error;
  }
  return {};
}

}  // namespace

const char* export_help_text() { return HELP; }

ExportParse parse_export_arguments(const std::vector<std::string>& args) {
  ExportParse result;
  ExportRequest& req = result.request;
  auto usage = [&](std::string error) { return result.usage(std::move(error)); };

  bool have_out = false;
  bool have_preview = false;
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (cli::asks_for_help(arg)) return result.help();
    if (cli::asks_for_version(arg)) return result.version();
    std::string error;
    const cli::Taken taken = cli::take_area_argument(args, a, req, error);
    if (taken == cli::Taken::Error) return usage(error);
    if (taken == cli::Taken::Yes) continue;
    if (arg == "--flags") {
      req.flags = true;
    } else if (arg == "--cog") {
      req.cog = true;
    } else if (arg == "--gpkg") {
      req.gpkg = true;
    } else if (arg == "--out" || arg == "--preview") {
      const bool out = arg == "--out";
      if (a + 1 >= args.size()) return usage(arg + " needs 1 value");
      if (out ? have_out : have_preview) return usage(arg + " given twice");
      std::string& dir = out ? req.out_dir : req.preview_dir;
      dir = args[++a];
      if (dir.empty()) return usage(arg + " needs a folder name");
      (out ? have_out : have_preview) = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usage("unknown option '" + arg + "'");
    } else {
      const std::string name = normalise_tile_name(arg);
      if (name.empty()) return usage("'" + arg + "' is not a tile name (like E006N49.33M)");
      if (std::find(req.tiles.begin(), req.tiles.end(), name) == req.tiles.end()) req.tiles.push_back(name);
    }
  }
  const bool have_area = req.area != cli::AreaKind::None;
  if (have_preview) {
    if (have_out || req.flags) return usage("--preview writes change masks only: no --out, no --flags");
    if (req.cog) return usage("--cog goes with --out, not with --preview");
    if (!req.tiles.empty()) return usage("--preview takes an area, not tile names");
    if (!have_area) return usage("no area given (use --point, --rect or --polygon)");
    if (req.kind == 0) return usage("no modification kind given (use --kind, --set or --clear)");
    result.action = ExportParse::Action::Run;
    return result;
  }
  if (req.kind != 0) return usage("--kind, --set and --clear go with --preview only");
  if (req.gpkg) return usage("--gpkg goes with --preview only");
  if (have_area && !req.tiles.empty()) return usage("give tile names or one area, not both");
  if (!have_area && req.tiles.empty()) return usage("no tile given (name tiles, or use --point, --rect or --polygon)");
  if (!have_out) return usage("no output folder given (use --out DIR)");
  result.action = ExportParse::Action::Run;
  return result;
}

namespace {

// The first output of the tiles' own that would be a tile of the
// database; empty when none is.
std::string tile_output_clash(const fs::path& dir, const std::vector<std::string>& tiles) {
  for (const std::string& name : tiles) {
    for (const std::string suffix : {".tif", ".tif.aux.xml", ".flags.tif", ".flags.tif.aux.xml", ".flags.qml"}) {
      if (std::string clash = input_clash((dir / (name + suffix)).string()); !clash.empty()) return clash;
    }
  }
  return {};
}

// Writes one tile's rasters (and style file) and notes them for the
// mosaics; EXIT_DONE, or the status after the message.
int export_tile(const ExportRequest& req, FileServices& files, char drive, const std::string& name,
                std::map<int32_t, std::vector<std::string>>& words_groups,
                std::map<int32_t, std::vector<std::string>>& flags_groups, std::ostream& out, std::ostream& err) {
  TileGrid grid;
  Notice notice;
  if (!read_tile_grid(files, drive, name, grid, notice)) {
    cli::print_notice(err, notice);
    return cli::EXIT_FILE_ERROR;
  }
  const fs::path dir(req.out_dir);
  const std::string words_path = (dir / (name + ".tif")).string();
  std::string error =
      write_output(words_path, [&](const std::string& temp) { return write_words_tiff(temp, grid); });
  if (error.empty()) {
    out << words_path << "\n";
    words_groups[grid.origin.spacing].push_back(words_path);
    if (req.flags) {
      const std::string flags_path = (dir / (name + ".flags.tif")).string();
      error = write_output(flags_path, [&](const std::string& temp) { return write_flags_tiff(temp, grid); });
      if (error.empty()) error = write_flag_style(flags_path);
      if (error.empty()) {
        out << flags_path << "\n" << style_path_of(flags_path) << "\n";
        flags_groups[grid.origin.spacing].push_back(flags_path);
      }
    }
  }
  if (!error.empty()) {
    err << "Error: " << error << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  return cli::EXIT_DONE;
}

}  // namespace

int run_export(const ExportRequest& req, FileServices& files, std::ostream& out, std::ostream& err) {
  const std::optional<char> drive_read = req.drive ? req.drive : cli::read_drive_letter(files, err);
  if (!drive_read) return cli::EXIT_USAGE;
  const char drive = *drive_read;

  // No output may be a tile of the database, however named: every file is
  // checked at its writing (and the tiles' outputs before the first).
  const DriveTable drives = DriveTable::from_environment();
  std::vector<std::string> tile_files;
  for (const TileDegrees& t : database_tiles(files, drive)) {
    if (const auto host = drives.resolve(TILE_PATH(drive, TILE_NAME(t.LON_DEG, t.LAT_DEG)))) tile_files.push_back(*host);
  }
  protect_inputs(tile_files);

  if (!req.preview_dir.empty()) {
    cli::ApplyRequest dry_run;
    static_cast<cli::AreaArgs&>(dry_run) = req;
    dry_run.drive = drive;
    dry_run.dry_run = true;
    return cli::run_request(dry_run, files, out, err,
                            [&req](const cli::PreviewContext& c) {
                              return write_preview(c, req.preview_dir, req.gpkg);
                            });
  }

  std::vector<std::string> tiles = req.tiles;
  if (req.area != cli::AreaKind::None) {
    VertexTable table;
    Notice refusal = cli::fill_area_table(req, files, table);
    if (refusal.empty()) refusal = check_area(AREA_EXTENT(table));
    if (!refusal.empty()) {
      cli::print_notice(err, refusal);
      return cli::EXIT_REFUSED;
    }
    tiles = tiles_of_extent(AREA_EXTENT(table));
  }

  // Tiles are read under the shared lock, never while a modification
  // writes them, and never half-modified: a journal a killed run left
  // behind is rolled back first.
  bool said_waiting = false;
  const DatabaseAccess access(files, drive, Access::Read, [&](const std::function<bool()>&) {
    if (!said_waiting) err << "kavlin-export: waiting for a modification of the database to end\n" << std::flush;
    said_waiting = true;
  });
  for (const Notice& notice : access.notices()) cli::print_notice(err, notice);
  if (!access.ok()) return cli::EXIT_FILE_ERROR;

  // The tiles' outputs are checked before anything is written.
  const fs::path dir(req.out_dir);
  if (const std::string clash = tile_output_clash(dir, tiles); !clash.empty()) {
    err << "Error: " << clash << "; nothing was written\n";
    return cli::EXIT_USAGE;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    err << "Error: cannot create folder " << req.out_dir << (ec ? ": " + ec.message() : std::string()) << "\n";
    return cli::EXIT_FILE_ERROR;
  }

  init_gdal();
  std::map<int32_t, std::vector<std::string>> words_groups, flags_groups;
  for (const std::string& name : tiles) {
    if (const int status = export_tile(req, files, drive, name, words_groups, flags_groups, out, err);
        status != cli::EXIT_DONE) {
      return status;
    }
  }
  std::string error = write_mosaics(dir, words_groups, "", words_labels(), req.cog, false, out);
  if (error.empty()) error = write_mosaics(dir, flags_groups, ".flags", flags_labels(), req.cog, true, out);
  if (!error.empty()) {
    err << "Error: " << error << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  return cli::EXIT_DONE;
}

}  // namespace kavlin::gis
