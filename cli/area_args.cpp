#include "cli/area_args.h"

#include <charconv>
#include <system_error>

#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "polygon/polygon_check.h"
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
    case AreaKind::None:
      break;
  }
  return {"no area given", "Error"};
}

}  // namespace kavlin::cli
