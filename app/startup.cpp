#include "app/startup.h"

#include "app/modification.h"
#include "base/drive_file.h"
#include "base/number_text.h"

namespace kavlin {

std::string version_text(float version) {
  std::string field;
  if (NUMBER_TO_TEXT(static_cast<double>(version), 5, 2, field) != 0 || field.size() != 5) return "??.??";
  return field;
}

std::string about_text() {
  return "KAVLIN_MODIFIER program by\n"
         "the KAVLIN land-cover database team\n"
         "grid editing and tile maintenance\n"
         "land-cover flags: sea, inland water, coast, town, trees";
}

char read_drive_letter(UiServices& ui, TextFiles& files) {
  const DriveFileRead read = read_drive_file(files);
  if (!read.notice.empty()) ui.MESSAGE_BOX(read.notice.text, read.notice.caption, MESSAGE_OK);
  return read.letter;
}

void KAVLIN_STARTUP(UiServices& ui, FileServices& files, ProgramValues& values) {
  // 1. Version text.
  values.VERSION_TEXT = version_text(PROGRAM_VERSION);

  // 2. The window layer's default menus go, last first.
  for (int32_t menu = 7; menu >= 1; --menu) ui.MENU_DELETE(menu, 0);

  // 3. The program's own menus.
  ui.MENU_INSERT(1, 0, MENU_ENABLED, "Exit Program", MenuAction::ExitProgram);
  ui.MENU_INSERT(2, 0, MENU_ENABLED, "Screen", MenuAction::None);
  ui.MENU_INSERT(2, 1, MENU_ENABLED, "Print screen", MenuAction::PrintScreen);
  ui.MENU_INSERT(2, 2, MENU_ENABLED, "Save screen as", MenuAction::SaveScreen);
  ui.MENU_INSERT(3, 0, MENU_ENABLED, "About", MenuAction::About);

  // 4. The window closes without asking when the program ends.
  ui.SET_EXIT_MODE(2);

  // 5. Window configuration: every size as large as the screen allows.
  WindowConfig config;
  config.title = WINDOW_TITLE;
  ui.SET_WINDOW_CONFIG(config);
  const int32_t width = config.numxpixels;
  const int32_t height = config.numypixels;

  // 6. Maximise the frame, then the text window.
  WindowSize maximised;
  maximised.type = WINDOW_MAXIMIZED;
  ui.SET_WINDOW_SIZE(WindowKind::Frame, maximised);
  ui.SET_WINDOW_SIZE(WindowKind::Text, maximised);

  // 7. Font.
  ui.INIT_FONTS();
  ui.SELECT_FONT(WINDOW_FONT);

  // 8. No text cursor.
  ui.SET_TEXT_CURSOR(0);

  // 9. About text.
  ui.SET_ABOUT_TEXT(about_text());

  // 10. Black text on white.
  ui.SET_TEXT_RGB(0x000000);
  ui.SET_BACKGROUND_RGB(0xFFFFFF);
  ui.CLEAR_WINDOW(0);

  // 11. Screen check, before DRIVE.DAT is touched.
  if (width < MIN_SCREEN_WIDTH || height < MIN_SCREEN_HEIGHT) {
    ui.MESSAGE_BOX("This program requires at least a 800 x 600 pixels screen!", "Resolution", MESSAGE_OK);
    ui.STOP_PROGRAM(0);
  }

  // 12. Drive letter of the database.
  values.DRIVE_LETTER = read_drive_letter(ui, files);

  // 13. A modification that did not end (killed, or its rollback failed)
  // is rolled back before anything else touches the database.
  RECOVER_AT_START(ui, files, values.DRIVE_LETTER);
}

}  // namespace kavlin
