// The service layer on Qt widgets: dialogs built from templates, message
// boxes, the main window's menus, size, font and colours, and the program
// stop.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/file_services.h"
#include "ui/qt/main_window.h"
#include "base/ui_services.h"

class QDialog;
class QMessageBox;
class QProgressDialog;
class QWidget;

namespace kavlin {

class QtUiServices : public UiServices {
 public:
  QtUiServices(MainWindow& window, FileServices& files);
  ~QtUiServices() override;

  bool DIALOG_INIT(int32_t template_id, Dialog& dialog) override;
  bool DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) override;
  bool DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text,
                       int32_t index = NO_INDEX) override;
  bool DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) override;
  std::string DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length,
                              int32_t index = NO_INDEX) override;
  int32_t DIALOG_RUN_MODAL(Dialog& dialog) override;
  void DIALOG_SET_RETURN(Dialog& dialog, int32_t value) override;
  void DIALOG_EXIT(Dialog& dialog) override;
  void DIALOG_RELEASE(Dialog& dialog) override;

  int32_t MESSAGE_BOX(const std::string& text, const std::string& caption, int32_t style) override;

  bool MENU_DELETE(int32_t menu, int32_t item) override;
  bool MENU_INSERT(int32_t menu, int32_t item, int32_t flags, const std::string& text,
                   MenuAction action) override;
  bool SET_EXIT_MODE(int32_t mode) override;
  bool SET_WINDOW_CONFIG(WindowConfig& config) override;
  bool SET_WINDOW_SIZE(WindowKind which, const WindowSize& size) override;
  int32_t INIT_FONTS() override;
  int32_t SELECT_FONT(const std::string& options) override;
  int32_t SET_TEXT_CURSOR(int32_t mode) override;
  bool SET_ABOUT_TEXT(const std::string& text) override;
  int32_t SET_TEXT_RGB(int32_t rgb) override;
  int32_t SET_BACKGROUND_RGB(int32_t rgb) override;
  void CLEAR_WINDOW(int32_t area) override;
  void SHOW_PROGRESS(int32_t done, int32_t total) override;
  void END_PROGRESS() override;
  void SHOW_DATABASE(const DatabaseShown& database) override;
  void SHOW_AREA(const AreaShown& area) override;
  void SHOW_RUN_START() override;
  void SHOW_TILE_AT_WORK(const std::string& name) override;
  void SHOW_CHANGES(int32_t mod_kind) override;
  void WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) override;
  // The waiting display while WAIT_UNTIL waits (nullptr otherwise).
  QProgressDialog* wait_dialog() const { return wait_; }
  [[noreturn]] void STOP_PROGRAM(int32_t code) override;

  // The progress display while it exists (nullptr otherwise).
  QProgressDialog* progress_dialog() const { return progress_.get(); }

  // Called with every message box once it is on the screen; a test reads
  // it and answers it through its buttons.
  void set_message_box_observer(std::function<void(QMessageBox&)> observer);

  // The widgets of a loaded dialog (nullptr when there is none).
  QDialog* dialog_widget(Dialog& dialog) const;
  QWidget* control_widget(Dialog& dialog, int32_t control) const;

  int32_t exit_mode() const { return exit_mode_; }
  bool text_cursor() const { return text_cursor_ != 0; }

  // Runs one of the menu actions.
  void run_action(MenuAction action);

  // Text conversions between the program's byte strings (UTF-8) and Qt.
  static QString to_qt(const std::string& text);
  static std::string from_qt(const QString& text);
  // 0xBBGGRR <-> QColor.
  static QColor to_colour(int32_t rgb);
  static int32_t from_colour(const QColor& colour);

 private:
  // Frees what DIALOG_INIT built; a dialog released from inside its own run
  // is kept until that run has returned.
  void discard(Dialog& dialog);

  MainWindow& window_;
  FileServices& files_;
  std::vector<std::unique_ptr<DialogState>> retired_;
  std::function<void(QMessageBox&)> message_box_observer_;
  int32_t exit_mode_ = 1;
  int32_t text_cursor_ = 1;
  QColor background_{Qt::white};
  std::unique_ptr<QProgressDialog> progress_;
  QProgressDialog* wait_ = nullptr;
};

// Parses a font option string such as "t'MS Sans Serif'H24w18eb": t'face'
// typeface, h/H height in pixels, w width in pixels, e bold, b best fit
// (the letters the program's window font uses). False for any other letter
// or a number missing.
bool parse_font_options(const std::string& options, QFont& font);

}  // namespace kavlin
