// The QGIS style file of the flag rasters: QGIS reads NAME.qml beside a
// raster NAME.tif or NAME.vrt as the raster's own style, so the flags
// open as named classes in their colours (those of the map and of the
// rasters' colour table, base/flag_palette.h).
#pragma once

#include <string>

namespace kavlin::gis {

// The style file QGIS looks for beside `raster`: its name with the last
// extension replaced by .qml (E006N49.33M.flags.tif gives
// E006N49.33M.flags.qml).
std::string style_path_of(const std::string& raster);

// The style: a paletted renderer of band 1 with one class for each flag
// class value, its colour and its name.
std::string flag_style_qml();

// Writes flag_style_qml() as style_path_of(raster) through the safe
// output; an empty text on success, otherwise what went wrong ("cannot
// write PATH: it is a folder").
std::string write_flag_style(const std::string& raster);

}  // namespace kavlin::gis
