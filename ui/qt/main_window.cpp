#include "ui/qt/main_window.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrinter>

namespace kavlin {

TextArea::TextArea(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TextArea::setBackground(const QColor& colour) {
  background_ = colour;
  update();
}

void TextArea::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), background_);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), text_area_(new TextArea(this)) {
  setCentralWidget(text_area_);
  // Menus stay inside the window, also where the desktop has a global bar.
  menuBar()->setNativeMenuBar(false);
}

void MainWindow::setTextFont(const QFont& font) {
  text_font_ = font;
  text_area_->setFont(font);
}

bool MainWindow::savePicture(const QString& path) {
  QPixmap picture = grab();
  return !picture.isNull() && picture.save(path, "PNG");
}

void MainWindow::saveScreenAs() {
  QString path = QFileDialog::getSaveFileName(this, "Save screen as", QString(), "PNG pictures (*.png)");
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".png";
  if (!savePicture(path)) {
    QMessageBox box(QMessageBox::NoIcon, "Error", "The picture could not be saved to " + path,
                    QMessageBox::Ok, this);
    box.exec();
  }
}

void MainWindow::printScreen() {
  QPrinter printer(QPrinter::HighResolution);
  QPrintDialog dialog(&printer, this);
  dialog.setWindowTitle("Print screen");
  if (dialog.exec() != QDialog::Accepted) return;
  QPainter painter;
  if (!painter.begin(&printer)) return;
  // Scale the window to the page, keeping its proportions.
  const QRect page = painter.viewport();
  const QSize size = this->size();
  if (size.width() > 0 && size.height() > 0) {
    const double scale =
        std::min(double(page.width()) / size.width(), double(page.height()) / size.height());
    painter.scale(scale, scale);
  }
  render(&painter);
  painter.end();
}

void MainWindow::showAbout() { QMessageBox::about(this, "About", about_text_); }

}  // namespace kavlin
