#include "gis/gis_polygon.h"

#include <sys/stat.h>

#include <gdal_priv.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <regex>
#include <system_error>

#include "polygon/polygon_reader.h"
#include "cli/apply_cli.h"
#include "gis/gis_raster.h"
#include "gis/polygon_convert.h"
#include "gis/safe_output.h"
#include "base/program_values.h"

namespace kavlin::gis {

namespace {

constexpr const char* HELP = R"(Usage: kavlin-polygon [--layer NAME] [--where CLAUSE | --fid N] SOURCE OUTPUT
       kavlin-polygon [--layer NAME] [--where CLAUSE] --list SOURCE
       kavlin-polygon [--layer NAME] [--where CLAUSE] --each DIR [--one-file] [--set TYPE | --clear TYPE] SOURCE

Converts the polygons of a vector data source into area files for
kavlin-apply (--polygon FILE, --area FILE NAME). SOURCE is anything GDAL
reads as vector data: a GeoPackage, a Shapefile, GeoJSON, KML ... A
feature's whole area is written: every polygon of a multipolygon, each
with its holes, one ring after another, a line "RING" before each ring
but the first. A ring is one "longitude latitude" line per vertex, in the
ring's order, its first vertex repeated as the last one (as in the
source; a ring the source leaves open is closed). A polygon of one ring
and no hole is written exactly as a polygon file of the editor. Every
number is written as the shortest decimal text that reads back as exactly
the same double. A layer in another co-ordinate reference system is
reprojected to longitude and latitude on WGS 84 (EPSG:4326) first; a layer
without one is taken as longitude and latitude as it is.

  --layer NAME     the layer to read (needed when SOURCE has several)
  --where CLAUSE   attribute filter (an OGR SQL WHERE clause such as
                   "name = 'Lake 3'"); for OUTPUT it must leave exactly one
                   feature
  --fid N          the feature whose id is N (see --list); works in every
                   format
  --list           list the features: id, name field, geometry, rings,
                   vertices and extent (longitude and latitude); nothing is
                   written
  --each DIR       write every feature of the layer (after --where) as
                   DIR/FID.txt, its whole area; DIR is made when missing
  --one-file       with --each: write every feature's area into the one
                   areas file DIR/areas.txt instead, each begun by a line
                   "AREA FID"
  --set TYPE, --clear TYPE
                   with --each: also write DIR/batch.txt, one line per
                   area in kavlin-apply's own options, such as
                   "--set inland-water --polygon 12.txt" or, with
                   --one-file, "--set inland-water --area areas.txt 12"
                   (paths relative to DIR); TYPE is sea, inland-water,
                   coastal-area, town or trees. kavlin-apply --batch
                   DIR/batch.txt makes them all as one modification
  --help           show this text
  --version        show the version

Refused (exit status 1): a layer of several features without a filter
that leaves one or an --fid, no matching feature, an empty geometry, a
geometry that is neither a polygon nor a multipolygon, a curved polygon, a
ring of fewer than three corners, an area of more than 250000 vertices
(the closing vertices included; kavlin-apply's limit of one area), a
vertex that is no finite number, a co-ordinate reference system GDAL
cannot understand. With --each a refused feature is
reported and left out, the others are written, and the status is 1.

Every file is written to a new temporary file in its folder and then
renamed over the target, which must be a regular file or a new name: a
folder, a device, a FIFO or a symbolic link is refused, and so is a file
the tool reads (the source, or one of its files: exit status 2).

Exit status:
  0  written (or listed)
  1  refused input (see above)
  2  usage error, a --where clause GDAL does not accept, or an output that
     is a file the tool reads
  3  SOURCE cannot be opened or a file cannot be written
)";

constexpr const char* PROGRAM = "kavlin-polygon: ";
// --each --one-file: every feature's area in one file.
constexpr const char* AREAS_FILE = "areas.txt";

struct DatasetClose {
  void operator()(GDALDataset* ds) const { GDALClose(GDALDataset::ToHandle(ds)); }
};

std::string layer_names(GDALDataset& ds) {
  std::string names;
  for (int n = 0; n < ds.GetLayerCount(); ++n) {
    if (!names.empty()) names += ", ";
    names += ds.GetLayer(n)->GetName();
  }
  return names;
}

}  // namespace

