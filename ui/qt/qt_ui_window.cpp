// The main window's services: menus, exit mode, size, font, colours, the
// about text, and the program stop.
#include <QAction>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>  // the services own their progress display
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "base/ascii_text.h"
#include "ui/qt/qt_ui_services.h"
#include "ui/qt/window_placement.h"

namespace kavlin {

QtUiServices::QtUiServices(MainWindow& window, FileServices& files) : window_(window), files_(files) {}

QtUiServices::~QtUiServices() = default;

void QtUiServices::run_action(MenuAction action) {
  switch (action) {
    case MenuAction::ExitProgram:
      QtUiServices::STOP_PROGRAM(0);
    case MenuAction::PrintScreen:
      window_.printScreen();
      break;
    case MenuAction::SaveScreen:
      window_.saveScreenAs();
      break;
    case MenuAction::About:
      window_.showAbout();
      break;
    case MenuAction::None:
      break;
  }
}

bool QtUiServices::MENU_DELETE(int32_t menu, int32_t item) {
  QMenuBar* bar = window_.menuBar();
  const auto tops = bar->actions();
  if (menu < 1 || menu > tops.size() || item < 0) return false;
  QAction* top = tops[menu - 1];
  if (item == 0) {
    bar->removeAction(top);
    if (QMenu* m = top->menu()) {
      m->deleteLater();
    } else {
      top->deleteLater();
    }
    return true;
  }
  QMenu* m = top->menu();
  if (m == nullptr) return false;
  const auto items = m->actions();
  if (item > items.size()) return false;
  QAction* entry = items[item - 1];
  m->removeAction(entry);
  entry->deleteLater();
  return true;
}

bool QtUiServices::MENU_INSERT(int32_t menu, int32_t item, int32_t flags, const std::string& text,
                               MenuAction action) {
  if (menu < 1 || item < 0) return false;
  QMenuBar* bar = window_.menuBar();
  const auto tops = bar->actions();
  QAction* entry = nullptr;
  if (item == 0) {
    QAction* before = menu <= tops.size() ? tops[menu - 1] : nullptr;
    if (action == MenuAction::None) {
      auto* m = new QMenu(to_qt(text), bar);
      bar->insertMenu(before, m);
      entry = m->menuAction();
    } else {
      // A title with a command of its own: clicking the title runs it.
      entry = new QAction(to_qt(text), bar);
      bar->insertAction(before, entry);
    }
  } else {
    if (menu > tops.size()) return false;
    QMenu* m = tops[menu - 1]->menu();
    if (m == nullptr) return false;
    const auto items = m->actions();
    QAction* before = item <= items.size() ? items[item - 1] : nullptr;
    entry = new QAction(to_qt(text), m);
    m->insertAction(before, entry);
  }
  // Flag bits: 1 grey, 2 disabled, 8 checked; MENU_ENABLED (4) is none of them.
  entry->setEnabled((flags & 3) == 0);
  if ((flags & 8) != 0) {
    entry->setCheckable(true);
    entry->setChecked(true);
  }
  if (action != MenuAction::None) {
    QObject::connect(entry, &QAction::triggered, &window_, [this, action] { run_action(action); });
  }
  return true;
}

bool QtUiServices::SET_EXIT_MODE(int32_t mode) {
  if (mode < 1 || mode > 3) return false;
  exit_mode_ = mode;
  return true;
}

bool QtUiServices::SET_WINDOW_CONFIG(WindowConfig& config) {
  window_.setWindowTitle(to_qt(config.title));
  const QRect avail = available_geometry(window_);
  if (config.numxpixels < 0 && config.numypixels < 0) {
    window_.setGeometry(avail);
  } else {
    window_.resize(config.numxpixels < 0 ? avail.width() : config.numxpixels,
                   config.numypixels < 0 ? avail.height() : config.numypixels);
  }
  window_.show();
  settle(window_);
  config.numxpixels = window_.width();
  config.numypixels = window_.height();
  const QFontMetrics metrics(window_.textArea()->font());
  config.numtextcols = window_.textArea()->width() / std::max(1, metrics.averageCharWidth());
  config.numtextrows = window_.textArea()->height() / std::max(1, metrics.height());
  config.numcolors = 1 << 24;
  config.fontsize = (metrics.averageCharWidth() << 16) | metrics.height();
  return true;
}

bool QtUiServices::SET_WINDOW_SIZE(WindowKind which, const WindowSize& size) {
  if (which == WindowKind::Text) {
    // The text window fills the frame's client area; it follows the frame.
    window_.textArea()->update();
    return true;
  }
  if (size.type == WINDOW_MAXIMIZED) {
    const QRect avail = available_geometry(window_);
    window_.showMaximized();
    settle(window_);
    // Without a window manager nobody acts on the maximised state and the
    // window keeps its size: it then takes the available area itself.
    if (window_.frameGeometry() != avail && window_.geometry() != avail) {
      window_.setGeometry(avail);
    }
  } else {
    if (size.width <= 0 || size.height <= 0) return false;
    window_.showNormal();
    window_.setGeometry(size.x, size.y, size.width, size.height);
  }
  settle(window_);
  return true;
}

int32_t QtUiServices::INIT_FONTS() { return static_cast<int32_t>(QFontDatabase::families().size()); }

bool parse_font_options(const std::string& options, QFont& font) {
  QFont result = font;
  int width = 0;
  std::size_t i = 0;
  auto read_number = [&](int& value) {
    std::size_t start = i;
    value = 0;
    while (i < options.size() && is_digit(options[i]) && value < 100000) {
      value = value * 10 + (options[i] - '0');
      ++i;
    }
    return i > start;
  };
  while (i < options.size()) {
    const char letter = ascii_lower(options[i]);
    ++i;
    switch (letter) {
      case 't': {
        if (i >= options.size() || options[i] != '\'') return false;
        const std::size_t close = options.find('\'', i + 1);
        if (close == std::string::npos) return false;
        result.setFamily(QString::fromStdString(options.substr(i + 1, close - i - 1)));
        i = close + 1;
        break;
      }
      case 'h': {
        int height = 0;
        if (!read_number(height) || height <= 0) return false;
        result.setPixelSize(height);
        break;
      }
      case 'w':
        if (!read_number(width)) return false;
        break;
      case 'e':  // emphasised: bold
        result.setBold(true);
        break;
      case 'b':  // best fit: the closest installed face, which is what font matching gives
        result.setStyleStrategy(QFont::PreferMatch);
        break;
      default:
        return false;
    }
  }
  if (width > 0) {
    // Stretch the face so that its average character is `width` pixels.
    const int average = QFontMetrics(result).averageCharWidth();
    if (average > 0) result.setStretch(std::clamp(width * 100 / average, 1, 4000));
  }
  font = result;
  return true;
}

int32_t QtUiServices::SELECT_FONT(const std::string& options) {
  QFont font = window_.textFont();
  font.setStyleHint(QFont::SansSerif);
  if (!parse_font_options(options, font)) return -1;
  window_.setTextFont(font);
  return 0;
}

int32_t QtUiServices::SET_TEXT_CURSOR(int32_t mode) {
  const int32_t previous = text_cursor_;
  text_cursor_ = mode;
  // The text window never takes the keyboard, so it shows no cursor.
  window_.textArea()->setFocusPolicy(mode != 0 ? Qt::StrongFocus : Qt::NoFocus);
  return previous;
}

bool QtUiServices::SET_ABOUT_TEXT(const std::string& text) {
  if (text.size() > 512) return false;
  window_.setAboutText(to_qt(text));
  return true;
}

int32_t QtUiServices::SET_TEXT_RGB(int32_t rgb) {
  const int32_t previous = from_colour(window_.textArea()->textColour());
  window_.textArea()->setTextColour(to_colour(rgb));
  return previous;
}

int32_t QtUiServices::SET_BACKGROUND_RGB(int32_t rgb) {
  const int32_t previous = from_colour(background_);
  background_ = to_colour(rgb);
  return previous;
}

void QtUiServices::CLEAR_WINDOW(int32_t /*area*/) {
  window_.textArea()->setBackground(background_);
  window_.textArea()->repaint();
}

void QtUiServices::STOP_PROGRAM(int32_t code) {
  files_.CLOSE_ALL_FILES();
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

}  // namespace kavlin
