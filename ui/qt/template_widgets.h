// The widgets a dialog template is built from, and the geometry of a
// template on the screen: dialog units of a font, the dialog's font, how
// far a label may grow, button texts and accessible names.
#pragma once

#include <QDialog>
#include <QFont>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSize>
#include <QString>
#include <QValidator>
#include <functional>
#include <string>

#include "base/dialog_templates.h"

class QKeyEvent;
class QMouseEvent;

namespace kavlin {

// Upper-cases whatever the user types or pastes, before the field reports
// the change.
class UpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// An edit field that forces upper case. Typed letters are converted before
// they reach the field, so typing keeps its undo steps; pasted or dropped
// text is converted by the validator.
class UpperCaseEdit : public QLineEdit {
 public:
  UpperCaseEdit(const QString& text, QWidget* parent);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
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
  void keyPressEvent(QKeyEvent* event) override;
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
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                       const QEvent* event) const override;

 private:
  bool gesture_ = false;
  bool pick_ = false;
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

DialogUnits dialog_units(const QFont& font);

// The space a dialog's frame adds around its client area: that of the main
// window once it is shown (a maximised window may lack side borders, so
// never less than a minimum frame).
QSize frame_room(const QWidget& main_window);

// The font of a dialog: the template's typeface (or the platform's
// sans-serif face in its place) at the template's point size, or, where the
// dialog would then not fit `room` (the screen's available area less the
// frame), at the largest pixel size at which it does. Every position and
// size follows in dialog units of this font, so the layout keeps its
// proportions at any size.
QFont dialog_font(const DialogTemplate& tmpl, const QSize& room);

// Button texts: an ampersand is shown as itself and never makes a mnemonic.
QString button_text(const QString& text);
// The text a button shows, as the program set it.
QString plain_button_text(const QString& shown);

// What assistive tools and tests find a control by: its text, or its name
// where it shows no text.
QString accessible_name(const QString& text, const std::string& name);

// How wide a left-aligned label may grow to the right, in pixels, so that
// its whole text shows in a font wider than the one the template was laid
// out in: up to the nearest control to its right on the same rows, or the
// dialog's edge.
int label_room(const DialogTemplate& tmpl, std::size_t index, const DialogUnits& units);

// Widens a label to its text within its room, never narrower than its
// template width.
void fit_label(QWidget* widget, int template_width, int room);

}  // namespace kavlin