const char* polygon_help_text() { return HELP; }

std::string vertex_line(double lon, double lat) {
  char buffer[80];
  char* end = std::to_chars(buffer, buffer + sizeof buffer, lon).ptr;
  *end++ = ' ';
  end = std::to_chars(end, buffer + sizeof buffer, lat).ptr;
  return std::string(buffer, end);
}

PolygonParse parse_polygon_arguments(const std::vector<std::string>& args) {
  PolygonParse result;
  PolygonRequest& req = result.request;
  auto usage = [&](std::string error) { return result.usage(std::move(error)); };
  std::vector<std::string> positional;
  bool each = false;
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (cli::asks_for_help(arg)) return result.help();
    if (cli::asks_for_version(arg)) return result.version();
    if (arg == "--layer" || arg == "--where") {
      if (a + 1 >= args.size()) return usage(arg + " needs 1 value");
      std::optional<std::string>& slot = arg == "--layer" ? req.layer : req.where;
      if (slot) return usage(arg + " given twice");
      slot = args[++a];
    } else if (arg == "--fid") {
      if (a + 1 >= args.size()) return usage("--fid needs 1 value");
      if (req.fid) return usage("--fid given twice");
      const std::string& v = args[++a];
      int64_t fid = -1;
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), fid);
      if (ec != std::errc() || end != v.data() + v.size() || fid < 0) {
        return usage("--fid needs a feature id (a whole number from 0), not '" + v + "'");
      }
      req.fid = fid;
    } else if (arg == "--list") {
      req.list = true;
    } else if (arg == "--each") {
      if (a + 1 >= args.size()) return usage("--each needs 1 value");
      if (each) return usage("--each given twice");
      each = true;
      req.each_dir = args[++a];
      if (req.each_dir.empty()) return usage("empty folder name");
    } else if (arg == "--one-file") {
      req.one_file = true;
    } else if (arg == "--set" || arg == "--clear") {
      if (a + 1 >= args.size()) return usage(arg + " needs 1 value");
      if (!req.batch_kind.empty()) return usage("give one of --set and --clear");
      const std::string& type = args[++a];
      if (!cli::kind_from_type(type, arg == "--set")) {
        return usage("unknown land-cover type '" + type + "' (use sea, inland-water, coastal-area, town or trees)");
      }
      req.batch_kind = arg + " " + type;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (req.list && (each || req.fid)) return usage("--list cannot be combined with --each or --fid");
  if (req.fid && req.where) return usage("choose the feature with --fid or with --where, not both");
  if (each && req.fid) return usage("--each writes every feature; --fid cannot be combined with it");
  if (!req.batch_kind.empty() && !each) return usage("--set and --clear go with --each");
  if (req.one_file && !each) return usage("--one-file goes with --each");
  for (const std::string& p : positional) {
    if (p.empty()) return usage("empty file name");
  }
  if (req.list || each) {
    if (positional.size() != 1) return usage("give the data source only");
    req.source = positional[0];
  } else {
    if (positional.size() != 2) return usage("give the data source and the output file");
    req.source = positional[0];
    req.output = positional[1];
  }
  result.action = PolygonParse::Action::Run;
  return result;
}

