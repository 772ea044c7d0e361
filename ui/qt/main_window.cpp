#include "ui/qt/main_window.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrinter>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "ui/qt/map_view.h"

namespace kavlin {

TextArea::TextArea(QWidget* parent) : QWidget(parent), map_(new MapView(this)), status_(new QLabel(this)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(map_, 1);
  layout->addWidget(status_);
  status_->setObjectName("status line");
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->setContentsMargins(6, 2, 6, 2);
  status_->hide();  // until there is something to say
  connect(&counting_, &QFutureWatcher<int64_t>::finished, this, [this] {
    if (counting_.future().resultCount() == 0 || status_->text() != counted_status_) return;
    const QString text = counted_status_ + QStringLiteral("; grid points inside: ") + QString::number(counting_.result());
    status_->setText(text);
    status_->setAccessibleName(text);
  });
}

TextArea::~TextArea() { counting_.waitForFinished(); }

void TextArea::setBackground(const QColor& colour) {
  background_ = colour;
  map_->setBackground(colour);
  update();
}

void TextArea::setStatus(const QString& text) {
  counted_status_.clear();
  status_->setText(text);
  status_->setAccessibleName(text);
  status_->setVisible(!text.isEmpty());
}

void TextArea::setStatus(const QString& text, const std::function<int64_t()>& count) {
  setStatus(text);
  if (!count) return;
  counting_.waitForFinished();
  counted_status_ = text;
  counting_.setFuture(QtConcurrent::run(count));
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
