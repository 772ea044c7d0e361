// The map on real widgets, offscreen: the flags inside the area in their
// palette colours, the outline where the projection puts it, the status
// line, the changed points after a run, the tile being written, and the
// map in the saved picture.
#include <gtest/gtest.h>

// Before Qt's headers, whose "slots" would stand in its way.
#include "tiles/safe_run.h"

#include <QLabel>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "app/map_source.h"
#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "tests/engine_test_db.h"
#include "tiles/change_mask.h"
#include "tiles/tile_files.h"
#include "base/flag_palette.h"
#include "ui/qt/main_window.h"
#include "ui/qt/map_view.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin {
namespace {

using testing::TileDb;

// Every block of the tile has one flag (or none): block record r holds
// flags FLAGS[r % 6] in all its words, with other bits set beside.
constexpr uint16_t FLAGS[] = {0x0000, 0x0001, 0x0002, 0x0004, 0x0008, 0x0010};
uint16_t block_flags(int32_t i, int32_t j) { return FLAGS[record_number(i, j) % 6]; }

QRgb colour_of(uint16_t flags) {
  const FlagColour& c = FLAG_PALETTE[flag_class(flags)];
  return qRgb(c.r, c.g, c.b);
}

class MapTest : public ::testing::Test {
 protected:
  MapTest() : ui(window, db.files()) {
    db.make_tile(5, 49, 144, 0, [](int32_t record, int32_t) -> uint16_t { return 0x0A40 | FLAGS[record % 6]; });
    window.resize(900, 700);
    window.show();
    // The README's rectangle: 5°40' to 5°50' E, 49°40' to 49°50' N; here
    // 5°10' to 5°50' E, 49°10' to 49°50' N, so that it holds 8 x 8 blocks.
    values.AREA_MODE = AREA_RECTANGLE;
    fill_rectangle_ring(values.AREA, 5 + 10 / 60.0, 49 + 50 / 60.0, 5 + 50 / 60.0, 49 + 10 / 60.0);
    extent = AREA_EXTENT(values.AREA);
    area = describe_area(values, extent, {});
    ui.SHOW_DATABASE(describe_database(db.files(), 'C'));
    ui.SHOW_AREA(area);
  }

  MapView& map() { return *window.textArea()->map(); }
  QImage settled_grab() {
    EXPECT_TRUE(QTest::qWaitFor([this] { return map().settled(); }, 20000));
    return map().grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  // The pixel of a co-ordinate.
  QPoint at(double lon, double lat) {
    const MapProjection p = map().projection();
    return {static_cast<int>(std::floor(p.x(lon))), static_cast<int>(std::floor(p.y(lat)))};
  }
  // The centre of block (i, j) of the tile.
  QPoint block_centre(int32_t i, int32_t j) { return at(5 + (j - 0.5) / 12.0, 49 + (i - 0.5) / 12.0); }

  TileDb db;
  MainWindow window;
  QtUiServices ui;
  ProgramValues values;
  Extent extent;
  AreaShown area;
};

// Inside the outline every block shows its flag's colour; outside it the
// colour is faded.
TEST_F(MapTest, FlagColoursInsideTheArea) {
  const QImage image = settled_grab();
  for (int32_t i = 3; i <= 10; ++i) {
    for (int32_t j = 3; j <= 10; ++j) {
      EXPECT_EQ(image.pixel(block_centre(i, j)), colour_of(block_flags(i, j))) << i << "," << j;
    }
  }
  // A block west of the area: its colour, faded towards white.
  const QRgb outside = image.pixel(block_centre(5, 2));
  const QRgb full = colour_of(block_flags(5, 2));
  EXPECT_NE(outside, full);
  EXPECT_GT(qRed(outside) + qGreen(outside) + qBlue(outside), qRed(full) + qGreen(full) + qBlue(full));
}

// The outline runs through the pixels the projection gives its edges.
TEST_F(MapTest, OutlineWhereTheProjectionPutsIt) {
  const QImage image = settled_grab();
  const double w = extent.LON_MIN, e = extent.LON_MAX, s = extent.LAT_MIN, n = extent.LAT_MAX;
  const double points[][2] = {{(w + e) / 2, n}, {(w + e) / 2, s}, {w, (s + n) / 2}, {e, (s + n) / 2}, {w + 0.1, n}};
  for (const auto& point : points) {
    const QPoint p = at(point[0], point[1]);
    bool red = false;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) red = red || image.pixel(p + QPoint(dx, dy)) == MAP_OUTLINE;
    }
    EXPECT_TRUE(red) << point[0] << " " << point[1];
    // Four pixels off the line the colour is the flags'.
    const QPoint off = point[1] == n ? p + QPoint(0, 5) : point[1] == s ? p - QPoint(0, 5) : point[0] == w ? p + QPoint(5, 0) : p - QPoint(5, 0);
    EXPECT_NE(image.pixel(off), MAP_OUTLINE);
  }
}

