// The polygon file reader: one vertex per line, longitude then latitude in
// decimal degrees, separated by blank, comma, tab or semicolon; blank lines
// are skipped; at most 25000 vertices.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/program_values.h"
#include "base/file_services.h"
#include "base/ui_services.h"

namespace kavlin {

// Status codes of READ_REC, read_polygon_file and READ_FILE (app/testfile).
inline constexpr int32_t STATUS_OK = 0;
inline constexpr int32_t STATUS_END_OF_FILE = -1;
inline constexpr int32_t STATUS_BLANK_LINE = -2;
// A line holding the word RING (any case, blanks around it): the next ring
// of an area of several rings begins.
inline constexpr int32_t STATUS_RING_LINE = -3;
// A line "AREA name": the next area of an areas file begins (a file of many
// areas, each named; see polygon/areas_file).
inline constexpr int32_t STATUS_AREA_LINE = -4;
inline constexpr int32_t STATUS_NOT_FOUND = 1;
inline constexpr int32_t STATUS_NO_VERTEX = 2;
inline constexpr int32_t STATUS_ONE_VERTEX = 3;
inline constexpr int32_t STATUS_TWO_VERTICES = 4;
inline constexpr int32_t STATUS_TOO_MANY = 5;
inline constexpr int32_t STATUS_SEVERAL_RINGS = 6;  // RING lines where one ring is read
inline constexpr int32_t STATUS_SHORT_RING = 7;     // a ring of fewer than three vertices
inline constexpr int32_t STATUS_WRONG_FORMAT = 1000;

inline constexpr std::size_t LINE_LENGTH = 80;

// Parses one line as held in the 80-character line buffer (blank-padded).
// Returns 0 with lon and lat set, -2 for a blank line, -3 for a RING line,
// -4 for an AREA line, 1000 for a line that does not have the vertex
// format.
int32_t parse_vertex_line(std::string_view line, double& lon, double& lat);

// Reads the next line of the open text file `unit` and parses it. A line
// longer than the line buffer that holds anything but blanks beyond it is
// a format error: its numbers would otherwise be read cut short.
void READ_REC(TextFiles& files, int32_t unit, double& lon, double& lat, int32_t& status);

// What reading a polygon file came to: the status and the one message to
// show (empty for status 0).
struct PolygonReadResult {
  int32_t status = STATUS_OK;
  Notice notice;
};

// What the file name is: a program path (drive letter, or relative to the
// working folder, through the drive table), as the editor's chooser hands
// it, or a path of the host as typed on a command line.
enum class PolygonPath { PROGRAM, HOST };

// How a polygon file is read: the editor's (one ring, at most 25000
// vertices) or the command-line tools' area files: rings separated by RING
// lines (outer rings, holes and separate parts, each closed implicitly,
// each of at least three vertices), at most MAX_AREA_VERTICES in all.
struct AreaFileRules {
  int32_t max_vertices = MAX_VERTICES;
  bool rings = false;
};
inline constexpr AreaFileRules TOOL_AREA_RULES{MAX_AREA_VERTICES, true};

// Reads the file named by the 255-character POLY_FILE_NAME (a program path
// used up to its last character that is neither a blank nor a NUL; a host
// path is used as it is) into the vertex table and sets NREC (and the
// rings' ends). The file is closed on every outcome.
PolygonReadResult read_polygon_file(TextFiles& files, std::string_view poly_file_name, VertexTable& table,
                                    PolygonPath kind = PolygonPath::PROGRAM, const AreaFileRules& rules = {});

// The verdict on an area's vertices once read: each ring of at least three
// vertices (an area of RING lines), or the count of a one-ring file's
// ("File is empty.", only one or two records).
PolygonReadResult area_verdict(VertexTable& table);

// Whether `line` is "AREA name" (AREA in any case, then blanks, then the
// name as it stands, blanks around the line dropped); `name` set when so.
bool is_area_line(std::string_view line, std::string& name);

}  // namespace kavlin
