#include "gis/polygon_convert.h"

#include <cpl_error.h>

#include <cmath>
#include <cstring>

#include "gis/gis_polygon.h"
#include "gis/gis_raster.h"
#include "polygon/polygon_reader.h"
#include "base/fixed_text.h"
#include "base/program_values.h"

namespace kavlin::gis {

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

ToLonLat to_lon_lat(const OGRSpatialReference* source_srs) {
  ToLonLat result;
  if (source_srs == nullptr) return result;
  OGRSpatialReference wgs84;
  wgs84.importFromEPSG(4326);
  wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  OGRSpatialReference from(*source_srs);
  from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (from.IsSame(&wgs84)) return result;
  result.transform.reset(OGRCreateCoordinateTransformation(&from, &wgs84));
  result.failed = !result.transform;
  return result;
}

// The polygons of a geometry: itself for a polygon, its parts for a
// multipolygon. Anything else is refused with the reason.
std::vector<const OGRPolygon*> polygons_of(const OGRGeometry* geometry, const std::string& which,
                                           std::string& refusal) {
  std::vector<const OGRPolygon*> parts;
  if (geometry == nullptr || geometry->IsEmpty()) {
    refusal = which + " has an empty geometry";
    return parts;
  }
  const OGRwkbGeometryType type = wkbFlatten(geometry->getGeometryType());
  if (type == wkbPolygon) {
    parts.push_back(geometry->toPolygon());
  } else if (type == wkbMultiPolygon) {
    for (const OGRPolygon* part : *geometry->toMultiPolygon()) parts.push_back(part);
  } else if (type == wkbCurvePolygon || type == wkbMultiSurface) {
    refusal = which + " is a curved polygon (" + OGRGeometryTypeToName(type) + "); convert it to straight edges first";
  } else {
    refusal = which + " is a " + OGRGeometryTypeToName(type) + ", not a polygon";
  }
  return parts;
}

// The vertices of a ring as they are written: the ring closed.
std::size_t written_vertices(const OGRLinearRing* ring) {
  if (ring == nullptr || ring->IsEmpty()) return 0;
  const int n = ring->getNumPoints();
  const bool closed = ring->getX(0) == ring->getX(n - 1) && ring->getY(0) == ring->getY(n - 1);
  return static_cast<std::size_t>(n) + (closed ? 0 : 1);
}

// The rings of the polygons: each one's outer ring, then its holes.
std::vector<const OGRLinearRing*> rings_of(const std::vector<const OGRPolygon*>& parts) {
  std::vector<const OGRLinearRing*> rings;
  for (const OGRPolygon* part : parts) {
    rings.push_back(part->getExteriorRing());
    for (int h = 0; h < part->getNumInteriorRings(); ++h) rings.push_back(part->getInteriorRing(h));
  }
  return rings;
}

namespace {

// One ring into the area file's text: closed, in longitude and latitude,
// every vertex reading back exactly; false with the refusal set.
bool convert_ring(const OGRLinearRing& ring, const ToLonLat& lon_lat, const std::string& which, Converted& c) {
  std::vector<double> xs(static_cast<std::size_t>(ring.getNumPoints()));
  std::vector<double> ys(xs.size());
  for (int n = 0; n < ring.getNumPoints(); ++n) {
    xs[static_cast<std::size_t>(n)] = ring.getX(n);
    ys[static_cast<std::size_t>(n)] = ring.getY(n);
  }
  if (xs.front() != xs.back() || ys.front() != ys.back()) {
    xs.push_back(xs.front());
    ys.push_back(ys.front());
  }
  if (xs.size() < 4) {
    c.refusal = which + " has a ring of fewer than three corners";
    return false;
  }
  if (lon_lat.transform && !lon_lat.transform->Transform(xs.size(), xs.data(), ys.data())) {
    c.refusal = with_gdal_error("cannot reproject " + which + " to EPSG:4326");
    return false;
  }
  for (std::size_t n = 0; n < xs.size(); ++n) {
    if (!std::isfinite(xs[n]) || !std::isfinite(ys[n])) {
      c.refusal = which + ": vertex " + std::to_string(c.vertices + n + 1) + " has no finite longitude and latitude";
      return false;
    }
    const std::string line = vertex_line(xs[n], ys[n]);
    if (!reads_back(line, xs[n], ys[n])) {
      c.refusal = which + ": vertex " + std::to_string(c.vertices + n + 1) + " (" + line +
                  ") does not read back exactly";
      return false;
    }
    c.text += line;
    c.text += '\n';
  }
  c.vertices += xs.size();
  return true;
}

}  // namespace

// A polygon or multipolygon as one area file: every ring of every part,
// holes included, rings after the first each begun by a RING line.
Converted convert_area(const std::vector<const OGRPolygon*>& parts, const ToLonLat& lon_lat,
                       const std::string& which) {
  Converted c;
  const std::vector<const OGRLinearRing*> rings = rings_of(parts);
  std::size_t total = 0;
  for (const OGRLinearRing* ring : rings) total += written_vertices(ring);
  if (total > static_cast<std::size_t>(MAX_AREA_VERTICES)) {
    c.refusal = which + " has " + std::to_string(total) + " vertices; an area file holds at most " +
                std::to_string(MAX_AREA_VERTICES);
    return c;
  }
  for (const OGRLinearRing* ring : rings) {
    if (ring == nullptr || ring->IsEmpty()) {
      c.refusal = which + " has an empty ring";
      return c;
    }
    if (c.rings > 0) c.text += "RING\n";
    if (!convert_ring(*ring, lon_lat, which, c)) return c;
    ++c.rings;
  }
  return c;
}

}  // namespace kavlin::gis
