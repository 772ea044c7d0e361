// The modification driver: the fixed sequence of dialogs of one run, from
// the choice of the area kind to "All modifications are done!".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/file_services.h"
#include "base/program_values.h"
#include "base/ui_services.h"

namespace kavlin {

// Title of the polygon file chooser, in its 120-character field.
inline constexpr std::size_t CHOOSER_TITLE_LENGTH = 120;
inline constexpr const char* POLYGON_CHOOSER_TITLE = "Select the file containing the polygons";

// Loads dialog `template_id`, gives it the version text (unless it is POLY)
// and MANAGEINPUT on `controls` in that order, runs it modally and releases
// it. A missing template shows "Dialog: 'NAME' not found!" and ends the
// program; Cancel (2) ends the program without a message. Returns the
// dialog's result otherwise.
int32_t RUN_DIALOG(UiServices& ui, ProgramValues& values, int32_t template_id, const std::vector<int32_t>& controls);

// One whole modification. Ends the program on Cancel, on a refused area and
// on a file error; returns after "All modifications are done!".
void MODIFICATION_DRIVER(UiServices& ui, FileServices& files, ProgramValues& values);

}  // namespace kavlin
