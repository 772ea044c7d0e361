// Shared pieces of the widget tests: a main window with the Qt services,
// and a way to act on a modal dialog while it runs.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>

#include "base/host_file_services.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin::testing {

class GuiTest : public ::testing::Test {
 protected:
  GuiTest() : files(DriveTable("/nonexistent-kavlin-drives")), ui(window, files) {}

  // Runs the dialog modally; `script` acts on it once it is on the screen.
  // A dialog the script leaves open is closed after a few seconds and the
  // test fails.
  int32_t run(Dialog& dialog, std::function<void(QDialog&)> script) {
    QDialog* widget = ui.dialog_widget(dialog);
    if (widget == nullptr) {
      ADD_FAILURE() << "no dialog widget";
      return -1;
    }
    QTimer::singleShot(0, widget, [widget, script] { script(*widget); });
    QTimer::singleShot(5000, widget, [widget] {
      if (widget->isVisible()) {
        ADD_FAILURE() << "the dialog was still open";
        widget->done(-99);
      }
    });
    return ui.DIALOG_RUN_MODAL(dialog);
  }

  MainWindow window;
  HostFileServices files;
  QtUiServices ui;
};

}  // namespace kavlin::testing
