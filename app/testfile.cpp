#include "app/testfile.h"

namespace kavlin {

void READ_FILE(UiServices& ui, TextFiles& files, ProgramValues& values, int32_t& status) {
  const PolygonReadResult result = read_polygon_file(files, values.POLY_FILE_NAME, values.AREA);
  if (!result.notice.empty()) ui.MESSAGE_BOX(result.notice.text, result.notice.caption, MESSAGE_OK);
  status = result.status;
}

void TESTFILE(UiServices& ui, TextFiles& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX) {
  TESTFILE(ui, files, values, LON_MIN, LON_MAX, LAT_MIN, LAT_MAX, {});
}

void TESTFILE(UiServices& ui, TextFiles& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
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