// The status line is a label whose text is its accessible name, with the
// engine's count of the words inside, and the grid points inside once they
// are counted off the program's thread.
TEST_F(MapTest, StatusLine) {
  QLabel* status = window.textArea()->statusLine();
  EXPECT_TRUE(status->isVisible());
  const std::string words = "grid words inside: " + std::to_string(words_inside(values.AREA, extent));
  EXPECT_NE(area.status.find(words), std::string::npos) << area.status;
  const std::string counted = area.status + "; grid points inside: " + std::to_string(grid_points_inside(values.AREA));
  EXPECT_TRUE(QTest::qWaitFor([&] { return status->text().toStdString() == counted; }, 20000))
      << status->text().toStdString();
  EXPECT_EQ(status->accessibleName(), status->text());
}

// After "Set to 'sea'" the points that had no sea flag stand out; during
// the run the tile being written is marked.
TEST_F(MapTest, TileAtWorkAndChangedPoints) {
  const QImage before = settled_grab();
  ui.SHOW_TILE_AT_WORK("E005N49.33M");
  const QImage working = settled_grab();
  EXPECT_NE(working.pixel(block_centre(5, 5)), before.pixel(block_centre(5, 5)));
  ui.SHOW_CHANGES(1);
  const QImage after = settled_grab();
  for (int32_t i = 3; i <= 10; ++i) {
    for (int32_t j = 3; j <= 10; ++j) {
      const bool sea = (block_flags(i, j) & 0x0001) != 0;
      EXPECT_EQ(after.pixel(block_centre(i, j)), sea ? colour_of(0x0001) : MAP_CHANGED) << i << "," << j;
    }
  }
  EXPECT_EQ(after.pixel(block_centre(5, 2)), before.pixel(block_centre(5, 2)));  // outside: unchanged
}

// "Save screen as" saves the window with the map in it.
TEST_F(MapTest, SavedPictureHoldsTheMap) {
  settled_grab();
  testing::TempDir dir;
  const QString path = QString::fromStdString((dir / "screen.png").string());
  ASSERT_TRUE(window.savePicture(path));
  const QImage image = QImage(path).convertToFormat(QImage::Format_RGB32);
  const QPoint in_window = map().mapTo(&window, block_centre(6, 6)) * window.devicePixelRatio();
  EXPECT_EQ(image.pixel(in_window), colour_of(block_flags(6, 6)));
}

// The map reads tiles off the program's thread: SHOW_AREA returns while the
// area's tiles are still being read (here: a mask that waits until the call
// has returned would wait in vain on the program's thread).
TEST_F(MapTest, ReadingNeverHoldsTheCaller) {
  settled_grab();
  auto returned = std::make_shared<std::atomic<bool>>(false);
  auto saw_return = std::make_shared<std::atomic<bool>>(false);
  AreaShown slow = area;
  slow.mask = [returned, saw_return, mask = area.mask](const MapTile& tile, MapRaster& raster) {
    for (int n = 0; n < 500 && !*returned; ++n) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    *saw_return = returned->load();
    mask(tile, raster);
  };
  ui.SHOW_AREA(slow);
  *returned = true;
  const QImage image = settled_grab();
  EXPECT_TRUE(saw_return->load());
  EXPECT_EQ(image.pixel(block_centre(6, 6)), colour_of(block_flags(6, 6)));
}

// The map reads under the database's shared lock: while the program's own
// run holds the database, the reading waits, and gives up once the run
// shows its first tile (no flags drawn) rather than hold the run up. And
// once the run's start is told, the reading holds no lock: the run takes
// the database at once.
TEST_F(MapTest, TheRunNeverWaitsForItsOwnMap) {
  const QImage before = settled_grab();
  HostFileServices own(db.files().drives());
  {
    std::optional<DatabaseLock> run;
    run.emplace(own, 'C');  // the program's own run, on its thread
    ASSERT_TRUE(run->held());
    // Should the map wait for the run, the run would never go on: after a
    // long while a helper ends it, and the test fails instead of hanging.
    std::promise<void> shown;
    bool ended_by_force = false;
    std::thread helper([&, done = shown.get_future()] {
      if (done.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
        ended_by_force = true;
        run->release();
      }
    });
    ui.SHOW_AREA(area);
    ui.SHOW_TILE_AT_WORK("E005N49.33M");
    shown.set_value();
    helper.join();
    EXPECT_FALSE(ended_by_force);
    const QImage image = settled_grab();
    // The area's blocks show the tile's plain square, none of its flags.
    const QRgb plain = image.pixel(block_centre(6, 6));
    for (int32_t i = 3; i <= 10; ++i) {
      for (int32_t j = 3; j <= 10; ++j) EXPECT_EQ(image.pixel(block_centre(i, j)), plain) << i << "," << j;
    }
    EXPECT_NE(plain, before.pixel(block_centre(6, 6)));
  }
  // A slow reading, under way (its lock held) when the run starts.
  DatabaseShown database = describe_database(db.files(), 'C');
  auto reading = std::make_shared<std::promise<void>>();
  database.start_reading = [start = database.start_reading, reading](const std::function<bool()>& give_up) {
    MapFlagReader read = start(give_up);
    reading->set_value();
    return MapFlagReader([read](const MapTile& tile, MapRaster& flags) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return read(tile, flags);
    });
  };
  ui.SHOW_DATABASE(database);
  ui.SHOW_AREA(area);
  reading->get_future().wait();
  ui.SHOW_RUN_START();
  const DatabaseLock run(own, 'C', false);
  EXPECT_TRUE(run.held());
}

}  // namespace
}  // namespace kavlin
