// The main window's map: a longitude/latitude graticule, every tile of the
// database as its square, and the area of the run over the flags of the
// tiles it touches, with the tile being written and, after the run, the
// grid points it changed. Tiles are read and the picture drawn off the
// program's thread; the widget shows the last picture drawn.
#pragma once

#include <QFutureWatcher>
#include <QImage>
#include <QLabel>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/map_projection.h"
#include "base/map_services.h"

namespace kavlin {

// One tile of the area as read for the map: its flags (empty when the tile
// could not be read) and the area mask of its grid.
struct MapTileData {
  MapTile tile;
  MapRaster flags;
  MapRaster mask;
};

// Everything a picture is drawn from; copied to the drawing thread.
struct MapScene {
  int width = 0;
  int height = 0;
  QColor background{Qt::white};
  std::vector<MapTile> database;
  bool has_area = false;
  AreaShown area;
  std::shared_ptr<const std::vector<MapTileData>> data;  // the area's tiles, once read
  std::string at_work;                                   // the tile being written
  int32_t changes_kind = 0;                              // after a run: its kind

  // The view: the area with a margin, else the database's extent, else the
  // northern hemisphere.
  MapProjection projection() const;
};

// Colours the map uses besides the flag palette.
inline constexpr QRgb MAP_CHANGED = qRgb(255, 0, 255);  // a grid point the run changed
inline constexpr QRgb MAP_OUTLINE = qRgb(230, 0, 0);    // the area's outline

// Draws the scene. Safe on any thread.
QImage render_map(const MapScene& scene);

// Reads the flags and the area mask of each tile, several tiles at once:
// first every tile's flags in one reading (the database's shared lock is
// held for that alone; `give_up` as MapReadingStart takes it), then the
// masks.
std::vector<MapTileData> read_map_tiles(const std::vector<MapTile>& tiles, const MapReadingStart& start_reading,
                                        const MapAreaMask& mask, const std::function<bool()>& give_up = {});

class MapView : public QWidget {
  Q_OBJECT
 public:
  explicit MapView(QWidget* parent = nullptr);
  ~MapView() override;

  void showDatabase(const DatabaseShown& database);
  void showArea(const AreaShown& area);
  // The program's own run is about to take the database lock: the
  // reading of the area's tiles ends (one still waiting for the database
  // gives up: its tiles show no flags).
  void showRunStart();
  // Waits for the area's tiles to be read (a reading still waiting for the
  // database gives up), then marks the tile.
  void showTileAtWork(const std::string& name);
  void showChanges(int32_t mod_kind);
  void setBackground(const QColor& colour);

  // True when the picture on the screen is drawn from everything told so
  // far (no reading or drawing under way).
  bool settled() const;
  // The picture now shown.
  const QImage& picture() const { return picture_; }
  MapProjection projection() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void redraw();
  void tilesRead();
  // Waits for the reading under way, telling it to give up waiting for
  // the database first.
  void endReading();
  void drawn();

  MapScene scene_;
  DatabaseShown database_;
  QImage picture_;
  QFutureWatcher<std::vector<MapTileData>> reading_;
  std::shared_ptr<std::atomic<bool>> give_up_;  // of the reading under way
  QFutureWatcher<QImage> drawing_;
  bool shown() const { return !database_.tiles.empty() || scene_.has_area || database_shown_; }
  bool database_shown_ = false;
  bool pending_ = false;  // a drawing is under way
  bool stale_ = false;    // told more since the drawing under way began
};

}  // namespace kavlin
