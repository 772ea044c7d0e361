// The vertex lines of the polygon reader's tests, each with the status and
// the vertex parse_vertex_line gives on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavlin::testing {

struct LineCase {
  const char* name;
  std::string line;
  int32_t status;
  double lon = 0.0;
  double lat = 0.0;
};

// The line format's own examples first, then the edge cases of its rules.
const std::vector<LineCase>& line_cases();

}  // namespace kavlin::testing
