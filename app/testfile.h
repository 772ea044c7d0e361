// The editor's reading and check of the chosen polygon file: the core
// (polygon/polygon_reader, polygon/testfile) returns the result and its
// notice, and these show it. READ_FILE reads the file; TESTFILE reads it
// and judges the area, and an unusable file or an area that no
// modification may cover is told to the user and ends the program.
#pragma once

#include <functional>

#include "polygon/polygon_check.h"
#include "base/file_services.h"
#include "base/program_values.h"
#include "base/ui_services.h"

namespace kavlin {

// READ_FILE: read_polygon_file on the program values, showing its
// message (if any) in a message box.
void READ_FILE(UiServices& ui, TextFiles& files, ProgramValues& values, int32_t& status);

// Returns the extent only when the file was read and the area is
// acceptable; otherwise the message has been shown and the program ends
// through STOP_PROGRAM (exit code 0).
void TESTFILE(UiServices& ui, TextFiles& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX);
// The same, telling `read` about a file that was read (its vertices are in
// the table, its extent and verdict in the check) before the verdict is
// shown.
void TESTFILE(UiServices& ui, TextFiles& files, ProgramValues& values, double& LON_MIN, double& LON_MAX,
              double& LAT_MIN, double& LAT_MAX, const std::function<void(const PolygonCheck&)>& read);

}  // namespace kavlin