namespace {

// A text for one tab-separated column: control characters become blanks.
std::string column_text(std::string text) {
  for (char& ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  }
  return text;
}

// The value of the feature's "name" field, "-" without one.
std::string feature_name(OGRFeature& feature) {
  const int index = feature.GetFieldIndex("name");
  if (index < 0 || !feature.IsFieldSetAndNotNull(index)) return "-";
  return column_text(feature.GetFieldAsString(index));
}

std::string shortest(double value) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// One --list line: fid, name, geometry, rings, vertices (all rings'),
// extent.
std::string list_line(OGRFeature& feature, const ToLonLat& lon_lat) {
  const OGRGeometry* geometry = feature.GetGeometryRef();
  std::string kind = "empty";
  std::string rings = "-";
  std::string vertices = "-";
  std::string extent = "-";
  if (geometry != nullptr && !geometry->IsEmpty()) {
    const OGRwkbGeometryType type = wkbFlatten(geometry->getGeometryType());
    kind = OGRGeometryTypeToName(type);
    std::string unused;
    const std::vector<const OGRPolygon*> parts = polygons_of(geometry, "", unused);
    if (!parts.empty()) {
      std::size_t count = 0, holes = 0;
      const std::vector<const OGRLinearRing*> all = rings_of(parts);
      for (const OGRLinearRing* ring : all) count += written_vertices(ring);
      for (const OGRPolygon* part : parts) holes += static_cast<std::size_t>(part->getNumInteriorRings());
      kind = parts.size() > 1 ? "Multi Polygon of " + std::to_string(parts.size()) + " parts" : "Polygon";
      if (holes > 0) kind += ", " + std::to_string(holes) + " hole(s)";
      rings = std::to_string(all.size());
      vertices = std::to_string(count);
    }
    std::unique_ptr<OGRGeometry> copy(geometry->clone());
    if (!lon_lat.transform || copy->transform(lon_lat.transform.get()) == OGRERR_NONE) {
      OGREnvelope e;
      copy->getEnvelope(&e);
      extent = shortest(e.MinX) + " " + shortest(e.MinY) + " " + shortest(e.MaxX) + " " + shortest(e.MaxY);
    }
  }
  return std::to_string(feature.GetFID()) + "\t" + feature_name(feature) + "\t" + kind + "\t" + rings + "\t" +
         vertices + "\t" + extent + "\n";
}

// Why a source must not be opened: it is a FIFO, a device or a socket.
std::string source_kind_problem(const std::string& source) {
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return {};
  if (S_ISFIFO(st.st_mode)) return "it is a FIFO";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "it is a device";
  if (S_ISSOCK(st.st_mode)) return "it is a socket";
  return "it is not a regular file";
}

// The files of the source: the name given and every file GDAL reads for
// it (a shapefile's .dbf and .shx as well).
std::vector<std::string> source_files(GDALDataset& ds, const std::string& source) {
  std::vector<std::string> files{source};
  char** list = ds.GetFileList();
  for (char** f = list; f != nullptr && *f != nullptr; ++f) files.emplace_back(*f);
  CSLDestroy(list);
  return files;
}

// Whether a name could be one that --each writes: N.txt, N_M.txt (N a
// feature id, perhaps negative), batch.txt.
bool each_output_name(const std::string& name) {
  if (name == "batch.txt" || name == AREAS_FILE) return true;
  static const std::regex pattern("-?[0-9]+(_[0-9]+)?\\.txt");
  return std::regex_match(name, pattern);
}

// The refusal of a request whose output would be a file of the source,
// before anything is written: OUT itself, or for --each a source file in
// DIR under a name --each may write.
std::string output_clash(const PolygonRequest& req) {
  if (req.list) return {};
  if (req.each_dir.empty()) {
    const std::string clash = input_clash(req.output);
    return clash.empty() ? clash : clash + "; nothing was written";
  }
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(req.each_dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!each_output_name(name)) continue;
    const std::string clash = input_clash(entry.path().string());
    if (!clash.empty()) return clash + " (--each " + req.each_dir + " would write " + name + "); nothing was written";
  }
  return {};
}

}  // namespace

