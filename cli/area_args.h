// The arguments every tool takes alike: the drive, the kind of
// modification and the area, read by one parser; and the vertex table of
// an area read that way, through the same area checks as the editor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin::cli {

// Named: area `area_name` of the areas file `polygon_file` (--area FILE NAME).
enum class AreaKind { None, Point, Rectangle, Polygon, Named };

struct AreaArgs {
  std::optional<char> drive;  // --drive; otherwise DRIVE.DAT decides
  int32_t kind = 0;           // 1..10; 0 while no kind is given
  AreaKind area = AreaKind::None;
  double LON1 = 0.0, LAT1 = 0.0, LON2 = 0.0, LAT2 = 0.0;
  std::string polygon_file;   // as typed
  // How polygon_file is taken: "X:\..." (a letter, a colon, a backslash)
  // is a program path through the drive table, anything else a path of
  // the host, absolute or relative to the working directory.
  bool polygon_host_path = false;
  std::string area_name;      // --area: the area's name in the file
};

enum class Taken { No, Yes, Error };

// Reads the option args[a] when it is one of --drive, --kind, --set,
// --clear, --point, --rect, --polygon, --area: stores it in `area`, leaves `a` on
// its last value and returns Yes; Error with `error` set (what is wrong,
// without the program name) for a missing or bad value or an option given
// twice; No for any other argument.
Taken take_area_argument(const std::vector<std::string>& args, std::size_t& a, AreaArgs& area, std::string& error);

// What a modification's arguments lack: "no area given ..." or "no
// modification kind given ...", empty when both are there.
std::string missing_area_argument(const AreaArgs& area);

// A co-ordinate argument: the whole text must be one finite decimal number
// (optional sign, digits, optional fraction and exponent), read as the
// nearest double. No hexadecimal, no inf or nan.
std::optional<double> parse_coordinate(std::string_view text);

// Kind number of "--set TYPE" (set = true) or "--clear TYPE"; empty for an
// unknown type name.
std::optional<int32_t> kind_from_type(std::string_view type, bool set);

// True when a --polygon value is a program path: a drive letter, a colon
// and a backslash.
bool is_program_path(std::string_view path);

// Fills `table` with the area (a point, the ring of a rectangle whose
// corner order and size pass, or a polygon file that passes its checks).
// Returns the refusal, empty when the area is taken.
Notice fill_area_table(const AreaArgs& area, TextFiles& files, VertexTable& table);

// Fills tables[n] with the area of areas[n] for every n, in order, as
// fill_area_table does, but reads each areas file that --area names only
// once for all the areas taken from it. Returns the first refusal and its
// index (-1 and an empty notice when every area is taken).
std::pair<int32_t, Notice> fill_area_tables(const std::vector<const AreaArgs*>& areas, TextFiles& files,
                                            std::vector<VertexTable>& tables);

}  // namespace kavlin::cli
