// The program's main window: a menu bar and a text area that shows the map
// of the database and the run's area with its status line. All interaction
// happens in modal dialogs and message boxes on top of it.
#pragma once

#include <QColor>
#include <QFutureWatcher>

#include <cstdint>
#include <functional>

#include <QLabel>
#include <QFont>
#include <QMainWindow>
#include <QString>
#include <QWidget>

namespace kavlin {

class MapView;

// The text window: paints its background colour, and holds the map with
// the status line under it.
class TextArea : public QWidget {
  Q_OBJECT
 public:
  explicit TextArea(QWidget* parent = nullptr);
  void setBackground(const QColor& colour);
  QColor background() const { return background_; }
  MapView* map() const { return map_; }
  // The status line: its text is also its accessible name.
  QLabel* statusLine() const { return status_; }
  void setStatus(const QString& text);
  // Shows `text` now, and once `count` (run off the program's thread) has
  // its answer, "; grid points inside: N" after it, unless another status
  // was set meanwhile.
  void setStatus(const QString& text, const std::function<int64_t()>& count);
  ~TextArea() override;
  void setTextColour(const QColor& colour) { text_colour_ = colour; }
  QColor textColour() const { return text_colour_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor background_{Qt::white};
  QColor text_colour_{Qt::black};
  MapView* map_;
  QLabel* status_;
  QFutureWatcher<int64_t> counting_;
  QString counted_status_;  // the text the count is for
};

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);

  TextArea* textArea() const { return text_area_; }

  void setAboutText(const QString& text) { about_text_ = text; }
  QString aboutText() const { return about_text_; }

  void setTextFont(const QFont& font);
  QFont textFont() const { return text_font_; }

  // Writes the window's contents as a PNG picture; false when that fails.
  bool savePicture(const QString& path);
  // Asks for a file name and saves the window's contents there.
  void saveScreenAs();
  // Prints the window's contents on a printer the user chooses.
  void printScreen();
  void showAbout();

 private:
  TextArea* text_area_;
  QString about_text_;
  QFont text_font_;
};

}  // namespace kavlin
