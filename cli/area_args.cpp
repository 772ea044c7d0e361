#include "cli/area_args.h"

#include <map>
#include <set>

#include <charconv>
#include <system_error>

#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "polygon/polygon_check.h"
#include "polygon/areas_file.h"
#include "base/drive_table.h"
#include "base/number_text.h"

namespace kavlin::cli {

namespace {

struct TypeName {
  const char* name;
  int32_t set_kind;
};
constexpr TypeName TYPES[] = {
    {"sea", 1}, {"inland-water", 3}, {"coastal-area", 5}, {"town", 7}, {"trees", 9},
};

}  // namespace

std::optional<double> parse_coordinate(std::string_view text) {
  if (text.empty() || number_length(text, NumberGrammar::DECIMAL) != text.size()) return std::nullopt;
  return decimal_value(text);
}

std::optional<int32_t> kind_from_type(std::string_view type, bool set) {
  for (const TypeName& t : TYPES) {
    if (type == t.name) return set ? t.set_kind : t.set_kind + 1;
  }
  return std::nullopt;
}

bool is_program_path(std::string_view path) {
  return path.size() >= 3 && is_drive_letter(path[0]) && path[1] == ':' && path[2] == '\\';
}

namespace {

// --area FILE NAME, args[a] being --area.
Taken take_named_area(const std::vector<std::string>& args, std::size_t& a, AreaArgs& req, std::string& error) {
  const auto fail = [&](std::string text) {
    error = std::move(text);
    return Taken::Error;
  };
  if (args.size() - a - 1 < 2) return fail("--area needs 2 values (an areas file and the name of an area in it)");
  if (req.area != AreaKind::None) return fail("only one of --point, --rect, --polygon may be given");
  const std::string& file = args[++a];
  const std::string& name = args[++a];
  if (file.empty()) return fail("--area needs a file name");
  if (file.size() > PATH_LENGTH) return fail("--area file name is longer than 255 characters");
  if (!area_name_valid(name)) return fail("--area name '" + name + "' is no area name (letters, digits, _ - .)");
  req.area = AreaKind::Named;
  req.polygon_file = file;
  req.polygon_host_path = !is_program_path(file);
  req.area_name = name;
  return Taken::Yes;
}

}  // namespace

Taken take_area_argument(const std::vector<std::string>& args, std::size_t& a, AreaArgs& req, std::string& error) {
  const std::string& arg = args[a];
  const std::size_t remaining = args.size() - a - 1;
  auto fail = [&](std::string text) {
    error = std::move(text);
    return Taken::Error;
  };
  auto plural = [](std::size_t count) { return count == 1 ? std::string(" value") : std::string(" values"); };

  if (arg == "--drive") {
    if (remaining < 1) return fail("--drive needs 1 value");
    if (req.drive) return fail("--drive given twice");
    const std::string& v = args[++a];
    req.drive = drive_argument(v);
    if (!req.drive) return fail("--drive needs a drive letter A to Z, not '" + v + "'");
    return Taken::Yes;
  }
  if (arg == "--kind" || arg == "--set" || arg == "--clear") {
    if (remaining < 1) return fail(arg + " needs 1 value");
    if (req.kind != 0) return fail("only one of --kind, --set, --clear may be given");
    const std::string& v = args[++a];
    if (arg == "--kind") {
      int32_t kind = 0;
      const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), kind);
      if (v.empty() || ec != std::errc() || ptr != v.data() + v.size()) {
        return fail("--kind value '" + v + "' is not a whole number");
      }
      if (kind < 1 || kind > 10) return fail("--kind must be 1 to 10, not " + v);
      req.kind = kind;
    } else {
      const auto kind = kind_from_type(v, arg == "--set");
      if (!kind) return fail("unknown land-cover type '" + v + "' (use sea, inland-water, coastal-area, town or trees)");
      req.kind = *kind;
    }
    return Taken::Yes;
  }
  if (arg == "--point" || arg == "--rect") {
    const bool point = arg == "--point";
    const std::size_t count = point ? 2 : 4;
    if (remaining < count) return fail(arg + " needs " + std::to_string(count) + plural(count));
    if (req.area != AreaKind::None) return fail("only one of --point, --rect, --polygon may be given");
    double v[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t c = 0; c < count; ++c) {
      const std::string& text = args[++a];
      const auto value = parse_coordinate(text);
      if (!value) return fail(arg + " value '" + text + "' is not a number");
      v[c] = *value;
    }
    req.area = point ? AreaKind::Point : AreaKind::Rectangle;
    req.LON1 = v[0];
    req.LAT1 = v[1];
    req.LON2 = v[2];
    req.LAT2 = v[3];
    return Taken::Yes;
  }
  if (arg == "--area") return take_named_area(args, a, req, error);
  if (arg == "--polygon") {
    if (remaining < 1) return fail("--polygon needs 1 value");
    if (req.area != AreaKind::None) return fail("only one of --point, --rect, --polygon may be given");
    const std::string& v = args[++a];
    if (v.empty()) return fail("--polygon needs a file name");
    if (v.size() > PATH_LENGTH) return fail("--polygon file name is longer than 255 characters");
    req.area = AreaKind::Polygon;
    req.polygon_file = v;
    req.polygon_host_path = !is_program_path(v);
    return Taken::Yes;
  }
  return Taken::No;
}

