#include "ui/qt/map_view.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "base/flag_palette.h"

namespace kavlin {

namespace {

constexpr QRgb TILE_3S_FILL = qRgb(222, 232, 242);
constexpr QRgb TILE_3S_EDGE = qRgb(120, 150, 185);
constexpr QRgb TILE_6S_FILL = qRgb(240, 232, 212);
constexpr QRgb TILE_6S_EDGE = qRgb(185, 160, 110);
constexpr QRgb GRATICULE = qRgb(150, 150, 150);
constexpr QRgb AREA_TILE_EDGE = qRgb(0, 0, 140);
constexpr QRgb AT_WORK_EDGE = qRgb(255, 140, 0);

QRgb palette(uint8_t flags) {
  const FlagColour& c = FLAG_PALETTE[flag_class(flags)];
  return qRgb(c.r, c.g, c.b);
}

// Outside the area the flags are drawn faded, so that the area stands out.
QRgb faded(QRgb colour) {
  return qRgb((qRed(colour) + 2 * 255) / 3, (qGreen(colour) + 2 * 255) / 3, (qBlue(colour) + 2 * 255) / 3);
}

// Whether a run of kind `kind` changes a point whose flags are `flags`.
bool changes(int32_t kind, uint8_t flags) {
  if (kind < 1 || kind > 10) return false;
  const auto bit = static_cast<uint8_t>(1u << ((kind - 1) / 2));
  const bool set = kind % 2 == 1;
  return set ? (flags & bit) == 0 : (flags & bit) != 0;
}

// A degree line's label: whole degrees, or degrees and minutes.
QString graticule_label(double value, bool longitude) {
  const QChar hemisphere = longitude ? (value < 0 ? 'W' : 'E') : (value < 0 ? 'S' : 'N');
  const long minutes = std::lround(std::fabs(value) * 60.0);
  if (minutes % 60 == 0) return QString("%1\u00B0%2").arg(minutes / 60).arg(hemisphere);
  return QString("%1\u00B0%2'%3").arg(minutes / 60).arg(minutes % 60, 2, 10, QChar('0')).arg(hemisphere);
}

// Spacing of the graticule: at most about ten lines across the view.
double graticule_step(double span) {
  static const double steps[] = {1 / 60.0, 2 / 60.0, 5 / 60.0, 10 / 60.0, 15 / 60.0, 30 / 60.0,
                                 1.0,      2.0,      5.0,      10.0,      15.0,      30.0};
  for (const double step : steps) {
    if (span / step <= 10.0) return step;
  }
  return 60.0;
}

// The area's flags straight into the picture: each pixel takes the grid
// point nearest its centre.
void draw_flags(QImage& image, const MapProjection& p, const MapTileData& data, int32_t changes_kind) {
  const MapRaster& flags = data.flags;
  if (flags.values.empty()) return;
  const bool masked = !data.mask.values.empty();
  const double dx = data.tile.spacing / 3600.0;
  const double dy = 3.0 / 3600.0;
  const int x0 = std::max(0, static_cast<int>(std::floor(p.x(data.tile.lon - dx / 2))));
  const int x1 = std::min(image.width(), static_cast<int>(std::ceil(p.x(data.tile.lon + 1 + dx / 2))));
  const int y0 = std::max(0, static_cast<int>(std::floor(p.y(data.tile.lat + 1 + dy / 2))));
  const int y1 = std::min(image.height(), static_cast<int>(std::ceil(p.y(data.tile.lat - dy / 2))));
  if (x0 >= x1 || y0 >= y1) return;
  std::vector<int> columns(static_cast<std::size_t>(x1 - x0));
  for (int x = x0; x < x1; ++x) {
    const long c = std::lround((p.lon(x + 0.5) - data.tile.lon) / dx);
    columns[static_cast<std::size_t>(x - x0)] = c < 0 || c >= flags.width ? -1 : static_cast<int>(c);
  }
  for (int y = y0; y < y1; ++y) {
    const long r = std::lround((data.tile.lat + 1 - p.lat(y + 0.5)) / dy);
    if (r < 0 || r >= flags.height) continue;
    const std::size_t row = static_cast<std::size_t>(r) * static_cast<std::size_t>(flags.width);
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = x0; x < x1; ++x) {
      const int c = columns[static_cast<std::size_t>(x - x0)];
      if (c < 0) continue;
      const uint8_t f = flags.values[row + static_cast<std::size_t>(c)];
      const bool inside = masked && data.mask.values[row + static_cast<std::size_t>(c)] != 0;
      QRgb colour = palette(f);
      if (!inside) colour = faded(colour);
      if (inside && changes(changes_kind, f)) colour = MAP_CHANGED;
      line[x] = colour;
    }
  }
}

QRectF tile_rect(const MapProjection& p, const MapTile& tile) {
  return QRectF(QPointF(p.x(tile.lon), p.y(tile.lat + 1)), QPointF(p.x(tile.lon + 1), p.y(tile.lat)));
}

void draw_graticule(QPainter& painter, const MapProjection& p, int width, int height) {
  const double west = p.lon(0), east = p.lon(width), north = p.lat(0), south = p.lat(height);
  const double step = graticule_step(std::max(east - west, north - south));
  painter.setPen(QPen(QColor(GRATICULE), 1));
  QFont font = painter.font();
  font.setPixelSize(11);
  font.setBold(false);
  painter.setFont(font);
  const QFontMetrics metrics(font);
  for (double lon = std::ceil(west / step) * step; lon <= east; lon += step) {
    const double x = std::round(p.x(lon)) + 0.5;
    painter.drawLine(QPointF(x, 0), QPointF(x, height));
    painter.drawText(QPointF(x + 3, metrics.ascent() + 2), graticule_label(lon, true));
  }
  for (double lat = std::ceil(south / step) * step; lat <= north; lat += step) {
    const double y = std::round(p.y(lat)) + 0.5;
    painter.drawLine(QPointF(0, y), QPointF(width, y));
    painter.drawText(QPointF(3, y - 3), graticule_label(lat, false));
  }
}

void draw_outline(QPainter& painter, const MapProjection& p, const AreaShown& area) {
  QPen pen{QColor(MAP_OUTLINE), 2};
  if (area.refused) pen.setStyle(Qt::DashLine);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  if (area.lon.size() == 1) {
    const QPointF at(p.x(area.lon[0]), p.y(area.lat[0]));
    painter.drawEllipse(at, 7.0, 7.0);
    painter.drawLine(at - QPointF(12, 0), at + QPointF(12, 0));
    painter.drawLine(at - QPointF(0, 12), at + QPointF(0, 12));
    return;
  }
  QPolygonF ring;
  ring.reserve(static_cast<qsizetype>(area.lon.size()));
  for (std::size_t v = 0; v < area.lon.size(); ++v) ring << QPointF(p.x(area.lon[v]), p.y(area.lat[v]));
  painter.drawPolygon(ring);
}

}  // namespace