namespace {

// One conversion of a layer's features, the layer chosen: what the three
// ways of writing (--list, --each, one feature) share.
class PolygonRun {
 public:
  PolygonRun(const PolygonRequest& req, OGRLayer& layer, std::ostream& out, std::ostream& err)
      : req(req), layer_(layer), layer_name(layer.GetName()), out(out), err(err) {}
  // The layer's reference system read (false: refused, `status` set).
  bool prepare(const std::string& open_error, int& status);
  int list();
  int each();
  int one();

 private:
  int refuse(const std::string& text) {
    err << PROGRAM << text << "\n";
    return cli::EXIT_REFUSED;
  }
  int cannot_write(const std::string& path, const std::string& reason) {
    err << PROGRAM << "cannot write " << path << ": " << reason << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  int bad_filter() {
    err << PROGRAM << with_gdal_error("--where \"" + *req.where + "\" is no attribute filter for layer " + layer_name)
        << "\n";
    return cli::EXIT_USAGE;
  }
  // Longitude and latitude on WGS 84: the layer's conversion, or a
  // feature's own where its geometry names another reference system.
  const ToLonLat* lon_lat_of(const OGRGeometry* geometry, ToLonLat& own) {
    const OGRSpatialReference* srs = geometry != nullptr ? geometry->getSpatialReference() : nullptr;
    if (srs != nullptr && (layer_srs_ == nullptr || !srs->IsSame(layer_srs_))) {
      own = to_lon_lat(srs);
      return &own;
    }
    if (srs == nullptr && layer_srs_ == nullptr && !warned_) {
      warned_ = true;
      err << PROGRAM << "warning: layer " << layer_name
          << " has no co-ordinate reference system; its co-ordinates are taken as longitude and latitude\n";
    }
    return &layer_lon_lat_;
  }
  OGRFeatureUniquePtr next_feature() { return OGRFeatureUniquePtr(layer_.GetNextFeature()); }

  const PolygonRequest& req;
  OGRLayer& layer_;
  const std::string layer_name;
  std::ostream& out;
  std::ostream& err;
  const OGRSpatialReference* layer_srs_ = nullptr;
  ToLonLat layer_lon_lat_;
  bool warned_ = false;
};

bool PolygonRun::prepare(const std::string& open_error, int& status) {
  clear_gdal_error();
  if (req.where && layer_.SetAttributeFilter(req.where->c_str()) != OGRERR_NONE) {
    status = bad_filter();
    return false;
  }
  layer_srs_ = layer_.GetSpatialRef();
  // A reference system the source names but that cannot be understood is
  // never taken for longitude and latitude (GDAL reads such a GeoJSON
  // layer as WGS 84, saying so only in its error).
  if (const std::string gdal = open_error + last_gdal_error(); gdal.find("PROJ") != std::string::npos) {
    status = refuse("the co-ordinate reference system of " + req.source + " cannot be understood (" + gdal +
                    "); nothing was written");
    return false;
  }
  layer_lon_lat_ = to_lon_lat(layer_srs_);
  // Reads the features; some drivers check a filter only when they read
  // with it: an error then is the filter's.
  clear_gdal_error();
  layer_.ResetReading();
  return true;
}

int PolygonRun::list() {
  std::string text = "fid\tname\tgeometry\trings\tvertices\textent (lon min, lat min, lon max, lat max)\n";
  int64_t count = 0;
  while (OGRFeatureUniquePtr feature = next_feature()) {
    ToLonLat own;
    const ToLonLat* lon_lat = lon_lat_of(feature->GetGeometryRef(), own);
    text += list_line(*feature, *lon_lat);
    ++count;
  }
  if (req.where && !last_gdal_error().empty()) return bad_filter();
  out << text << count << (count == 1 ? " feature" : " features") << " in layer " << layer_name << "\n";
  return cli::EXIT_DONE;
}

int PolygonRun::each() {
  // The folder of the files: made when missing, otherwise it must be one.
  std::error_code ec;
  const std::filesystem::path dir(req.each_dir);
  const auto status = std::filesystem::status(dir, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return cannot_write(req.each_dir, ec.message());
  if (!std::filesystem::exists(status)) {
    std::filesystem::create_directory(dir, ec);
    if (ec) return cannot_write(req.each_dir, ec.message());
  } else if (!std::filesystem::is_directory(status)) {
    return cannot_write(req.each_dir, "it is not a folder");
  }

  std::vector<std::string> written;
  std::string areas;  // --one-file: the areas file's text
  int64_t features = 0, refused = 0;
  while (OGRFeatureUniquePtr feature = next_feature()) {
    ++features;
    const std::string fid = std::to_string(feature->GetFID());
    const std::string which = "feature " + fid + " of layer " + layer_name;
    std::string refusal;
    const std::vector<const OGRPolygon*> parts = polygons_of(feature->GetGeometryRef(), which, refusal);
    if (parts.empty()) {
      err << PROGRAM << refusal << "; left out\n";
      ++refused;
      continue;
    }
    ToLonLat own;
    const ToLonLat* lon_lat = lon_lat_of(feature->GetGeometryRef(), own);
    if (lon_lat->failed) {
      err << PROGRAM << with_gdal_error("cannot reproject " + which + " to EPSG:4326") << "; left out\n";
      ++refused;
      continue;
    }
    // The feature's whole area: every part and hole in one file.
    const Converted c = convert_area(parts, *lon_lat, which);
    if (!c.refusal.empty()) {
      err << PROGRAM << c.refusal << "; left out\n";
      ++refused;
      continue;
    }
    const std::string name = req.one_file ? fid : fid + ".txt";
    const std::string path = (dir / (req.one_file ? AREAS_FILE : name)).string();
    if (req.one_file) {
      areas += "AREA " + fid + "\n" + c.text;
    } else if (std::string error; !write_output_file(path, c.text, error)) {
      return cannot_write(path, error);
    }
    out << c.vertices << " vertices in " << c.rings << (c.rings == 1 ? " ring" : " rings") << " of " << which
        << (req.one_file ? " taken into " : " written to ") << path << "\n";
    written.push_back(name);
  }
  if (req.one_file && !written.empty()) {
    const std::string path = (dir / AREAS_FILE).string();
    if (std::string error; !write_output_file(path, areas, error)) return cannot_write(path, error);
    out << written.size() << (written.size() == 1 ? " area" : " areas") << " written to " << path << "\n";
  }
  if (req.where && !last_gdal_error().empty()) return bad_filter();
  if (features == 0) {
    return refuse(req.where ? "no feature of layer " + layer_name + " matches --where \"" + *req.where + "\""
                            : "layer " + layer_name + " has no feature");
  }
  if (!req.batch_kind.empty()) {
    std::string batch;
    for (const std::string& name : written) {
      batch += req.batch_kind + (req.one_file ? std::string(" --area ") + AREAS_FILE + " " : " --polygon ") + name + "\n";
    }
    const std::string path = (dir / "batch.txt").string();
    std::string error;
    if (!write_output_file(path, batch, error)) return cannot_write(path, error);
    out << written.size() << (written.size() == 1 ? " line" : " lines") << " written to " << path << "\n";
  }
  if (refused > 0) {
    err << PROGRAM << refused << (refused == 1 ? " polygon was" : " polygons were") << " left out\n";
    return cli::EXIT_REFUSED;
  }
  return cli::EXIT_DONE;
}

int PolygonRun::one() {
  // One polygon: the feature of --fid, or the only feature left.
  OGRFeatureUniquePtr feature;
  if (req.fid) {
    feature.reset(layer_.GetFeature(*req.fid));
    if (!feature) return refuse("layer " + layer_name + " has no feature " + std::to_string(*req.fid) + " (see --list)");
  } else {
    feature = next_feature();
    if (req.where && !last_gdal_error().empty()) return bad_filter();
    if (!feature) {
      return refuse(req.where ? "no feature of layer " + layer_name + " matches --where \"" + *req.where + "\""
                              : "layer " + layer_name + " has no feature");
    }
    int64_t count = 1;
    while (OGRFeatureUniquePtr next = next_feature()) ++count;
    if (count > 1) {
      return refuse(std::to_string(count) + " features of layer " + layer_name +
                    (req.where ? " match --where \"" + *req.where + "\"" : std::string()) +
                    "; choose one with --fid N (--list shows the ids) or --where (an attribute filter such as"
                    " \"name = 'Lake 3'\"), or write them all with --each DIR");
    }
  }
  const std::string which = "feature " + std::to_string(feature->GetFID()) + " of layer " + layer_name;
  std::string refusal;
  const std::vector<const OGRPolygon*> parts = polygons_of(feature->GetGeometryRef(), which, refusal);
  if (parts.empty()) return refuse(refusal);
  ToLonLat own;
  const ToLonLat* lon_lat = lon_lat_of(feature->GetGeometryRef(), own);
  if (lon_lat->failed) return refuse(with_gdal_error("cannot reproject layer " + layer_name + " to EPSG:4326"));
  const Converted c = convert_area(parts, *lon_lat, which);
  if (!c.refusal.empty()) return refuse(c.refusal);

  std::string error;
  if (!write_output_file(req.output, c.text, error)) return cannot_write(req.output, error);
  out << c.vertices << " vertices in " << c.rings << (c.rings == 1 ? " ring" : " rings") << " of " << which
      << " written to " << req.output << "\n";
  return cli::EXIT_DONE;
}

}  // namespace

int run_polygon(const PolygonRequest& req, std::ostream& out, std::ostream& err) {
  init_gdal();
  auto refuse = [&](const std::string& text) {
    err << PROGRAM << text << "\n";
    return cli::EXIT_REFUSED;
  };

  // A FIFO, a device or a socket is never opened: reading one may never
  // end. (A name that is no file at all may be one of GDAL's own.)
  if (const std::string kind = source_kind_problem(req.source); !kind.empty()) {
    err << PROGRAM << "cannot open " << req.source << ": " << kind << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  clear_gdal_error();
  std::unique_ptr<GDALDataset, DatasetClose> ds(
      GDALDataset::Open(req.source.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
  if (!ds) {
    err << PROGRAM << with_gdal_error("cannot open " + req.source + " as vector data") << "\n";
    return cli::EXIT_FILE_ERROR;
  }
  // What GDAL said while it opened the source (a reference system it
  // could not understand, say).
  const std::string open_error = last_gdal_error();
  // No output may be a file of the source (however named), checked
  // before anything is written.
  protect_inputs(source_files(*ds, req.source));
  if (const std::string clash = output_clash(req); !clash.empty()) {
    err << PROGRAM << clash << "\n";
    return cli::EXIT_USAGE;
  }

  OGRLayer* layer = nullptr;
  if (req.layer) {
    layer = ds->GetLayerByName(req.layer->c_str());
    if (layer == nullptr) return refuse("no layer '" + *req.layer + "' in " + req.source + " (layers: " + layer_names(*ds) + ")");
  } else if (ds->GetLayerCount() == 1) {
    layer = ds->GetLayer(0);
  } else if (ds->GetLayerCount() == 0) {
    return refuse(req.source + " has no layer");
  } else {
    return refuse(req.source + " has " + std::to_string(ds->GetLayerCount()) + " layers (" + layer_names(*ds) +
                  "); choose one with --layer");
  }
  PolygonRun run(req, *layer, out, err);
  int status = cli::EXIT_DONE;
  if (!run.prepare(open_error, status)) return status;
  if (req.list) return run.list();
  if (!req.each_dir.empty()) return run.each();
  return run.one();
}

}  // namespace kavlin::gis
