#include "ui/qt/qt_ui_services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QProgressDialog>
#include <QCloseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <QValidator>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

#include "ui/dialog_templates.h"
#include "ui/fixed_text.h"
#include "ui/qt/map_view.h"

namespace kavlin {

namespace {

// Upper-cases whatever the user types or pastes, before the field reports
// the change.
class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override {
    // A capital can be longer than its letter (sharp s): the caret stays
    // behind the same characters.
    const auto before_caret = static_cast<int>(input.left(pos).toUpper().size());
    input = input.toUpper();
    pos = std::min<int>(before_caret, static_cast<int>(input.size()));
    return Acceptable;
  }
};

// An edit field that forces upper case. Typed letters are converted before
// they reach the field, so typing keeps its undo steps; pasted or dropped
// text is converted by the validator.
class UpperCaseEdit : public QLineEdit {
 public:
  UpperCaseEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    setValidator(new UpperCaseValidator(this));
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const QString upper = event->text().toUpper();
    if (!event->text().isEmpty() && upper != event->text()) {
      QKeyEvent converted(event->type(), event->key(), event->modifiers(), upper, event->isAutoRepeat(),
                          static_cast<quint16>(event->count()));
      QLineEdit::keyPressEvent(&converted);
      event->setAccepted(converted.isAccepted());
      return;
    }
    QLineEdit::keyPressEvent(event);
  }
};

// A dialog built from a template. Escape and the close box do what a click
// on the Cancel button (id 2) would do; without such a button they do
// nothing.
class TemplateDialog : public QDialog {
 public:
  using QDialog::QDialog;
  std::function<void()> cancel;
  void reject() override {
    if (cancel) cancel();
  }
};

// A push button. Enter presses the button that has the keyboard focus, as
// Space does; only from other controls does Enter reach the dialog's
// default button. (Qt would otherwise hand Enter on a focused Cancel to the
// default OK button.)
class TemplateButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      event->accept();
      click();
      return;
    }
    QPushButton::keyPressEvent(event);
  }
};

// A single-selection list box. A mouse pick is reported once, when the
// button is released over the list after a press on an entry, also when
// the entry was selected already; selection changes while the button is
// down (dragging) are not reported on their own, and the second click of a
// double click picks nothing. So a handler that refills the list when an
// entry is picked never sees the same gesture pick an entry of the new
// contents. Keyboard moves are reported as they happen. Nothing takes the
// selection away (Ctrl+click).
class TemplateList : public QListWidget {
 public:
  using QListWidget::QListWidget;
  std::function<void()> picked;
  bool in_mouse_gesture() const { return gesture_; }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) {
      gesture_ = true;
      pick_ = itemAt(event->position().toPoint()) != nullptr;
    }
    QListWidget::mousePressEvent(event);
  }
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton) {
      gesture_ = true;
      pick_ = false;
    }
    event->accept();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    QListWidget::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !gesture_) return;
    gesture_ = false;
    const bool pick = pick_ && !selectedItems().isEmpty();
    pick_ = false;
    if (pick && picked) picked();
  }
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override {
    QItemSelectionModel::SelectionFlags command = QListWidget::selectionCommand(index, event);
    if (command.testFlag(QItemSelectionModel::Deselect) || command.testFlag(QItemSelectionModel::Toggle)) {
      command &= ~(QItemSelectionModel::Deselect | QItemSelectionModel::Toggle);
      command |= QItemSelectionModel::ClearAndSelect;
    }
    return command;
  }

 private:
  bool gesture_ = false;
  bool pick_ = false;
};

struct QtControl {
  ControlKind kind = ControlKind::Static;
  QWidget* widget = nullptr;
  QString name;   // the control's name, e.g. LON1_DEG
  int template_width = 0;  // pixels
  int room = 0;            // labels: the widest they may grow in pixels, 0 for no growth
  DialogCallback callback;
};

// Dialog units of a font, as the classic dialog manager measures them: a
// horizontal unit is a quarter of the average width of the 52 letters A..Z
// and a..z, a vertical unit an eighth of the font's height. Positions and
// sizes are rounded to the nearest pixel, each on its own.
struct DialogUnits {
  int base_x = 1;
  int base_y = 1;
  int x(int du) const { return (du * base_x + 2) / 4; }
  int y(int du) const { return (du * base_y + 4) / 8; }
};

DialogUnits dialog_units(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {std::max(1, (letters + 26) / 52), std::max(1, metrics.height())};
}

