#include "ui/qt/window_placement.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMargins>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace kavlin {

void settle(QWidget& widget) {
  QElapsedTimer timer;
  timer.start();
  QCoreApplication::processEvents();
  while (timer.elapsed() < 1000) {
    QWindow* handle = widget.windowHandle();
    if (handle != nullptr && handle->isExposed()) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

QRect available_geometry(QWidget& widget) {
  QScreen* screen = widget.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

void centre_on_screen(QWidget& dialog, QWidget& main_window) {
  const QRect avail = available_geometry(main_window);
  dialog.winId();  // the window system's window, and with it the frame where known
  QMargins frame = dialog.windowHandle() != nullptr ? dialog.windowHandle()->frameMargins() : QMargins();
  if (frame.isNull() && main_window.isVisible()) {
    const QRect outer = main_window.frameGeometry();
    const QRect inner = main_window.geometry();
    frame = QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                     outer.bottom() - inner.bottom());
  }
  const QSize outer = dialog.size().grownBy(frame);
  dialog.move(avail.x() + std::max(0, (avail.width() - outer.width()) / 2),
              avail.y() + std::max(0, (avail.height() - outer.height()) / 2));
}

}  // namespace kavlin
