// The program's start-up: version text, menus, main window, font and
// colours, the screen check, the drive letter from DRIVE.DAT and the
// rollback of a modification that did not end.
#pragma once

#include <string>

#include "base/program_version.h"
#include "base/program_values.h"
#include "base/file_services.h"
#include "base/ui_services.h"

namespace kavlin {

inline constexpr int32_t MIN_SCREEN_WIDTH = 776;
inline constexpr int32_t MIN_SCREEN_HEIGHT = 576;
inline constexpr const char* WINDOW_TITLE = "KAVLIN_MODIFIER program";
inline constexpr const char* WINDOW_FONT = "t'MS Sans Serif'H24w18eb";

// The version as a 5-character fixed-point text, " 1.01", or "??.??" when
// it cannot be formatted.
std::string version_text(float version);

// The About box text: four lines separated by line feeds.
std::string about_text();

// The drive letter from DRIVE.DAT (read_drive_file), its "Info" notice
// shown in a message box.
char read_drive_letter(UiServices& ui, TextFiles& files);

// Start-up steps in order; sets VERSION_TEXT and DRIVE_LETTER. Ends the
// program through STOP_PROGRAM when the screen is too small, or when a
// journal left behind cannot be rolled back.
void KAVLIN_STARTUP(UiServices& ui, FileServices& files, ProgramValues& values);

}  // namespace kavlin
