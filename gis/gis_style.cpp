#include "gis/gis_style.h"

#include <cstdio>

#include "base/flag_palette.h"
#include "gis/safe_output.h"

namespace kavlin::gis {

std::string style_path_of(const std::string& raster) {
  const std::size_t slash = raster.find_last_of('/');
  const std::size_t dot = raster.find_last_of('.');
  const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? raster.substr(0, dot) : raster) + ".qml";
}

std::string flag_style_qml() {
  std::string entries;
  for (std::size_t c = 0; c < FLAG_PALETTE.size(); ++c) {
    const FlagColour& rgb = FLAG_PALETTE[c];
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", rgb.r, rgb.g, rgb.b);
    entries += "        <paletteEntry value=\"" + std::to_string(c) + "\" color=\"" + colour +
               "\" alpha=\"255\" label=\"" + FLAG_CLASS_NAMES[c] + "\"/>\n";
  }
  return "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n"
         "<qgis version=\"3.22.0\" styleCategories=\"Symbology\">\n"
         "  <pipe>\n"
         "    <rasterrenderer type=\"paletted\" band=\"1\" opacity=\"1\" alphaBand=\"-1\" nodataColor=\"\">\n"
         "      <rasterTransparency/>\n"
         "      <colorPalette>\n" +
         entries +
         "      </colorPalette>\n"
         "    </rasterrenderer>\n"
         "    <brightnesscontrast brightness=\"0\" contrast=\"0\" gamma=\"1\"/>\n"
         "    <huesaturation saturation=\"0\" grayscaleMode=\"0\" colorizeOn=\"0\" colorizeRed=\"255\""
         " colorizeGreen=\"128\" colorizeBlue=\"128\" colorizeStrength=\"100\"/>\n"
         // Nearest neighbour when zoomed in or out: a class is not blended.
         "    <rasterresampler maxOversampling=\"2\"/>\n"
         "  </pipe>\n"
         "  <blendMode>0</blendMode>\n"
         "</qgis>\n";
}

std::string write_flag_style(const std::string& raster) {
  const std::string path = style_path_of(raster);
  std::string error;
  if (!write_output_file(path, flag_style_qml(), error)) return "cannot write " + path + ": " + error;
  return {};
}

}  // namespace kavlin::gis
