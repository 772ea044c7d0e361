// TESTFILE: reads the chosen polygon file and refuses an unusable file or
// an area that no modification may cover.
#pragma once

#include <functional>
#include <string_view>

#include "polygon/polygon_reader.h"
#include "ui/program_values.h"
#include "ui/file_services.h"
#include "ui/ui_services.h"

namespace kavlin {

struct PolygonCheck {
  bool ok = false;     // the table holds 3..25000 vertices and the area is acceptable
  int32_t status = 0;  // the reader's status
  Notice notice;       // the message to show when not ok
  Extent extent;       // valid when the file was read
};

// Reads the file into `table` and applies the area checks (at most 36
// cells, nothing south of the equator). Shows nothing.
PolygonCheck check_polygon_file(FileServices& files, std::string_view poly_file_name, VertexTable& table,
                                PolygonPath kind = PolygonPath::PROGRAM);

// The editor's entry: returns the extent only when the file was read and
// the area is acceptable; otherwise the message has been shown and the
// program ends through STOP_PROGRAM (exit code 0).
void TESTFILE(UiServices& ui, FileServices& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX);
// The same, telling `read` about a file that was read (its vertices are in
// the table, its extent and verdict in the check) before the verdict is
// shown.
void TESTFILE(UiServices& ui, FileServices& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX, const std::function<void(const PolygonCheck&)>& read);

}  // namespace kavlin
