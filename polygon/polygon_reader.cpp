#include "polygon/polygon_reader.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "base/fixed_text.h"
#include "base/number_text.h"

namespace kavlin {

namespace {

// The four characters that may separate the longitude from the latitude.
bool is_delimiter(char c) { return c == ' ' || c == ',' || c == '\t' || c == ';'; }

// Code passed on for a read that failed with an unexpected negative code
// (the text service reports failures as positive codes; a negative one
// other than end of file must not be taken for "blank line").
constexpr int32_t UNEXPECTED_READ_FAILURE = 9999;

// Effective length of the 255-character file name: up to its last
// character that is neither a blank nor a NUL.
std::size_t file_name_length(std::string_view name) {
  std::size_t n = std::min(name.size(), PATH_LENGTH);
  while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == '\0')) --n;
  return n;
}

}  // namespace

namespace {

// The word RING, in any case, with blanks (or tabs) around it.
bool is_ring_line(std::string_view line) {
  std::size_t a = 0;
  while (a < line.size() && (line[a] == ' ' || line[a] == '\t')) ++a;
  std::size_t b = line.size();
  while (b > a && (line[b - 1] == ' ' || line[b - 1] == '\t')) --b;
  if (b - a != 4) return false;
  for (std::size_t n = 0; n < 4; ++n) {
    if ((line[a + n] & ~0x20) != "RING"[n]) return false;
  }
  return true;
}

// The verdict on an area read with RING lines: each ring of at least three
// vertices (one ring after all: no ring ends kept).
PolygonReadResult rings_verdict(VertexTable& table) {
  PolygonReadResult result;
  table.end_ring();
  int32_t ring = 0;
  table.for_each_ring([&](int32_t first, int32_t last) {
    ++ring;
    if (result.status == STATUS_OK && last - first + 1 < 3) {
      result.status = STATUS_SHORT_RING;
      result.notice = {"Ring " + std::to_string(ring) + " of the file has fewer than three vertices!", "Error"};
    }
  });
  if (result.status == STATUS_OK && table.RING_ENDS.size() == 1) table.RING_ENDS.clear();
  return result;
}

}  // namespace

int32_t parse_vertex_line(std::string_view line, double& lon, double& lat) {
  // Positions below are 1-based as in the line format: position p is
  // line[p - 1].
  const std::size_t L = len_trim(line);
  if (L == 0) return STATUS_BLANK_LINE;
  if (is_ring_line(line.substr(0, L))) return STATUS_RING_LINE;
  if (std::string name; is_area_line(line.substr(0, L), name)) return STATUS_AREA_LINE;
  if (L < 3) return STATUS_WRONG_FORMAT;

  // The latitude starts after the last delimiter.
  std::size_t K = 0;
  for (std::size_t p = L; p >= 1; --p) {
    if (is_delimiter(line[p - 1])) {
      K = p + 1;
      break;
    }
  }
  if (K < 3) return STATUS_WRONG_FORMAT;

  // K == L + 1 (a trailing comma, tab or semicolon) gives an empty field,
  // which is no number.
  double latitude = 0.0;
  if (NUMBER_FROM_TEXT(line.substr(K - 1, L - K + 1), latitude) != 0) return STATUS_WRONG_FORMAT;

  // The longitude ends with the last digit before the delimiter.
  std::size_t J = 0;
  for (std::size_t p = K - 1; p >= 1; --p) {
    if (is_digit(line[p - 1])) {
      J = p;
      break;
    }
  }
  if (J == 0) return STATUS_WRONG_FORMAT;

  // Free-format reading of positions 1..J: the number ends at the first
  // blank, comma or slash; the rest of the stretch is ignored.
  double longitude = 0.0;
  if (NUMBER_FROM_TEXT(line.substr(0, J), longitude) != 0) return STATUS_WRONG_FORMAT;

  lon = longitude;
  lat = latitude;
  return STATUS_OK;
}

void READ_REC(TextFiles& files, int32_t unit, double& lon, double& lat, int32_t& status) {
  status = STATUS_OK;
  std::string line(LINE_LENGTH, ' ');
  bool cut_text = false;
  const int32_t rc = files.READ_TEXT_LINE_CUT(unit, line, LINE_LENGTH, cut_text);
  if (rc == END_OF_FILE) {
    status = STATUS_END_OF_FILE;
    return;
  }
  if (rc != 0) {
    status = rc > 0 ? rc : UNEXPECTED_READ_FAILURE;
    return;
  }
  // The service hands back exactly LINE_LENGTH characters; make sure of it.
  if (line.size() != LINE_LENGTH) line = pad_field(line, LINE_LENGTH);
  // Only blanks may stand beyond the buffer; anything else would be part
  // of a number read cut short, or a vertex taken for a blank line.
  status = cut_text ? STATUS_WRONG_FORMAT : parse_vertex_line(line, lon, lat);
}

