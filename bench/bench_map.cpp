// The main window's map on the largest area a run may cover: 36 tiles
// (six of longitude by six of latitude across the 50-degree seam, 3- and
// 6-second tiles), read for their flags with the area mask, then drawn
// into a 1280 x 900 picture. Both steps run off the program's thread in
// the editor; here on the bench's own thread, as plain calls. Also the
// count of the grid words inside, which the status line shows before the
// kind dialog opens. Prints the fastest and the median of several rounds.
#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/map_source.h"
#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "tiles/tile_files.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"
#include "ui/qt/map_view.h"

namespace {

using namespace kavlin;
using Clock = std::chrono::steady_clock;

void make_tile(const std::filesystem::path& root, int32_t lon, int32_t lat) {
  const std::string name = TILE_NAME(lon, lat);
  const std::filesystem::path folder = root / "KAVLIN" / name.substr(0, 4);
  std::filesystem::create_directories(folder);
  const TileOrigin origin = TILE_ORIGIN(lon, lat);
  std::vector<uint8_t> record(static_cast<std::size_t>(origin.record_length()));
  std::ofstream out(folder / name, std::ios::binary);
  for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
    for (int32_t w = 0; w < origin.words_per_record(); ++w) {
      put_word(record, 2 * w, static_cast<uint16_t>(0x0100 | ((r * 7 + w / 37) % 32)));
    }
    out.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
  }
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "kavlin-bench-map";
  std::filesystem::remove_all(dir);
  const std::filesystem::path root = dir / "c:";
  for (int32_t lon = 4; lon < 10; ++lon) {
    for (int32_t lat = 47; lat < 53; ++lat) make_tile(root, lon, lat);
  }
  HostFileServices files{DriveTable(dir.string())};
  const DatabaseShown database = describe_database(files, 'C');

  ProgramValues values;
  values.AREA_MODE = AREA_RECTANGLE;
  fill_rectangle_ring(values.AREA, 4.01, 52.99, 9.99, 47.01);
  const Extent extent = AREA_EXTENT(values.AREA);
  const AreaShown area = describe_area(values, extent, {});

  std::vector<double> reads, draws, flags_only, masks_only, counts;
  for (int round = 0; round < 5; ++round) {
    // On the program's thread, before the kind dialog opens.
    const auto c0 = Clock::now();
    if (words_inside(values.AREA, extent) <= 0) return 1;
    counts.push_back(seconds(Clock::now() - c0));
    const auto f0 = Clock::now();
    read_map_tiles(area.tiles, database.start_reading, {});
    const auto f1 = Clock::now();
    read_map_tiles(area.tiles, {}, area.mask);
    const auto f2 = Clock::now();
    flags_only.push_back(seconds(f1 - f0));
    masks_only.push_back(seconds(f2 - f1));
    const auto t0 = Clock::now();
    auto data = std::make_shared<const std::vector<MapTileData>>(read_map_tiles(area.tiles, database.start_reading, area.mask));
    const auto t1 = Clock::now();
    MapScene scene;
    scene.width = 1280;
    scene.height = 900;
    scene.database = database.tiles;
    scene.has_area = true;
    scene.area = area;
    scene.data = data;
    const QImage picture = render_map(scene);
    const auto t2 = Clock::now();
    if (picture.isNull() || data->size() != 36) return 1;
    reads.push_back(seconds(t1 - t0));
    draws.push_back(seconds(t2 - t1));
  }
  std::filesystem::remove_all(dir);
  auto report = [](const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-40s fastest %.3f s, median %.3f s\n", what, v.front(), v[v.size() / 2]);
  };
  std::printf("map of 36 tiles, %u hardware threads\n", std::thread::hardware_concurrency());
  report("words inside (program's thread)", counts);
  report("read flags and area mask (36 tiles)", reads);
  report("  of which flags alone", flags_only);
  report("  of which area mask alone", masks_only);
  report("draw 1280 x 900", draws);
  return 0;
}