std::string missing_area_argument(const AreaArgs& req) {
  if (req.area == AreaKind::None) return "no area given (use --point, --rect or --polygon)";
  if (req.kind == 0) return "no modification kind given (use --kind, --set or --clear)";
  return {};
}

Notice fill_area_table(const AreaArgs& req, TextFiles& files, VertexTable& table) {
  switch (req.area) {
    case AreaKind::Point:
      fill_point(table, req.LON1, req.LAT1);
      return {};
    case AreaKind::Rectangle: {
      Notice refusal = rectangle_corner_notice(req.LON1, req.LAT1, req.LON2, req.LAT2);
      if (refusal.empty()) refusal = rectangle_size_notice(req.LON1, req.LAT1, req.LON2, req.LAT2);
      if (refusal.empty()) fill_rectangle_ring(table, req.LON1, req.LAT1, req.LON2, req.LAT2);
      return refusal;
    }
    case AreaKind::Polygon: {
      // The tools read areas of several rings, up to their own vertex limit.
      const PolygonCheck check =
          check_polygon_file(files, req.polygon_file, table,
                             req.polygon_host_path ? PolygonPath::HOST : PolygonPath::PROGRAM, TOOL_AREA_RULES);
      return check.ok ? Notice{} : check.notice;
    }
    case AreaKind::Named: {
      std::vector<VertexTable> one(1);
      const auto [failed, refusal] = fill_area_tables({&req}, files, one);
      table = std::move(one[0]);
      return refusal;
    }
    case AreaKind::None:
      break;
  }
  return {"no area given", "Error"};
}

namespace {

// The areas that --area takes from one areas file: by name, the indices
// of the lines that name it.
struct AreasWanted {
  std::string path;
  bool host = false;
  std::map<std::string, std::vector<std::size_t>> names;
};

// Reads one areas file for every line that names an area of it: each
// area's vertices into the table of the first line naming it (copied to
// the others), and the refusal of each line whose area is missing,
// unusable or refused by the area checks.
void read_wanted(TextFiles& files, const AreasWanted& wanted, std::vector<VertexTable>& tables,
                 std::vector<Notice>& refusals) {
  const auto label = [&](const std::string& name) { return "Area " + name + " of " + wanted.path + ": "; };
  std::set<std::string> found;
  const AreasFileResult read = read_areas_file(
      files, wanted.path, wanted.host ? PolygonPath::HOST : PolygonPath::PROGRAM, TOOL_AREA_RULES,
      [&](const std::string& name) -> VertexTable* {
        const auto it = wanted.names.find(name);
        return it == wanted.names.end() ? nullptr : &tables[it->second.front()];
      },
      [&](const std::string& name, const PolygonReadResult& verdict) {
        found.insert(name);
        const std::vector<std::size_t>& lines = wanted.names.at(name);
        Notice refusal = verdict.status == STATUS_OK ? check_area(AREA_EXTENT(tables[lines.front()])) : verdict.notice;
        if (!refusal.empty()) refusal.text = label(name) + refusal.text;
        for (const std::size_t n : lines) {
          refusals[n] = refusal;
          if (n != lines.front()) tables[n] = tables[lines.front()];
        }
      });
  for (const auto& [name, lines] : wanted.names) {
    if (found.count(name) != 0) continue;
    const Notice missing = read.status != STATUS_OK ? read.notice
                                                    : Notice{"There is no area " + name + " in " + wanted.path + "!", "Error"};
    for (const std::size_t n : lines) refusals[n] = missing;
  }
  // A file that failed part way fails every line of it.
  if (read.status != STATUS_OK) {
    for (const auto& [name, lines] : wanted.names) {
      for (const std::size_t n : lines) refusals[n] = read.notice;
    }
  }
}

}  // namespace

std::pair<int32_t, Notice> fill_area_tables(const std::vector<const AreaArgs*>& areas, TextFiles& files,
                                            std::vector<VertexTable>& tables) {
  std::map<std::pair<std::string, bool>, AreasWanted> wanted;
  for (std::size_t n = 0; n < areas.size(); ++n) {
    const AreaArgs& a = *areas[n];
    if (a.area != AreaKind::Named) continue;
    AreasWanted& file = wanted[{a.polygon_file, a.polygon_host_path}];
    file.path = a.polygon_file;
    file.host = a.polygon_host_path;
    file.names[a.area_name].push_back(n);
  }
  std::vector<Notice> refusals(areas.size());
  for (const auto& [key, file] : wanted) read_wanted(files, file, tables, refusals);
  for (std::size_t n = 0; n < areas.size(); ++n) {
    const Notice refusal =
        areas[n]->area == AreaKind::Named ? refusals[n] : fill_area_table(*areas[n], files, tables[n]);
    if (!refusal.empty()) return {static_cast<int32_t>(n), refusal};
    // A polygon's table grew by doubling.
    tables[n].AREA_LON.shrink_to_fit();
    tables[n].AREA_LAT.shrink_to_fit();
  }
  return {-1, {}};
}

}  // namespace kavlin::cli
