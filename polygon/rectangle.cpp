#include "polygon/rectangle.h"

#include "polygon/area_rules.h"

namespace kavlin {

Notice rectangle_corner_notice(double LON1, double LAT1, double LON2, double LAT2) {
  if (LON2 <= LON1) return {"Lower right corner is not east of upper left corner!", "Error in co-ordinates"};
  if (LAT2 >= LAT1) return {"Lower right corner is not south of upper left corner!", "Error in co-ordinates"};
  return {};
}

Notice rectangle_size_notice(double LON1, double LAT1, double LON2, double LAT2) {
  return area_size_notice(Extent{LON1, LON2, LAT2, LAT1});
}

void fill_rectangle_ring(VertexTable& table, double LON1, double LAT1, double LON2, double LAT2) {
  const double lon[5] = {LON1, LON2, LON2, LON1, LON1};
  const double lat[5] = {LAT1, LAT1, LAT2, LAT2, LAT1};
  table.clear();
  for (int32_t v = 0; v < 5; ++v) table.add_vertex(lon[v], lat[v]);
}

void fill_point(VertexTable& table, double LON1, double LAT1) {
  table.clear();
  table.add_vertex(LON1, LAT1);
}

}  // namespace kavlin
