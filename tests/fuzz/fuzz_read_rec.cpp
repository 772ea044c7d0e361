// libFuzzer target: any bytes, taken as one line of a polygon file in the
// 80-character line buffer, must parse to a known status without fault,
// and a vertex must have finite co-ordinates.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "polygon/polygon_reader.h"
#include "base/fixed_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string line =
      kavlin::pad_field(std::string_view(reinterpret_cast<const char*>(data), size), kavlin::LINE_LENGTH);
  double lon = 0.0;
  double lat = 0.0;
  const int32_t status = kavlin::parse_vertex_line(line, lon, lat);
  using namespace kavlin;
  if (status != STATUS_OK && status != STATUS_BLANK_LINE && status != STATUS_RING_LINE && status != STATUS_AREA_LINE &&
      status != STATUS_WRONG_FORMAT) {
    std::abort();
  }
  if (status == 0 && !(std::isfinite(lon) && std::isfinite(lat))) std::abort();
  return 0;
}
