#include "ui/qt/template_widgets.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <algorithm>

namespace kavlin {

QValidator::State UpperCaseValidator::validate(QString& input, int& pos) const {
  // A capital can be longer than its letter (sharp s): the caret stays
  // behind the same characters.
  const auto before_caret = static_cast<int>(input.left(pos).toUpper().size());
  input = input.toUpper();
  pos = std::min<int>(before_caret, static_cast<int>(input.size()));
  return Acceptable;
}

UpperCaseEdit::UpperCaseEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
  setValidator(new UpperCaseValidator(this));
}

void UpperCaseEdit::keyPressEvent(QKeyEvent* event) {
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

void TemplateButton::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    event->accept();
    click();
    return;
  }
  QPushButton::keyPressEvent(event);
}

void TemplateList::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    gesture_ = true;
    pick_ = itemAt(event->position().toPoint()) != nullptr;
  }
  QListWidget::mousePressEvent(event);
}

void TemplateList::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    gesture_ = true;
    pick_ = false;
  }
  event->accept();
}

void TemplateList::mouseReleaseEvent(QMouseEvent* event) {
  QListWidget::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton || !gesture_) return;
  gesture_ = false;
  const bool pick = pick_ && !selectedItems().isEmpty();
  pick_ = false;
  if (pick && picked) picked();
}

QItemSelectionModel::SelectionFlags TemplateList::selectionCommand(const QModelIndex& index,
                                                                   const QEvent* event) const {
  QItemSelectionModel::SelectionFlags command = QListWidget::selectionCommand(index, event);
  if (command.testFlag(QItemSelectionModel::Deselect) || command.testFlag(QItemSelectionModel::Toggle)) {
    command &= ~(QItemSelectionModel::Deselect | QItemSelectionModel::Toggle);
    command |= QItemSelectionModel::ClearAndSelect;
  }
  return command;
}

DialogUnits dialog_units(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {std::max(1, (letters + 26) / 52), std::max(1, metrics.height())};
}

namespace {

// Room a window frame (title bar and borders) takes at the least, in
// pixels, where the frame of the windows shown so far is smaller or not
// known yet.
constexpr int MIN_FRAME_WIDTH = 8;
constexpr int MIN_FRAME_HEIGHT = 32;

}  // namespace

QSize frame_room(const QWidget& main_window) {
  const QSize frame = main_window.isVisible() ? main_window.frameGeometry().size() - main_window.size() : QSize();
  return {std::max(frame.width(), MIN_FRAME_WIDTH), std::max(frame.height(), MIN_FRAME_HEIGHT)};
}

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

QString button_text(const QString& text) {
  QString escaped = text;
  return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString plain_button_text(const QString& shown) {
  QString text = shown;
  return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

QString accessible_name(const QString& text, const std::string& name) {
  return text.isEmpty() ? QString::fromStdString(name) : text;
}

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

void fit_label(QWidget* widget, int template_width, int room) {
  auto* label = qobject_cast<QLabel*>(widget);
  if (label == nullptr || room <= 0) return;
  const int needed = label->sizeHint().width();
  label->resize(std::max(template_width, std::min(needed, room)), label->height());
}

}  // namespace kavlin
