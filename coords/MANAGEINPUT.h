// The handler behind the choice buttons of DATA_SELECTION and MODIFICATION
// and behind the coordinate fields and OK buttons of DATA_INPUT_POINT and
// DATA_INPUT_RECTANGLE. It keeps every coordinate field to its form while
// it is typed, and on OK converts the fields to signed decimal degrees in
// LON1, LAT1 (and LON2, LAT2), checks the corner order of a rectangle and
// closes the dialog with 1.
#pragma once

#include <cstdint>

#include "base/program_values.h"
#include "base/ui_services.h"

namespace kavlin {

// The shared handler of DATA_SELECTION, DATA_INPUT_POINT, DATA_INPUT_RECTANGLE and MODIFICATION.
void MANAGEINPUT(UiServices& ui, ProgramValues& values, Dialog& dialog, int32_t control, int32_t kind);

// MANAGEINPUT bound to ui and values, ready for DIALOG_SET_CALLBACK.
DialogCallback manageinput_callback(UiServices& ui, ProgramValues& values);

}  // namespace kavlin
