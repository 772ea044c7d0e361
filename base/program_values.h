// The program-wide values that the dialog handlers, the driver, the polygon
// reader and the engine share. They live here and nowhere else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavlin {

// Capacity of the vertex table in the editor (its polygon files).
inline constexpr int32_t MAX_VERTICES = 25000;
// Most vertices of one area of the command-line tools, all its rings
// together: a country's land area with its lakes and islands in 10 m data
// has some 30000; 16 bytes a vertex in the table.
inline constexpr int32_t MAX_AREA_VERTICES = 250000;

// Area kinds of AREA_MODE.
inline constexpr int32_t AREA_POINT = 1, AREA_RECTANGLE = 2, AREA_POLYGON = 3;

// The area every modification works on: AREA_LON(i), AREA_LAT(i) for
// i = 1..NREC (slot 0 is unused, so indices run from 1 as everywhere in
// the program's rules). The table grows as it is filled and holds slots
// 0..NREC only: an area takes memory in proportion to its vertices (a
// batch of ten thousand points keeps ten thousand small tables). Whoever
// fills it enforces MAX_VERTICES.
//
// An area of the command-line tools may hold several rings (outer rings,
// holes, separate parts): RING_ENDS holds the number of each ring's last
// vertex, ascending; vertices after the last of them form one more ring.
// Empty: one ring, vertices 1..NREC (the editor's areas always).
struct VertexTable {
  std::vector<double> AREA_LON = std::vector<double>(1, 0.0);
  std::vector<double> AREA_LAT = std::vector<double>(1, 0.0);
  int32_t NREC = 0;
  std::vector<int32_t> RING_ENDS;

  // No vertex; the memory already taken is kept for the next filling.
  void clear() {
    AREA_LON.resize(1);
    AREA_LAT.resize(1);
    NREC = 0;
    RING_ENDS.clear();
  }
  // Ends the ring being filled (nothing when it has no vertex).
  void end_ring() {
    if (NREC > (RING_ENDS.empty() ? 0 : RING_ENDS.back())) RING_ENDS.push_back(NREC);
  }
  // Calls f(first, last) for every ring's vertices, in order.
  template <typename F>
  void for_each_ring(F&& f) const {
    int32_t first = 1;
    for (const int32_t end : RING_ENDS) {
      if (end >= first && end <= NREC) f(first, end);
      first = end + 1;
    }
    if (first <= NREC) f(first, NREC);
  }
  // Appends vertex NREC + 1.
  void add_vertex(double lon, double lat) {
    AREA_LON.push_back(lon);
    AREA_LAT.push_back(lat);
    ++NREC;
  }
};

// Least and greatest longitude and latitude of the vertex table.
struct Extent {
  double LON_MIN = 0.0;
  double LON_MAX = 0.0;
  double LAT_MIN = 0.0;
  double LAT_MAX = 0.0;
  bool operator==(const Extent&) const = default;
};

// One message for the user: text and caption (style 0, one OK button).
struct Notice {
  std::string text;
  std::string caption;
  bool empty() const { return text.empty() && caption.empty(); }
};

inline constexpr std::size_t PATH_LENGTH = 255;

struct ProgramValues {
  int32_t AREA_MODE = AREA_POINT;
  int32_t MOD_KIND = 1;
  double LON1 = 0.0;
  double LAT1 = 0.0;
  double LON2 = 0.0;
  double LAT2 = 0.0;
  VertexTable AREA;
  // 255 characters, blank-padded.
  std::string POLY_FILE_NAME = std::string(PATH_LENGTH, ' ');
  // Set once at start-up.
  char DRIVE_LETTER = 'C';
  std::string VERSION_TEXT = "??.??";
};

// The one instance the program runs on.
ProgramValues& program_values();

}  // namespace kavlin