// Room a window frame (title bar and borders) takes at the least, in
// pixels, where the frame of the windows shown so far is smaller or not
// known yet.
constexpr int MIN_FRAME_WIDTH = 8;
constexpr int MIN_FRAME_HEIGHT = 32;

// The space a dialog's frame adds around its client area: that of the main
// window once it is shown (a maximised window may lack side borders, so
// never less than the minimum above).
QSize frame_room(const QWidget& main_window) {
  const QSize frame = main_window.isVisible() ? main_window.frameGeometry().size() - main_window.size() : QSize();
  return {std::max(frame.width(), MIN_FRAME_WIDTH), std::max(frame.height(), MIN_FRAME_HEIGHT)};
}

// The font of a dialog: the template's typeface (or the platform's
// sans-serif face in its place) at the template's point size, or, where the
// dialog would then not fit the screen's available area with its frame,
// at the largest pixel size at which it does. Every position and size
// follows in dialog units of this font, so the layout keeps its
// proportions at any size.
QFont dialog_font(const DialogTemplate& tmpl, const QSize& room) {
  QFont font(QString::fromLatin1(TEMPLATE_FONT));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(tmpl.font_size);
  auto fits = [&](const QFont& f) {
    const DialogUnits units = dialog_units(f);
    return units.x(tmpl.width) <= room.width() && units.y(tmpl.height) <= room.height();
  };
  if (fits(font)) return font;
  for (int pixels = QFontInfo(font).pixelSize() - 1; pixels > 6; --pixels) {
    font.setPixelSize(pixels);
    if (fits(font)) return font;
  }
  font.setPixelSize(6);
  return font;
}

