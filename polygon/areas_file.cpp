#include "polygon/areas_file.h"

#include <set>

#include "base/fixed_text.h"

namespace kavlin {

bool area_name_valid(std::string_view name) {
  if (name.empty() || name.size() > MAX_AREA_NAME) return false;
  for (const char c : name) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

AreasFileResult read_areas_file(
    TextFiles& files, const std::string& path, PolygonPath kind, const AreaFileRules& rules,
    const std::function<VertexTable*(const std::string& name)>& table_for,
    const std::function<void(const std::string& name, const PolygonReadResult& verdict)>& verdict) {
  AreasFileResult result;
  int32_t unit = 0;
  const int32_t opened = kind == PolygonPath::HOST ? files.OPEN_HOST_TEXT_FILE(path, unit)
                                                   : files.OPEN_TEXT_FILE(path, unit);
  if (path.empty() || opened != 0) return {STATUS_NOT_FOUND, {"File: " + path + " not found!", "Error"}};

  std::string area;            // the area being read ("" before the first)
  VertexTable* table = nullptr;  // its table, when it is wanted
  std::set<std::string> seen;
  const auto fail = [&](int32_t status, const std::string& text) {
    files.CLOSE_FILE(unit);
    const std::string where = area.empty() ? "" : " (area " + area + ")";
    return AreasFileResult{status, {"Error reading areas file " + path + where + ": " + text, "Error"}};
  };
  const auto end_area = [&] {
    if (table != nullptr) verdict(area, area_verdict(*table));
  };
  for (;;) {
    std::string line(LINE_LENGTH, ' ');
    bool cut = false;
    const int32_t rc = files.READ_TEXT_LINE_CUT(unit, line, LINE_LENGTH, cut);
    if (rc == END_OF_FILE) break;
    if (rc != 0) return fail(rc > 0 ? rc : STATUS_WRONG_FORMAT, "the file cannot be read.");
    if (line.size() != LINE_LENGTH) line = pad_field(line, LINE_LENGTH);
    double lon = 0.0, lat = 0.0;
    const int32_t status = cut ? STATUS_WRONG_FORMAT : parse_vertex_line(line, lon, lat);
    if (status == STATUS_AREA_LINE) {
      end_area();
      std::string name;
      is_area_line(line, name);
      if (!area_name_valid(name)) return fail(STATUS_WRONG_FORMAT, "\"" + name + "\" is no area name.");
      if (!seen.insert(name).second) return fail(STATUS_WRONG_FORMAT, "area " + name + " is named twice.");
      area = name;
      table = table_for(name);
      if (table != nullptr) table->clear();
    } else if (status == STATUS_BLANK_LINE) {
      continue;
    } else if (area.empty()) {
      return fail(STATUS_WRONG_FORMAT, "its first line that is not blank must be an AREA line.");
    } else if (status == STATUS_WRONG_FORMAT) {
      return fail(STATUS_WRONG_FORMAT, "Wrong format.");
    } else if (table == nullptr) {
      continue;
    } else if (status == STATUS_RING_LINE) {
      table->end_ring();
    } else if (table->NREC == rules.max_vertices) {
      return fail(STATUS_TOO_MANY, "the area has more than " + std::to_string(rules.max_vertices) + " vertices.");
    } else {
      table->add_vertex(lon, lat);
    }
  }
  end_area();
  files.CLOSE_FILE(unit);
  return result;
}

}  // namespace kavlin