MapProjection MapScene::projection() const {
  if (has_area) {
    const Extent& e = area.extent;
    return MapProjection::fit(e.LON_MIN, e.LON_MAX, e.LAT_MIN, e.LAT_MAX, width, height, 0.15, 0.01);
  }
  if (!database.empty()) {
    int lon_min = database.front().lon, lon_max = lon_min, lat_min = database.front().lat, lat_max = lat_min;
    for (const MapTile& t : database) {
      lon_min = std::min(lon_min, t.lon), lon_max = std::max(lon_max, t.lon);
      lat_min = std::min(lat_min, t.lat), lat_max = std::max(lat_max, t.lat);
    }
    return MapProjection::fit(lon_min, lon_max + 1, lat_min, lat_max + 1, width, height, 0.05);
  }
  return MapProjection::fit(-180, 180, 0, 90, width, height, 0.0);
}

QImage render_map(const MapScene& scene) {
  QImage image(std::max(scene.width, 1), std::max(scene.height, 1), QImage::Format_RGB32);
  image.fill(scene.background);
  const MapProjection p = scene.projection();
  const QRectF frame(0, 0, image.width(), image.height());
  {
    QPainter painter(&image);
    for (const MapTile& tile : scene.database) {
      const QRectF r = tile_rect(p, tile);
      if (!r.intersects(frame)) continue;
      const bool six = tile.spacing == 6;
      painter.fillRect(r, QColor(six ? TILE_6S_FILL : TILE_3S_FILL));
      painter.setPen(QPen(QColor(six ? TILE_6S_EDGE : TILE_3S_EDGE), 1));
      painter.drawRect(r);
    }
  }
  if (scene.has_area && scene.data) {
    for (const MapTileData& data : *scene.data) draw_flags(image, p, data, scene.changes_kind);
  }
  QPainter painter(&image);
  draw_graticule(painter, p, image.width(), image.height());
  if (!scene.has_area) return image;
  painter.setBrush(Qt::NoBrush);
  for (const MapTile& tile : scene.area.tiles) {
    const bool at_work = tile.name == scene.at_work;
    if (at_work) painter.fillRect(tile_rect(p, tile), QColor(255, 140, 0, 90));
    painter.setPen(QPen(QColor(at_work ? AT_WORK_EDGE : AREA_TILE_EDGE), at_work ? 4 : 2, at_work ? Qt::SolidLine : Qt::DashLine));
    painter.drawRect(tile_rect(p, tile));
  }
  // A neighbour tile that receives edge copies is marked as well.
  if (!scene.at_work.empty()) {
    for (const MapTile& tile : scene.database) {
      if (tile.name != scene.at_work) continue;
      painter.setPen(QPen(QColor(AT_WORK_EDGE), 4));
      painter.drawRect(tile_rect(p, tile));
    }
  }
  painter.setRenderHint(QPainter::Antialiasing);
  draw_outline(painter, p, scene.area);
  return image;
}