// Button texts: an ampersand is shown as itself and never makes a mnemonic.
QString button_text(const QString& text) {
  QString escaped = text;
  return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString plain_button_text(const QString& shown) {
  QString text = shown;
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

// What assistive tools and tests find a control by: its text, or its name
// where it shows no text.
QString accessible_name(const QString& text, const std::string& name) {
  return text.isEmpty() ? QString::fromStdString(name) : text;
}

// How wide a left-aligned label may grow to the right, in pixels, so that
// its whole text shows in a font wider than the one the template was laid
// out in: up to the nearest control to its right on the same rows, or the
// dialog's edge.
int label_room(const DialogTemplate& tmpl, std::size_t index, const DialogUnits& units) {
  const ControlTemplate& label = tmpl.controls[index];
  int right = tmpl.width;
  for (std::size_t j = 0; j < tmpl.controls.size(); ++j) {
    const ControlTemplate& other = tmpl.controls[j];
    if (j == index) continue;
    const bool same_rows = other.y < label.y + label.h && label.y < other.y + other.h;
    if (same_rows && other.x >= label.x + label.w) right = std::min(right, other.x);
  }
  return units.x(right) - units.x(label.x);
}

// Widens a label to its text within its room, never narrower than its
// template width.
void fit_label(QWidget* widget, int template_width, int room) {
  auto* label = qobject_cast<QLabel*>(widget);
  if (label == nullptr || room <= 0) return;
  const int needed = label->sizeHint().width();
  label->resize(std::max(template_width, std::min(needed, room)), label->height());
}

struct QtDialogState : DialogState {
  QPointer<TemplateDialog> widget;
  std::map<int32_t, QtControl> controls;
  Dialog* owner = nullptr;        // the dialog object, refreshed on every service call
  int32_t return_value = 0;
  bool running = false;
  bool exit_requested = false;
  int callback_depth = 0;
  int setting = 0;                // > 0 while the program itself sets a value
  bool released = false;          // released while running; freed when the run returns

  bool busy() const { return running || callback_depth > 0; }

  ~QtDialogState() override {
    // Nothing the widgets report while they go may reach a callback.
    ++setting;
    for (auto& [id, c] : controls) {
      if (c.widget != nullptr && widget) c.widget->blockSignals(true);
    }
    delete widget.data();
  }

  QtControl* find(int32_t id) {
    auto it = controls.find(id);
    return it == controls.end() ? nullptr : &it->second;
  }
};

// While alive, values set into a control are the program's own: the
// control's signals are blocked and the dialog drops every event.
class ProgramSetting {
 public:
  ProgramSetting(QtDialogState& state, QWidget* widget) : state_(state), blocker_(widget) {
    ++state_.setting;
  }
  ~ProgramSetting() { --state_.setting; }
  ProgramSetting(const ProgramSetting&) = delete;
  ProgramSetting& operator=(const ProgramSetting&) = delete;

 private:
  QtDialogState& state_;
  QSignalBlocker blocker_;
};

QtDialogState* state_of(Dialog& dialog) { return dynamic_cast<QtDialogState*>(dialog.state.get()); }

// Runs the callback of a control for an event the user caused. A
// DIALOG_EXIT from inside the callback ends the dialog once the outermost
// callback has returned.
void fire(QtDialogState* state, int32_t id, int32_t kind) {
  if (state->setting > 0 || state->owner == nullptr) return;
  QtControl* control = state->find(id);
  if (control == nullptr || !control->callback) return;
  DialogCallback callback = control->callback;  // the callback may replace itself
  ++state->callback_depth;
  callback(*state->owner, id, kind);
  --state->callback_depth;
  if (state->callback_depth == 0 && state->exit_requested && state->running && state->widget) {
    state->exit_requested = false;
    state->widget->done(state->return_value);
  }
}

QString text_of(const QtControl& control) {
  if (auto* edit = qobject_cast<QLineEdit*>(control.widget)) return edit->text();
  if (auto* label = qobject_cast<QLabel*>(control.widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(control.widget)) return plain_button_text(button->text());
  return QString();
}

// Lets the window system catch up after showing or resizing the window.
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

// Places a dialog in the middle of the available area of the main
// window's screen, frame included: its own frame where the window system
// knows it before the dialog is shown, else one like the main window's.
// (Qt's own placement guesses a frame where there is none, without a
// window manager.)
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

}  // namespace

QtUiServices::QtUiServices(MainWindow& window, FileServices& files) : window_(window), files_(files) {}

QtUiServices::~QtUiServices() = default;

// The program's texts are bytes, mostly UTF-8; file names on the host may
// hold any bytes. A byte that is no part of a valid UTF-8 sequence (a
// Latin-1 name, a name cut in the middle of a character) travels through Qt
// as the lone surrogate U+DC80 + (byte - 0x80) and comes back as that byte,
// so a text set into a control reads back exactly as it was set.
namespace {

constexpr char16_t kEscapedByte = 0xDC00;


}  // namespace

QString QtUiServices::to_qt(const std::string& text) {
  QString out;
  out.reserve(static_cast<qsizetype>(text.size()));
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out.append(QChar(static_cast<char16_t>(lead)));
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = utf8_sequence(text, i, code);
    if (length == 0) {
      out.append(QChar(static_cast<char16_t>(kEscapedByte + lead)));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out.append(QChar(QChar::highSurrogate(code)));
      out.append(QChar(QChar::lowSurrogate(code)));
    } else {
      out.append(QChar(static_cast<char16_t>(code)));
    }
    i += length;
  }
  return out;
}

std::string QtUiServices::from_qt(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  const auto put = [&out](char32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  };
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
      put(QChar::surrogateToUcs4(unit, text[i + 1].unicode()));
      ++i;
    } else if (unit >= kEscapedByte + 0x80 && unit <= kEscapedByte + 0xFF) {
      out += static_cast<char>(unit - kEscapedByte);
    } else if (QChar::isSurrogate(unit)) {
      put(0xFFFD);
    } else {
      put(unit);
    }
  }
  return out;
}

QColor QtUiServices::to_colour(int32_t rgb) {
  return QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF);
}

int32_t QtUiServices::from_colour(const QColor& colour) {
  return colour.red() | (colour.green() << 8) | (colour.blue() << 16);
}

// ---------------------------------------------------------------- dialogs

void QtUiServices::discard(Dialog& dialog) {
  // States released earlier whose run has returned since.
  std::erase_if(retired_, [](const std::unique_ptr<DialogState>& r) {
    auto* q = dynamic_cast<QtDialogState*>(r.get());
    return q == nullptr || !q->busy();
  });
  QtDialogState* s = state_of(dialog);
  if (s != nullptr && s->busy()) {
    // Released from inside its own run (a callback): its widgets are in the
    // middle of reporting an event, so the run ends and the state is freed
    // once DIALOG_RUN_MODAL returns. No callback fires any more.
    s->released = true;
    s->owner = nullptr;
    s->exit_requested = true;
    if (s->callback_depth == 0 && s->running && s->widget) {
      s->exit_requested = false;
      s->widget->done(s->return_value);
    }
    retired_.push_back(std::move(dialog.state));
  }
  dialog.state.reset();
  dialog.template_id = 0;
}

