// The program's main routine: builds the window and the services, runs the
// start-up and then the dialog sequence of one modification.
#include <QApplication>

#include "app/driver.h"
#include "app/startup.h"
#include "base/program_values.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"
#include "ui/qt/display_check.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin {

int KAVLIN_Modifier(int argc, char** argv) {
  // The program reads no arguments of its own; QApplication takes the
  // toolkit's (such as -platform). Without a display it says so and ends
  // with status 1 before Qt would abort.
  DisplayGuard display(argc, argv);
  QApplication app(argc, argv);
  display.started();
  MainWindow window;
  HostFileServices files(DriveTable::from_environment());
  QtUiServices ui(window, files);

  KAVLIN_STARTUP(ui, files, program_values());
  MODIFICATION_DRIVER(ui, files, program_values());
  ui.STOP_PROGRAM(0);
}

}  // namespace kavlin

int main(int argc, char** argv) { return kavlin::KAVLIN_Modifier(argc, argv); }
