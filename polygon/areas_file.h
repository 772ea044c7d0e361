// Areas files: the areas of a whole layer in one text file, each begun by
// a line "AREA name" and written as an area file of the tools (vertex
// lines, RING lines between its rings). A batch line names one area of
// such a file (--area FILE NAME); the file is read once for all of them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "polygon/polygon_reader.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

// Longest area name: letters, digits and "_", "-", "." only (a feature id
// such as 17 or -3, a name such as lake_3).
inline constexpr std::size_t MAX_AREA_NAME = 40;
bool area_name_valid(std::string_view name);

struct AreasFileResult {
  // The file could not be read, or its lines are not an areas file (a
  // vertex before the first AREA line, a bad or repeated name, a line of
  // the wrong format): the reader's status and message, naming the area.
  // The areas read before it stay in their tables.
  int32_t status = STATUS_OK;
  Notice notice;
};

// Reads the areas file `path` once. For each AREA line, `table_for(name)`
// gives the table to fill (cleared first) or nullptr to skip the area;
// each area filled gets `verdict(name, area_verdict)` once its last line is
// read. Every area at most `rules.max_vertices` vertices.
AreasFileResult read_areas_file(
    TextFiles& files, const std::string& path, PolygonPath kind, const AreaFileRules& rules,
    const std::function<VertexTable*(const std::string& name)>& table_for,
    const std::function<void(const std::string& name, const PolygonReadResult& verdict)>& verdict);

}  // namespace kavlin