bool QtUiServices::DIALOG_INIT(int32_t template_id, Dialog& dialog) {
  const DialogTemplate* tmpl = find_template(template_id);
  if (tmpl == nullptr) return false;
  if (dialog.state) discard(dialog);

  auto state = std::make_unique<QtDialogState>();
  QtDialogState* s = state.get();
  auto* widget = new TemplateDialog(&window_, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  s->widget = widget;
  widget->setWindowTitle(to_qt(tmpl->caption));
  widget->setModal(true);

  const QFont font = dialog_font(*tmpl, available_geometry(window_).size() - frame_room(window_));
  widget->setFont(font);
  const DialogUnits units = dialog_units(font);
  widget->setFixedSize(units.x(tmpl->width), units.y(tmpl->height));

  auto* radios = new QButtonGroup(widget);
  radios->setExclusive(true);
  QWidget* previous_stop = nullptr;  // tab order follows template order
  QWidget* first_stop = nullptr;     // the first tab stop takes the focus

  for (std::size_t i = 0; i < tmpl->controls.size(); ++i) {
    const ControlTemplate& c = tmpl->controls[i];
    QWidget* w = nullptr;
    const QString text = to_qt(c.text);
    switch (c.kind) {
      case ControlKind::AutoRadio: {
        auto* radio = new QRadioButton(button_text(text), widget);
        radio->setFocusPolicy(Qt::ClickFocus);  // no tab stop
        // The program presets the first choice of each radio group, so the
        // first button shows as selected; setting it calls no handler.
        if (radios->buttons().isEmpty()) radio->setChecked(true);
        radios->addButton(radio);
        QObject::connect(radio, &QRadioButton::clicked, widget,
                         [s, id = c.id] { fire(s, id, CALLBACK_CLICKED); });
        w = radio;
        break;
      }
      case ControlKind::DefaultPushButton:
      case ControlKind::PushButton: {
        auto* button = new TemplateButton(button_text(text), widget);
        button->setAutoDefault(false);
        button->setDefault(c.kind == ControlKind::DefaultPushButton);
        button->setFocusPolicy(Qt::StrongFocus);
        QObject::connect(button, &QPushButton::clicked, widget,
                         [s, id = c.id] { fire(s, id, CALLBACK_CLICKED); });
        w = button;
        break;
      }
      case ControlKind::Edit:
      case ControlKind::EditUpper: {
        QLineEdit* edit = c.kind == ControlKind::EditUpper ? new UpperCaseEdit(text, widget)
                                                            : new QLineEdit(text, widget);
        edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        edit->setFocusPolicy(Qt::StrongFocus);
        // textEdited reports the user's changes only, never setText.
        QObject::connect(edit, &QLineEdit::textEdited, widget,
                         [s, id = c.id] { fire(s, id, CALLBACK_CHANGED); });
        w = edit;
        break;
      }
      case ControlKind::Static:
      case ControlKind::StaticRight: {
        auto* label = new QLabel(text, widget);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment((c.kind == ControlKind::StaticRight ? Qt::AlignRight : Qt::AlignLeft) |
                            Qt::AlignTop);
        label->setFocusPolicy(Qt::NoFocus);
        w = label;
        break;
      }
      case ControlKind::ListBox: {
        auto* list = new TemplateList(widget);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setSortingEnabled(false);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setDragEnabled(false);
        list->setFocusPolicy(Qt::StrongFocus);
        // Keyboard moves at once; mouse picks when the button is released.
        QObject::connect(list, &QListWidget::itemSelectionChanged, widget, [s, list, id = c.id] {
          if (!list->in_mouse_gesture()) fire(s, id, CALLBACK_SELCHANGE);
        });
        list->picked = [s, id = c.id] { fire(s, id, CALLBACK_SELCHANGE); };
        w = list;
        break;
      }
    }
    if (!c.name.empty()) w->setObjectName(QString::fromStdString(c.name));
    w->setGeometry(units.x(c.x), units.y(c.y), units.x(c.w), units.y(c.h));
    const int room = c.kind == ControlKind::Static ? label_room(*tmpl, i, units) : 0;
    fit_label(w, units.x(c.w), room);
    w->setAccessibleName(accessible_name(text, c.name));
    if ((w->focusPolicy() & Qt::TabFocus) != 0) {
      if (previous_stop != nullptr) QWidget::setTabOrder(previous_stop, w);
      if (first_stop == nullptr) first_stop = w;
      previous_stop = w;
    }
    if (c.id == -1) continue;  // labels the program never addresses
    QtControl control;
    control.kind = c.kind;
    control.widget = w;
    control.name = QString::fromStdString(c.name);
    control.template_width = units.x(c.w);
    control.room = room;
    if (is_push_button(c.kind)) {
      control.callback = [this](Dialog& d, int32_t id, int32_t) {
        DIALOG_SET_RETURN(d, id);
        DIALOG_EXIT(d);
      };
    }
    s->controls[c.id] = std::move(control);
  }
  if (first_stop != nullptr) first_stop->setFocus(Qt::OtherFocusReason);

  widget->cancel = [s] {
    if (s->find(IDCANCEL) != nullptr) fire(s, IDCANCEL, CALLBACK_CLICKED);
  };

  dialog.template_id = template_id;
  dialog.state = std::move(state);
  s->owner = &dialog;
  return true;
}

bool QtUiServices::DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return false;
  s->owner = &dialog;
  QtControl* c = s->find(control);
  if (c == nullptr) return false;
  c->callback = std::move(callback);
  return true;
}

