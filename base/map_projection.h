// The map's projection: longitude and latitude to pixels, east to the
// right and north up, one degree of longitude drawn cos(latitude of the
// view's middle) times as wide as one degree of latitude, so that shapes
// keep their proportions near the middle of the view.
#pragma once

#include <algorithm>
#include <cmath>

namespace kavlin {

struct MapProjection {
  double west = 0.0;   // longitude at pixel x 0
  double north = 0.0;  // latitude at pixel y 0
  double x_scale = 1.0;  // pixels per degree of longitude
  double y_scale = 1.0;  // pixels per degree of latitude

  double x(double lon) const { return (lon - west) * x_scale; }
  double y(double lat) const { return (north - lat) * y_scale; }
  double lon(double px) const { return west + px / x_scale; }
  double lat(double py) const { return north - py / y_scale; }

  // The view of a width x height picture that shows the box [lon_min,
  // lon_max] x [lat_min, lat_max] whole and centred, with `margin` (a share
  // of the box's larger side, at least `least_margin` degrees) around it.
  static MapProjection fit(double lon_min, double lon_max, double lat_min, double lat_max, int width, int height,
                           double margin = 0.1, double least_margin = 0.005) {
    const double pad = std::max(std::max(lon_max - lon_min, lat_max - lat_min) * margin, least_margin);
    lon_min -= pad, lon_max += pad, lat_min -= pad, lat_max += pad;
    const double mid_lat = std::clamp((lat_min + lat_max) / 2.0, -85.0, 85.0);
    const double aspect = std::cos(mid_lat * 3.14159265358979323846 / 180.0);
    const double w = std::max(width, 1), h = std::max(height, 1);
    // Pixels per degree of latitude: the smaller of what each side allows.
    const double scale = std::min(w / ((lon_max - lon_min) * aspect), h / (lat_max - lat_min));
    MapProjection p;
    p.y_scale = scale;
    p.x_scale = scale * aspect;
    p.west = (lon_min + lon_max) / 2.0 - w / 2.0 / p.x_scale;
    p.north = (lat_min + lat_max) / 2.0 + h / 2.0 / p.y_scale;
    return p;
  }
};

}  // namespace kavlin
