#include "polygon/polygon_check.h"

#include "polygon/area_rules.h"
#include "polygon/polygon_reader.h"

namespace kavlin {

PolygonCheck check_polygon_file(TextFiles& files, std::string_view poly_file_name, VertexTable& table,
                                PolygonPath kind, const AreaFileRules& rules) {
  PolygonCheck check;
  const PolygonReadResult read = read_polygon_file(files, poly_file_name, table, kind, rules);
  check.status = read.status;
  if (read.status != STATUS_OK) {
    // The reader's own message is the only one the user sees.
    check.notice = read.notice;
    return check;
  }
  check.extent = AREA_EXTENT(table);
  check.notice = check_area(check.extent);
  check.ok = check.notice.empty();
  return check;
}

}  // namespace kavlin
