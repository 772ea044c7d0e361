// A scripted stand-in for the window side of the service layer. It records
// every message box (text, caption, style) and every main-window call,
// answers message boxes with OK, runs dialogs from a script, and turns
// STOP_PROGRAM into a ProgramStopped exception so that a test can see where
// and how the program would have ended.
//
// Its dialogs are built from the same template registry as the Qt ones and
// behave as they do (tests/gui_contract.cpp and gui_contract_fields.cpp run
// one suite on both): only push buttons carry the default callback, ids the
// template lacks are ignored, the program's own writes call no handler, the
// first radio button shows as selected when the dialog is built, and the
// user's actions (click, type, select, escape) reach only controls the
// template has, with the control's own rules (upper-case fields, exclusive
// radio buttons, list entries that exist), and only until the dialog has
// been ended.
#pragma once

#include <deque>
#include <ostream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/dialog_templates.h"
#include "base/ui_services.h"

namespace kavlin::testing {

struct ProgramStopped {
  int32_t code;
};

struct ShownMessage {
  std::string text;
  std::string caption;
  int32_t style;
  bool operator==(const ShownMessage&) const = default;
};
// How a failed expectation shows a message.
inline void PrintTo(const ShownMessage& m, std::ostream* out) {
  *out << '"' << m.text << "\" (" << m.caption << ", style " << m.style << ")";
}

class FakeUiServices : public UiServices {
 public:
  // A control of a fake dialog: its kind, text, list entries and callback.
  struct Control {
    ControlKind kind = ControlKind::Static;
    std::string text;
    std::vector<std::string> items;
    int selected = 0;  // entry number, 0 for none
    bool checked = false;  // radio buttons
    DialogCallback callback;
  };
  struct FakeDialog : DialogState {
    std::map<int32_t, Control> controls;
    int32_t return_value = 0;
    bool exit_requested = false;
    bool running = false;  // inside DIALOG_RUN_MODAL
    bool ended = false;    // the run has been ended: the user can no longer act on it
  };
  // What the user does while a dialog runs: acts on the running dialog
  // (for example fires callbacks through click()/type()) and returns the
  // dialog's result when the user ends it, or nothing to let the dialog
  // end itself through DIALOG_EXIT.
  using DialogScript = std::function<std::optional<int32_t>(FakeUiServices&, Dialog&)>;

  // Template ids DIALOG_INIT treats as missing although registered.
  std::set<int32_t> missing_templates;
  std::deque<DialogScript> dialog_scripts;

  std::vector<ShownMessage> messages;
  std::vector<std::string> calls;  // main-window calls in order, e.g. "MENU_DELETE 7"
  std::vector<std::string> menu_texts;
  WindowConfig reported_window{};  // size that SET_WINDOW_CONFIG reports back
  std::string about_text;
  int32_t callbacks_fired = 0;
  // Every SHOW_PROGRESS as "done/total", and "end" for END_PROGRESS.
  std::vector<std::string> progress;
  // Every WAIT_UNTIL text whose first answer was false, and what the user
  // sees happen meanwhile (a test lets another holder go here).
  std::vector<std::string> waits;
  std::function<void()> while_waiting;
  // The map calls in order: "DATABASE D 4" (drive, tiles), "AREA ..." (the
  // status line), "TILE E005N49.33M", "CHANGES 7"; each AREA with the
  // number of dialog scripts then still waiting, as "AREA@n ...".
  std::vector<std::string> map;
  DatabaseShown shown_database;
  AreaShown shown_area;

  FakeUiServices();

  // User actions on a running fake dialog. Acting on a control the
  // template lacks, selecting an entry the list does not hold, or acting on
  // a dialog whose run has ended (a click that ended it, then another
  // action) is a mistake of the test and throws std::logic_error.
  // A click on a push or radio button.
  void click(Dialog& dialog, int32_t control);
  // The field's whole text becomes `text`, as when the user selects the
  // field's text and pastes over it: one change, one callback. Upper-case
  // fields receive it in capitals. Nothing changes and no callback fires
  // when an empty field is emptied.
  void type(Dialog& dialog, int32_t control, const std::string& text);
  // Selects list entry `entry` (from 1).
  void select(Dialog& dialog, int32_t control, int entry);
  // Escape or the close box: a click on Cancel (id 2) where there is one,
  // otherwise nothing.
  void escape(Dialog& dialog);
  // What a control shows now (tests read back what the program set).
  const Control& control(Dialog& dialog, int32_t control);

  bool DIALOG_INIT(int32_t template_id, Dialog& dialog) override;
  bool DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) override;
  bool DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text, int32_t index) override;
  bool DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) override;
  std::string DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length, int32_t index) override;
  int32_t DIALOG_RUN_MODAL(Dialog& dialog) override;
  void DIALOG_SET_RETURN(Dialog& dialog, int32_t value) override;
  void DIALOG_EXIT(Dialog& dialog) override;
  void DIALOG_RELEASE(Dialog& dialog) override;
  int32_t MESSAGE_BOX(const std::string& text, const std::string& caption, int32_t style) override;
  bool MENU_DELETE(int32_t menu, int32_t item) override;
  bool MENU_INSERT(int32_t menu, int32_t item, int32_t flags, const std::string& text, MenuAction action) override;
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
  // Asks `ready` until it answers true; a wait that lasts more than a few
  // seconds is a mistake of the test and throws std::logic_error.
  void WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) override;
  [[noreturn]] void STOP_PROGRAM(int32_t code) override;

 private:
  FakeDialog& state(Dialog& dialog);
  Control& user_control(Dialog& dialog, int32_t control);
  void fire(Dialog& dialog, int32_t control, int32_t kind);
  void check_open(Dialog& dialog);

  // Dialogs released from inside their own run, kept until the run returns.
  std::vector<std::unique_ptr<DialogState>> retired_;
};

}  // namespace kavlin::testing
