// The polygon file check: reads the chosen polygon file and judges an
// unusable file or an area that no modification may cover. It shows
// nothing; the editor's TESTFILE (app/testfile) shows the verdict.
#pragma once

#include <string_view>

#include "polygon/polygon_reader.h"
#include "base/program_values.h"
#include "base/file_services.h"
#include "base/ui_services.h"

namespace kavlin {

struct PolygonCheck {
  bool ok = false;     // the table holds 3..25000 vertices and the area is acceptable
  int32_t status = 0;  // the reader's status
  Notice notice;       // the message to show when not ok
  Extent extent;       // valid when the file was read
};

// Reads the file into `table` and applies the area checks (at most 36
// cells, nothing south of the equator). Shows nothing.
PolygonCheck check_polygon_file(TextFiles& files, std::string_view poly_file_name, VertexTable& table,
                                PolygonPath kind = PolygonPath::PROGRAM, const AreaFileRules& rules = {});

}  // namespace kavlin
