// Message boxes, the progress display of a run, and the busy display
// while the program waits.
#include <QCloseEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>

#include "ui/qt/qt_ui_services.h"

namespace kavlin {

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

namespace {

// A progress display the user cannot close: work that is all or nothing
// cannot be stopped halfway.
// It shows the program's name as its title, has no Cancel button, and
// blocks the rest of the program until it goes.
class ProgressDialog : public QProgressDialog {
 public:
  explicit ProgressDialog(QWidget* parent) : QProgressDialog(parent, Qt::Dialog | Qt::WindowTitleHint) {
    setWindowTitle(QStringLiteral("KAVLIN_MODIFIER"));
    setCancelButton(nullptr);
    setWindowModality(Qt::ApplicationModal);
    setAutoClose(false);
    setAutoReset(false);
  }
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

}  // namespace

void QtUiServices::SHOW_PROGRESS(int32_t done, int32_t total) {
  if (!progress_) {
    auto dialog = std::make_unique<ProgressDialog>(&window_);
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

void QtUiServices::WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) {
  if (ready()) return;
  ProgressDialog dialog(&window_);
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

}  // namespace kavlin
