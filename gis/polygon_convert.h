// Polygons of a vector layer into the text of an area file: the reference
// system to longitude and latitude, the polygons of a geometry, and every
// ring of them written so that each vertex reads back exactly.
#pragma once

#include <ogr_geometry.h>
#include <ogr_spatialref.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kavlin::gis {

// GDAL's last error message appended to `text` (": MESSAGE"), if any.
std::string with_gdal_error(std::string text);
// Whether the vertex line reads back exactly as the polygon reader reads it.
bool reads_back(const std::string& line, double lon, double lat);

// The conversion to longitude and latitude on WGS 84, longitude first;
// none where the co-ordinates are that already, or where no reference
// system is known.
struct ToLonLat {
  std::unique_ptr<OGRCoordinateTransformation> transform;
  bool failed = false;
};
ToLonLat to_lon_lat(const OGRSpatialReference* source_srs);

// The polygons of a geometry: itself for a polygon, its parts for a
// multipolygon. Anything else is refused with the reason.
std::vector<const OGRPolygon*> polygons_of(const OGRGeometry* geometry, const std::string& which,
                                           std::string& refusal);
// The vertices of a ring as they are written: the ring closed.
std::size_t written_vertices(const OGRLinearRing* ring);
// The rings of the polygons: each one's outer ring, then its holes.
std::vector<const OGRLinearRing*> rings_of(const std::vector<const OGRPolygon*>& parts);

struct Converted {
  std::string text;        // the area file
  std::size_t vertices = 0;
  std::size_t rings = 0;
  std::string refusal;     // why it cannot be written; empty when it can
};
// A polygon or multipolygon as one area file: every ring of every part,
// holes included, rings after the first each begun by a RING line.
Converted convert_area(const std::vector<const OGRPolygon*>& parts, const ToLonLat& lon_lat,
                       const std::string& which);

}  // namespace kavlin::gis
