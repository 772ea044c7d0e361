#include "tests/gui_contract_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace kavlin::testing {

int32_t QtBackend::run(Dialog& dialog, std::function<void()> user) {
  QDialog* widget = qt_.dialog_widget(dialog);
  if (widget == nullptr) {
    ADD_FAILURE() << "no dialog widget";
    return -1;
  }
  QTimer::singleShot(0, widget, [user] { user(); });
  QTimer::singleShot(5000, widget, [widget] {
    if (widget->isVisible()) {
      ADD_FAILURE() << "the dialog was left open";
      widget->done(-99);
    }
  });
  return qt_.DIALOG_RUN_MODAL(dialog);
}

void QtBackend::click(Dialog& dialog, int32_t control) {
  auto* button = widget<QAbstractButton>(dialog, control);
  if (button == nullptr) return;
  // On a radio button the indicator; on a push button its middle.
  const QPoint at = qobject_cast<QRadioButton*>(button) != nullptr ? QPoint(6, button->height() / 2)
                                                                  : button->rect().center();
  QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

void QtBackend::type(Dialog& dialog, int32_t control, const std::string& text) {
  auto* edit = widget<QLineEdit>(dialog, control);
  if (edit == nullptr) return;
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  if (text.empty()) {
    QTest::keyClick(edit, Qt::Key_Delete);
  } else {
    QApplication::clipboard()->setText(QtUiServices::to_qt(text));
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
  }
}

void QtBackend::select(Dialog& dialog, int32_t control, int entry) {
  auto* list = widget<QListWidget>(dialog, control);
  if (list == nullptr) return;
  QListWidgetItem* item = list->item(entry - 1);
  if (item == nullptr) {
    ADD_FAILURE() << "no entry " << entry;
    return;
  }
  list->scrollToItem(item);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

void QtBackend::escape(Dialog& dialog) {
  QDialog* w = qt_.dialog_widget(dialog);
  QWidget* target = w->focusWidget() != nullptr ? w->focusWidget() : w;
  QTest::keyClick(target, Qt::Key_Escape);
}

void QtBackend::settle() {
  QApplication::processEvents();
  QTest::qWait(10);
}

bool QtBackend::open(Dialog& dialog) {
  QDialog* w = qt_.dialog_widget(dialog);
  return w != nullptr && w->isVisible();
}

bool QtBackend::checked(Dialog& dialog, int32_t control) {
  auto* radio = widget<QRadioButton>(dialog, control);
  return radio != nullptr && radio->isChecked();
}

std::string QtBackend::shown(Dialog& dialog, int32_t control) {
  QWidget* w = qt_.control_widget(dialog, control);
  QString text;
  if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    text = edit->text();
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    text = label->text();
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    text = button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
  } else {
    ADD_FAILURE() << "control " << control << " shows no text";
  }
  return QtUiServices::from_qt(text);
}

std::vector<std::string> QtBackend::entries(Dialog& dialog, int32_t control) {
  std::vector<std::string> out;
  if (auto* list = widget<QListWidget>(dialog, control)) {
    for (int i = 0; i < list->count(); ++i) out.push_back(QtUiServices::from_qt(list->item(i)->text()));
  }
  return out;
}

}  // namespace kavlin::testing
