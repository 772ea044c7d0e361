// Runs the real start-up on the X server named by DISPLAY (an Xvfb screen
// without a window manager) and checks that the screen check passes or
// refuses the screen as expected:
//   kavlin_xvfb_check --expect pass|fail
// Exit status 0 when the outcome is the expected one.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/startup.h"
#include "base/host_file_services.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

int main(int argc, char** argv) {
  std::string expect;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--expect") expect = argv[i + 1];
  }
  if (expect != "pass" && expect != "fail") {
    std::fprintf(stderr, "usage: %s --expect pass|fail\n", argv[0]);
    return 2;
  }
  const bool expect_pass = expect == "pass";

  // A working folder with a DRIVE.DAT, so that no other box appears.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kavlin_xvfb_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "DRIVE.DAT") << "D\n";
  std::filesystem::current_path(dir);

  QApplication app(argc, argv);
  kavlin::MainWindow window;
  kavlin::HostFileServices files(kavlin::DriveTable("/nonexistent-kavlin-drives"));
  kavlin::QtUiServices ui(window, files);
  ui.set_message_box_observer([&](QMessageBox& box) {
    const std::string title = box.windowTitle().toStdString();
    const std::string text = box.text().toStdString();
    std::printf("message box: %s: %s (window %d x %d)\n", title.c_str(), text.c_str(), window.width(),
                window.height());
    const bool refused =
        title == "Resolution" && text == "This program requires at least a 800 x 600 pixels screen!";
    if (!refused || expect_pass) {
      std::printf("FAIL: unexpected message box\n");
      std::fflush(stdout);
      std::filesystem::remove_all(dir);
      std::_Exit(1);
    }
    std::printf("screen check: refused, as expected\n");
    std::filesystem::remove_all(dir);
    box.buttons().front()->click();  // STOP_PROGRAM(0) follows
  });

  kavlin::ProgramValues values;
  kavlin::KAVLIN_STARTUP(ui, files, values);

  const QRect avail = window.screen()->availableGeometry();
  std::printf("screen check: passed with a %d x %d window on a %d x %d screen, drive %c\n", window.width(),
              window.height(), avail.width(), avail.height(), values.DRIVE_LETTER);
  std::filesystem::remove_all(dir);
  if (!expect_pass) {
    std::printf("FAIL: the screen check should have refused this screen\n");
    return 1;
  }
  if (window.frameGeometry() != avail && window.geometry() != avail) {
    std::printf("FAIL: the window does not take the screen's available area\n");
    return 1;
  }
  if (values.DRIVE_LETTER != 'D') {
    std::printf("FAIL: drive letter not read\n");
    return 1;
  }
  return 0;
}