PolygonReadResult read_polygon_file(TextFiles& files, std::string_view poly_file_name, VertexTable& table,
                                    PolygonPath kind, const AreaFileRules& rules) {
  PolygonReadResult result;
  const std::string path(kind == PolygonPath::HOST ? poly_file_name
                                                   : poly_file_name.substr(0, file_name_length(poly_file_name)));

  // A blank name (OK in the chooser with no file chosen) is a failed open.
  int32_t unit = 0;
  const auto open = [&] {
    return kind == PolygonPath::HOST ? files.OPEN_HOST_TEXT_FILE(path, unit) : files.OPEN_TEXT_FILE(path, unit);
  };
  if (path.empty() || open() != 0) {
    result.status = STATUS_NOT_FOUND;
    result.notice = {"File: " + path + " not found!", "Error"};
    return result;
  }

  auto fail = [&](int32_t status, const char* text, const char* caption) {
    files.CLOSE_FILE(unit);
    result.status = status;
    result.notice = {text, caption};
    return result;
  };

  table.clear();
  int32_t status = STATUS_OK;
  for (;;) {
    double lon = 0.0;
    double lat = 0.0;
    READ_REC(files, unit, lon, lat, status);
    // The editor reads its own polygon files: an AREA line is a line of the
    // wrong format there, as it always was.
    if (status == STATUS_AREA_LINE && !rules.rings) status = STATUS_WRONG_FORMAT;
    // With the table full only blank lines and the end of the file may
    // follow.
    if (table.NREC == rules.max_vertices && (status == STATUS_OK || status == STATUS_WRONG_FORMAT)) {
      const std::string text = "The file contains more than " + std::to_string(rules.max_vertices) + " records!";
      return fail(STATUS_TOO_MANY, text.c_str(), "Insufficient memory allocated");
    }
    if (status == STATUS_OK) {
      table.add_vertex(lon, lat);
    } else if (status == STATUS_BLANK_LINE) {
      continue;
    } else if (status == STATUS_RING_LINE) {
      if (!rules.rings) {
        return fail(STATUS_SEVERAL_RINGS,
                    "The file describes an area of several rings (RING lines)! The editor modifies polygons of one "
                    "ring only; kavlin-apply modifies areas of several rings.",
                    "Error");
      }
      table.end_ring();
    } else if (status == STATUS_END_OF_FILE) {
      break;
    } else if (status == STATUS_AREA_LINE) {
      return fail(STATUS_AREA_LINE, "The file holds several areas (AREA lines)! Name one: --area FILE NAME.", "Error");
    } else if (status == STATUS_WRONG_FORMAT) {
      return fail(STATUS_WRONG_FORMAT, "Error reading file. Wrong format.", "Error");
    } else {
      return fail(status, "Error reading file", "Error");
    }
  }
  files.CLOSE_FILE(unit);

  return area_verdict(table);
}

PolygonReadResult area_verdict(VertexTable& table) {
  if (!table.RING_ENDS.empty()) return rings_verdict(table);
  PolygonReadResult result;
  switch (table.NREC) {
    case 0:
      result.status = STATUS_NO_VERTEX;
      result.notice = {"File is empty.", "Error"};
      break;
    case 1:
      result.status = STATUS_ONE_VERTEX;
      result.notice = {"The file contains only one record!", "Error"};
      break;
    case 2:
      result.status = STATUS_TWO_VERTICES;
      result.notice = {"The file contains only two records!", "Warning"};
      break;
    default:
      result.status = STATUS_OK;
      break;
  }
  return result;
}

bool is_area_line(std::string_view line, std::string& name) {
  std::size_t a = 0;
  while (a < line.size() && (line[a] == ' ' || line[a] == '\t')) ++a;
  std::size_t b = line.size();
  while (b > a && (line[b - 1] == ' ' || line[b - 1] == '\t')) --b;
  line = line.substr(a, b - a);
  if (line.size() < 5) return false;
  for (std::size_t n = 0; n < 4; ++n) {
    if ((line[n] & ~0x20) != "AREA"[n]) return false;
  }
  if (line[4] != ' ' && line[4] != '\t') return false;
  std::size_t from = 5;
  while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) ++from;
  name = std::string(line.substr(from));
  return true;
}

}  // namespace kavlin
