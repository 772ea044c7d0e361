#include "gis/gis_polygon.h"

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
#include <system_error>

#include "polygon/polygon_reader.h"
#include "cli/apply_cli.h"
#include "gis/gis_raster.h"
#include "ui/program_values.h"

namespace kavlin::gis {

namespace {

constexpr const char* HELP = R"(Usage: kavlin-polygon [--layer NAME] [--where CLAUSE] SOURCE OUTPUT

Converts one polygon of a vector data source into a polygon text file for
kavlin-apply --polygon and the editor's polygon mode. SOURCE is anything
GDAL reads as vector data: a GeoPackage, a Shapefile, GeoJSON, KML ...
OUTPUT is written as one "longitude latitude" line per vertex of the
polygon's outer ring, in the ring's order, its first vertex repeated as the
last one (as in the source; a ring the source leaves open is closed).
Every number is written as the shortest decimal text that reads back as
exactly the same double. A layer in another co-ordinate reference system
is reprojected to longitude and latitude on WGS 84 (EPSG:4326) first; a
layer without one is taken as longitude and latitude as it is.

  --layer NAME     the layer to read (needed when SOURCE has several)
  --where CLAUSE   attribute filter (an OGR SQL WHERE clause such as
                   "name = 'Lake 3'") that must leave exactly one feature
  --help           show this text

Refused (exit status 1): a layer of several features without a filter
that leaves one, no matching feature, an empty geometry, a geometry that is
not a polygon, a multipolygon of more than one part, a polygon with holes
(interior rings), a curved polygon, an outer ring of fewer than three
corners or of more than 25000 vertices (the closing vertex included).

Exit status:
  0  written
  1  refused input (see above)
  2  usage error, or a --where clause GDAL does not accept
  3  SOURCE cannot be opened or OUTPUT cannot be written
)";

constexpr const char* PROGRAM = "kavlin-polygon: ";

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

std::string with_gdal_error(std::string text) {
  const std::string gdal = last_gdal_error();
  if (!gdal.empty()) text += ": " + gdal;
  return text;
}

// The vertex reads back exactly as the polygon reader reads its lines.
bool reads_back(const std::string& line, double lon, double lat) {
  std::string buffer = line;
  buffer.resize(LINE_LENGTH, ' ');
  double rlon = 0.0, rlat = 0.0;
  if (line.size() > LINE_LENGTH || parse_vertex_line(buffer, rlon, rlat) != STATUS_OK) return false;
  return std::memcmp(&rlon, &lon, sizeof lon) == 0 && std::memcmp(&rlat, &lat, sizeof lat) == 0;
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
  auto usage = [&](std::string error) {
    result.action = PolygonParse::Action::Usage;
    result.error = std::move(error);
    return result;
  };
  std::vector<std::string> positional;
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (arg == "--help" || arg == "-h") {
      result.action = PolygonParse::Action::Help;
      return result;
    }
    if (arg == "--layer" || arg == "--where") {
      if (a + 1 >= args.size()) return usage(arg + " needs 1 value");
      std::optional<std::string>& slot = arg == "--layer" ? req.layer : req.where;
      if (slot) return usage(arg + " given twice");
      slot = args[++a];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return usage("give the data source and the output file");
  if (positional[0].empty() || positional[1].empty()) return usage("empty file name");
  req.source = positional[0];
  req.output = positional[1];
  result.action = PolygonParse::Action::Run;
  return result;
}

int run_polygon(const PolygonRequest& req, std::ostream& out, std::ostream& err) {
  init_gdal();
  auto refuse = [&](const std::string& text) {
    err << PROGRAM << text << "\n";
    return cli::EXIT_REFUSED;
  };

  std::unique_ptr<GDALDataset, DatasetClose> ds(
      GDALDataset::Open(req.source.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR));
  if (!ds) {
    err << PROGRAM << with_gdal_error("cannot open " + req.source + " as vector data") << "\n";
    return cli::EXIT_FILE_ERROR;
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
  const std::string layer_name = layer->GetName();

  clear_gdal_error();
  if (req.where && layer->SetAttributeFilter(req.where->c_str()) != OGRERR_NONE) {
    err << PROGRAM << with_gdal_error("--where \"" + *req.where + "\" is no attribute filter for layer " + layer_name)
        << "\n";
    return cli::EXIT_USAGE;
  }

  // Exactly one feature must be left. Some drivers check a filter only
  // when they read with it: an error then is the filter's.
  auto bad_filter = [&] {
    err << PROGRAM << with_gdal_error("--where \"" + *req.where + "\" is no attribute filter for layer " + layer_name)
        << "\n";
    return cli::EXIT_USAGE;
  };
  clear_gdal_error();
  layer->ResetReading();
  OGRFeatureUniquePtr feature(layer->GetNextFeature());
  if (req.where && !last_gdal_error().empty()) return bad_filter();
  if (!feature) {
    return refuse(req.where ? "no feature of layer " + layer_name + " matches --where \"" + *req.where + "\""
                            : "layer " + layer_name + " has no feature");
  }
  int64_t count = 1;
  while (OGRFeatureUniquePtr next{layer->GetNextFeature()}) ++count;
  if (count > 1) {
    return refuse(std::to_string(count) + " features of layer " + layer_name +
                  (req.where ? " match --where \"" + *req.where + "\"" : std::string()) +
                  "; choose one with --where (an attribute filter such as \"name = 'Lake 3'\")");
  }
  const std::string which = "feature " + std::to_string(feature->GetFID()) + " of layer " + layer_name;

  const OGRGeometry* geometry = feature->GetGeometryRef();
  if (geometry == nullptr || geometry->IsEmpty()) return refuse(which + " has an empty geometry");
  const OGRwkbGeometryType type = wkbFlatten(geometry->getGeometryType());
  const OGRPolygon* polygon = nullptr;
  if (type == wkbPolygon) {
    polygon = geometry->toPolygon();
  } else if (type == wkbMultiPolygon) {
    const OGRMultiPolygon* multi = geometry->toMultiPolygon();
    if (multi->getNumGeometries() != 1) {
      return refuse(which + " is a multipolygon of " + std::to_string(multi->getNumGeometries()) +
                    " parts; only a single polygon can be converted");
    }
    polygon = multi->getGeometryRef(0);
  } else if (type == wkbCurvePolygon || type == wkbMultiSurface) {
    return refuse(which + " is a curved polygon (" + OGRGeometryTypeToName(type) +
                  "); convert it to straight edges first");
  } else {
    return refuse(which + " is a " + OGRGeometryTypeToName(type) + ", not a polygon");
  }
  if (polygon->getNumInteriorRings() > 0) {
    return refuse(which + " has " + std::to_string(polygon->getNumInteriorRings()) +
                  " hole(s) (interior rings); a polygon file describes one outer ring only");
  }
  const OGRLinearRing* ring = polygon->getExteriorRing();
  if (ring == nullptr || ring->IsEmpty()) return refuse(which + " has an empty geometry");

  std::vector<double> xs(static_cast<std::size_t>(ring->getNumPoints()));
  std::vector<double> ys(xs.size());
  for (int n = 0; n < ring->getNumPoints(); ++n) {
    xs[static_cast<std::size_t>(n)] = ring->getX(n);
    ys[static_cast<std::size_t>(n)] = ring->getY(n);
  }
  if (xs.front() != xs.back() || ys.front() != ys.back()) {
    xs.push_back(xs.front());
    ys.push_back(ys.front());
  }
  if (xs.size() > static_cast<std::size_t>(MAX_VERTICES)) {
    return refuse(which + " has " + std::to_string(xs.size()) + " vertices; a polygon file holds at most " +
                  std::to_string(MAX_VERTICES));
  }
  if (xs.size() < 4) return refuse(which + " has a ring of fewer than three corners");

  // Longitude and latitude on WGS 84, longitude first.
  const OGRSpatialReference* source_srs = geometry->getSpatialReference();
  if (source_srs == nullptr) source_srs = layer->GetSpatialRef();
  if (source_srs == nullptr) {
    err << PROGRAM << "warning: layer " << layer_name
        << " has no co-ordinate reference system; its co-ordinates are taken as longitude and latitude\n";
  } else {
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    OGRSpatialReference from(*source_srs);
    from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (!from.IsSame(&wgs84)) {
      std::unique_ptr<OGRCoordinateTransformation> transform(OGRCreateCoordinateTransformation(&from, &wgs84));
      if (!transform || !transform->Transform(xs.size(), xs.data(), ys.data())) {
        return refuse(with_gdal_error("cannot reproject layer " + layer_name + " to EPSG:4326"));
      }
    }
  }

  std::string text;
  for (std::size_t n = 0; n < xs.size(); ++n) {
    if (!std::isfinite(xs[n]) || !std::isfinite(ys[n])) {
      return refuse(which + ": vertex " + std::to_string(n + 1) + " has no finite longitude and latitude");
    }
    const std::string line = vertex_line(xs[n], ys[n]);
    if (!reads_back(line, xs[n], ys[n])) {
      return refuse(which + ": vertex " + std::to_string(n + 1) + " (" + line + ") does not read back exactly");
    }
    text += line;
    text += '\n';
  }

  // Written beside the target and renamed, so a failed write leaves no
  // half file under the output's name.
  const std::filesystem::path target(req.output);
  const std::filesystem::path temporary(req.output + ".tmp");
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    std::error_code ec;
    if (!file) {
      std::filesystem::remove(temporary, ec);
      err << PROGRAM << "cannot write " << req.output << "\n";
      return cli::EXIT_FILE_ERROR;
    }
    std::filesystem::rename(temporary, target, ec);
    if (ec) {
      std::filesystem::remove(temporary, ec);
      err << PROGRAM << "cannot write " << req.output << ": " << ec.message() << "\n";
      return cli::EXIT_FILE_ERROR;
    }
  }
  out << xs.size() << " vertices of " << which << " written to " << req.output << "\n";
  return cli::EXIT_DONE;
}

}  // namespace kavlin::gis
