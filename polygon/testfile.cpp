#include "polygon/testfile.h"

#include "polygon/area_test.h"
#include "polygon/polygon_reader.h"

namespace kavlin {

PolygonCheck check_polygon_file(FileServices& files, std::string_view poly_file_name, VertexTable& table,
                                PolygonPath kind) {
  PolygonCheck check;
  const PolygonReadResult read = read_polygon_file(files, poly_file_name, table, kind);
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

void TESTFILE(UiServices& ui, FileServices& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX) {
  TESTFILE(ui, files, values, LON_MIN, LON_MAX, LAT_MIN, LAT_MAX, {});
}

void TESTFILE(UiServices& ui, FileServices& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX, const std::function<void(const PolygonCheck&)>& read) {
  const PolygonCheck check = check_polygon_file(files, values.POLY_FILE_NAME, values.AREA);
  if (read && check.status == STATUS_OK) read(check);
  if (!check.ok) {
    if (!check.notice.empty()) ui.MESSAGE_BOX(check.notice.text, check.notice.caption, MESSAGE_OK);
    ui.STOP_PROGRAM(0);
  }
  LON_MIN = check.extent.LON_MIN;
  LON_MAX = check.extent.LON_MAX;
  LAT_MIN = check.extent.LAT_MIN;
  LAT_MAX = check.extent.LAT_MAX;
}

}  // namespace kavlin