bool QtUiServices::DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text, int32_t index) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return false;
  s->owner = &dialog;
  QtControl* c = s->find(control);
  if (c == nullptr) return false;
  const QString value = to_qt(trim_right(text));
  ProgramSetting guard(*s, c->widget);
  if (auto* list = qobject_cast<QListWidget*>(c->widget)) {
    if (index < 1 || index > list->count()) return false;
    list->item(index - 1)->setText(value);
    return true;
  }
  if (index != NO_INDEX) return false;
  if (auto* edit = qobject_cast<QLineEdit*>(c->widget)) {
    edit->setText(value);
    return true;
  }
  if (auto* label = qobject_cast<QLabel*>(c->widget)) {
    label->setText(value);
    fit_label(label, c->template_width, c->room);
  } else if (auto* button = qobject_cast<QAbstractButton*>(c->widget)) {
    button->setText(button_text(value));
  } else {
    return false;
  }
  c->widget->setAccessibleName(accessible_name(value, c->name.toStdString()));
  return true;
}

bool QtUiServices::DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return false;
  s->owner = &dialog;
  QtControl* c = s->find(control);
  if (c == nullptr) return false;
  auto* list = qobject_cast<QListWidget*>(c->widget);
  if (list == nullptr || index != ITEM_COUNT || value < 0) return false;
  ProgramSetting guard(*s, list);
  QSignalBlocker model_blocker(list->selectionModel());
  list->clearSelection();
  list->setCurrentRow(-1);
  while (list->count() > value) delete list->takeItem(list->count() - 1);
  while (list->count() < value) list->addItem(QString());
  list->clearSelection();
  list->setCurrentRow(-1);
  return true;
}

std::string QtUiServices::DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length,
                                          int32_t index) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return std::string(field_length, ' ');
  s->owner = &dialog;
  QtControl* c = s->find(control);
  if (c == nullptr) return std::string(field_length, ' ');
  QString text;
  if (auto* list = qobject_cast<QListWidget*>(c->widget)) {
    if (index == SELECTED_TEXT) {
      const auto selected = list->selectedItems();
      if (!selected.isEmpty()) text = selected.front()->text();
    } else if (index >= 1 && index <= list->count()) {
      text = list->item(index - 1)->text();
    }
  } else if (index == NO_INDEX) {
    text = text_of(*c);
  }
  return pad_field(from_qt(text), field_length);
}

int32_t QtUiServices::DIALOG_RUN_MODAL(Dialog& dialog) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr || !s->widget) return -1;
  s->owner = &dialog;
  s->exit_requested = false;
  s->running = true;
  s->widget->setWindowModality(Qt::ApplicationModal);
  centre_on_screen(*s->widget, window_);
  s->widget->exec();
  s->running = false;
  s->exit_requested = false;
  const int32_t result = s->return_value;
  if (s->released) {
    std::erase_if(retired_, [s](const std::unique_ptr<DialogState>& r) { return r.get() == s; });
  }
  return result;
}

void QtUiServices::DIALOG_SET_RETURN(Dialog& dialog, int32_t value) {
  if (QtDialogState* s = state_of(dialog)) s->return_value = value;
}