std::vector<MapTileData> read_map_tiles(const std::vector<MapTile>& tiles, const MapReadingStart& start_reading,
                                        const MapAreaMask& mask, const std::function<bool()>& give_up) {
  std::vector<MapTileData> data(tiles.size());
  for (std::size_t t = 0; t < tiles.size(); ++t) data[t].tile = tiles[t];
  // Each tile by the next free thread.
  auto each_tile = [&](const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    auto run = [&] {
      for (std::size_t t = next++; t < tiles.size(); t = next++) work(t);
    };
    const std::size_t helpers =
        std::min<std::size_t>(tiles.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (std::size_t n = 1; n < helpers; ++n) threads.emplace_back(run);
    run();
    for (std::thread& thread : threads) thread.join();
  };
  if (start_reading) {
    if (const MapFlagReader read_flags = start_reading(give_up)) {
      each_tile([&](std::size_t t) {
        if (!read_flags(tiles[t], data[t].flags)) data[t].flags = {};
      });
    }
  }
  if (mask) each_tile([&](std::size_t t) { mask(tiles[t], data[t].mask); });
  return data;
}

MapView::MapView(QWidget* parent) : QWidget(parent) {
  connect(&reading_, &QFutureWatcher<std::vector<MapTileData>>::finished, this, &MapView::tilesRead);
  connect(&drawing_, &QFutureWatcher<QImage>::finished, this, &MapView::drawn);
}

MapView::~MapView() {
  endReading();
  drawing_.waitForFinished();
}

void MapView::endReading() {
  if (give_up_) *give_up_ = true;
  reading_.waitForFinished();
}

MapProjection MapView::projection() const {
  MapScene scene = scene_;
  scene.width = width();
  scene.height = height();
  return scene.projection();
}

void MapView::showDatabase(const DatabaseShown& database) {
  database_ = database;
  database_shown_ = true;
  scene_.database = database.tiles;
  redraw();
}

void MapView::showArea(const AreaShown& area) {
  endReading();
  scene_.has_area = true;
  scene_.area = area;
  scene_.data.reset();
  scene_.at_work.clear();
  scene_.changes_kind = 0;
  if (!area.refused && !area.tiles.empty()) {
    give_up_ = std::make_shared<std::atomic<bool>>(false);
    reading_.setFuture(QtConcurrent::run(
        [tiles = area.tiles, start = database_.start_reading, mask = area.mask, give_up = give_up_] {
          return read_map_tiles(tiles, start, mask, [give_up] { return give_up->load(); });
        }));
  } else {
    reading_.setFuture(QFuture<std::vector<MapTileData>>());
  }
  redraw();
}

// The area's tiles as read, once the reading is done (waiting for it).
void MapView::tilesRead() {
  if (scene_.data || !scene_.has_area) return;
  endReading();
  if (reading_.future().resultCount() == 0) return;
  scene_.data = std::make_shared<const std::vector<MapTileData>>(reading_.result());
  redraw();
}

void MapView::showRunStart() { tilesRead(); }

void MapView::showTileAtWork(const std::string& name) {
  tilesRead();
  scene_.at_work = name;
  redraw();
}

void MapView::showChanges(int32_t mod_kind) {
  tilesRead();
  scene_.at_work.clear();
  scene_.changes_kind = mod_kind;
  redraw();
}

void MapView::setBackground(const QColor& colour) {
  scene_.background = colour;
  redraw();
}

bool MapView::settled() const {
  return !drawing_.isRunning() && !stale_ && !pending_ && !reading_.isRunning() &&
         (!scene_.has_area || scene_.data || scene_.area.refused || scene_.area.tiles.empty()) &&
         (!shown() || picture_.size() == size());
}

void MapView::redraw() {
  if (!shown() || width() <= 0 || height() <= 0) return;
  scene_.width = width();
  scene_.height = height();
  if (pending_) {
    stale_ = true;
    return;
  }
  pending_ = true;
  drawing_.setFuture(QtConcurrent::run([scene = scene_] { return render_map(scene); }));
}

void MapView::drawn() {
  pending_ = false;
  picture_ = drawing_.result();
  update();
  if (stale_) {
    stale_ = false;
    redraw();
  }
}

void MapView::paintEvent(QPaintEvent*) {
  if (!shown() || picture_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(rect(), picture_);
}

void MapView::resizeEvent(QResizeEvent*) { redraw(); }

}  // namespace kavlin
