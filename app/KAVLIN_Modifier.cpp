// The program's main routine: builds the window and the services, runs the
// start-up and keeps the main window open until the program is ended.
#include <QApplication>

#include "app/startup.h"
#include "ui/program_values.h"
#include "ui/drive_table.h"
#include "ui/host_file_services.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin {

int KAVLIN_Modifier(int argc, char** argv) {
  // The program reads no arguments of its own; QApplication takes the
  // toolkit's (such as -platform).
  QApplication app(argc, argv);
  MainWindow window;
  HostFileServices files(DriveTable::from_environment());
  QtUiServices ui(window, files);

  KAVLIN_STARTUP(ui, files, program_values());

  // The window stays until "Exit Program" ends the program or the user
  // closes it.
  QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
  app.exec();
  ui.STOP_PROGRAM(0);
}

}  // namespace kavlin

int main(int argc, char** argv) { return kavlin::KAVLIN_Modifier(argc, argv); }
