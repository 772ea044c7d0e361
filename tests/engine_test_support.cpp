#include "tests/engine_test_support.h"

#include <cmath>

#include "polygon/area_rules.h"
#include "tiles/tile_files.h"

namespace kavlin::testing {
namespace {

int32_t length_of(int32_t lat) { return TILE_ORIGIN(0, lat).record_length(); }

}  // namespace

VertexTable ring(const std::vector<std::pair<double, double>>& vertices) { return testing::vertex_table(vertices); }
VertexTable point(double lon, double lat) { return ring({{lon, lat}}); }
VertexTable rectangle(double lon1, double lat1, double lon2, double lat2) {
  return ring({{lon1, lat1}, {lon2, lat1}, {lon2, lat2}, {lon1, lat2}, {lon1, lat1}});
}

std::string key(int32_t lon, int32_t lat) {
  const std::string name = TILE_NAME(lon, lat);
  return "KAVLIN/" + name.substr(0, 4) + "/" + name;
}

void reference_walk(Snapshot& files, const VertexTable& table, int32_t kind) {
  const Extent e = AREA_EXTENT(table);
  const KindOperation op = *kind_operation(kind);
  auto modify = [&](int32_t lon, int32_t lat, int32_t record, int32_t word) {
    std::string& bytes = files.at(key(lon, lat));
    set_word_at(bytes, length_of(lat), record, word, apply_kind(op, word_at(bytes, length_of(lat), record, word)));
  };
  for (auto lon = static_cast<int32_t>(std::floor(e.LON_MIN)); lon <= std::floor(e.LON_MAX); ++lon) {
    for (auto lat = static_cast<int32_t>(std::floor(e.LAT_MIN)); lat <= std::floor(e.LAT_MAX); ++lat) {
      const TileOrigin o = TILE_ORIGIN(TILE_NAME(lon, lat));
      const int32_t cols = o.columns();
      const int32_t south_cols = TILE_ORIGIN(lon, lat - 1).columns();
      std::string& bytes = files.at(key(lon, lat));
      for (int32_t i = 1; i <= 12; ++i) {
        for (int32_t j = 1; j <= 12; ++j) {
          const int32_t r = record_number(i, j);
          std::string record = bytes.substr(static_cast<std::size_t>(r - 1) * o.record_length(), o.record_length());
          for (int32_t l = 1; l <= 101; ++l) {
            for (int32_t k = 1; k <= cols; ++k) {
              const double y = grid_latitude(lat, i, l);
              const double x = grid_longitude(lon, j, k, o.spacing);
              if (!IN_AREA(x, y, e, table)) continue;
              const int32_t w = (l - 1) * cols + (k - 1);
              set_word_at(record, o.record_length(), 1, w, apply_kind(op, word_at(record, o.record_length(), 1, w)));
              const bool west = j == 1 && k == 1;
              const bool south = i == 1 && l == 1 && lat - 1 >= 0;
              if (west) modify(lon - 1, lat, r + 11, (l - 1) * cols + cols - 1);
              if (south) {
                const int32_t column = cols != south_cols ? 2 * k - 1 : k;
                modify(lon, lat - 1, r + 132, 100 * south_cols + column - 1);
              }
              if (west && south) modify(lon - 1, lat - 1, 144, 101 * south_cols - 1);
            }
          }
          bytes.replace(static_cast<std::size_t>(r - 1) * o.record_length(), o.record_length(), record);
        }
      }
    }
  }
}

TileDb::WordFill fill_with(int32_t lon, int32_t lat, uint16_t and_mask, uint16_t or_mask) {
  return [=](int32_t r, int32_t w) {
    return static_cast<uint16_t>((pattern_word(lon, lat, r, w) & and_mask) | or_mask);
  };
}

}  // namespace kavlin::testing