void QtUiServices::DIALOG_EXIT(Dialog& dialog) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return;
  s->exit_requested = true;
  // Outside any callback the dialog ends at once.
  if (s->callback_depth == 0 && s->running && s->widget) {
    s->exit_requested = false;
    s->widget->done(s->return_value);
  }
}

void QtUiServices::DIALOG_RELEASE(Dialog& dialog) { discard(dialog); }

QDialog* QtUiServices::dialog_widget(Dialog& dialog) const {
  QtDialogState* s = state_of(dialog);
  return s != nullptr ? s->widget.data() : nullptr;
}

QWidget* QtUiServices::control_widget(Dialog& dialog, int32_t control) const {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return nullptr;
  QtControl* c = s->find(control);
  return c != nullptr ? c->widget : nullptr;
}

// ---------------------------------------------------------- message boxes

void QtUiServices::set_message_box_observer(std::function<void(QMessageBox&)> observer) {
  message_box_observer_ = std::move(observer);
}

int32_t QtUiServices::MESSAGE_BOX(const std::string& text, const std::string& caption, int32_t /*style*/) {
  // Every box of the program has one OK button and no icon.
  QMessageBox box(QMessageBox::NoIcon, to_qt(caption), to_qt(text), QMessageBox::Ok, &window_);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  if (message_box_observer_) {
    auto observer = message_box_observer_;
    QTimer::singleShot(0, &box, [&box, observer] { observer(box); });
  }
  box.exec();
  return IDOK;
}

// ------------------------------------------------------------ main window

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
    while (i < options.size() && options[i] >= '0' && options[i] <= '9' && value < 100000) {
      value = value * 10 + (options[i] - '0');
      ++i;
    }
    return i > start;
  };
  while (i < options.size()) {
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(options[i])));
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

// ---------------------------------------------------------------- progress

namespace {

// A progress display the user cannot close: work that is all or nothing
// cannot be stopped halfway.
class ProgressDialog : public QProgressDialog {
 public:
  using QProgressDialog::QProgressDialog;
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

}  // namespace

void QtUiServices::SHOW_PROGRESS(int32_t done, int32_t total) {
  if (!progress_) {
    auto dialog = std::make_unique<ProgressDialog>(&window_, Qt::Dialog | Qt::WindowTitleHint);
    dialog->setWindowTitle(to_qt("KAVLIN_MODIFIER"));
    dialog->setCancelButton(nullptr);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setMinimumDuration(500);
    progress_ = std::move(dialog);
  }
  const int32_t steps = std::max(total, 1);
  const QString text = QString("Modifying tile %1 of %2").arg(std::min(done + 1, steps)).arg(steps);
  progress_->setLabelText(text);
  progress_->setAccessibleName(text);
  progress_->setMaximum(steps);
  // A modal progress display processes pending events on every value, so
  // it keeps repainting while the work goes on.
  progress_->setValue(std::clamp(done, 0, steps));
}

void QtUiServices::END_PROGRESS() { progress_.reset(); }

// ---------------------------------------------------------------- the map

void QtUiServices::SHOW_DATABASE(const DatabaseShown& database) {
  window_.textArea()->map()->showDatabase(database);
  window_.textArea()->setStatus(to_qt(database.status));
}

void QtUiServices::SHOW_AREA(const AreaShown& area) {
  window_.textArea()->map()->showArea(area);
  window_.textArea()->setStatus(to_qt(area.status));
}

void QtUiServices::SHOW_TILE_AT_WORK(const std::string& name) { window_.textArea()->map()->showTileAtWork(name); }

void QtUiServices::SHOW_CHANGES(int32_t mod_kind) { window_.textArea()->map()->showChanges(mod_kind); }

void QtUiServices::WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) {
  if (ready()) return;
  ProgressDialog dialog(&window_, Qt::Dialog | Qt::WindowTitleHint);
  dialog.setWindowTitle(to_qt("KAVLIN_MODIFIER"));
  dialog.setCancelButton(nullptr);
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  dialog.setRange(0, 0);  // a busy display: no end is known
  dialog.setMinimumDuration(0);
  dialog.setLabelText(to_qt(text));
  dialog.setAccessibleName(to_qt(text));
  dialog.show();
  wait_ = &dialog;
  QEventLoop loop;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (ready()) loop.quit();
  });
  timer.start(100);
  loop.exec();
  wait_ = nullptr;
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
