// The services through which the program reaches windows and the user:
// dialogs built from templates, message boxes, the main window, and the
// program stop. One implementation drives real Qt widgets; tests use a
// scripted fake of the same interface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/map_services.h"

namespace kavlin {

// List index selectors of DIALOG_SET_INT / DIALOG_GET_TEXT. Entry numbers
// count from 1; these two values can never be entry numbers.
inline constexpr int32_t NO_INDEX = 0, ITEM_COUNT = -1, SELECTED_TEXT = -2;

// Standard button ids of the templates; a dialog's modal run ends with the
// id of the button that closed it.
inline constexpr int32_t IDOK = 1, IDCANCEL = 2;

// Message-box style: one OK button, no icon (the only style the program
// uses).
inline constexpr int32_t MESSAGE_OK = 0;

// Callback kinds (the program's handlers ignore them).
inline constexpr int32_t CALLBACK_CLICKED = 1, CALLBACK_CHANGED = 2, CALLBACK_SELCHANGE = 3;

// Whatever an implementation keeps for one loaded dialog.
class DialogState {
 public:
  virtual ~DialogState() = default;
};

// A dialog object: owned by the caller, filled by DIALOG_INIT and emptied
// by DIALOG_RELEASE.
struct Dialog {
  int32_t template_id = 0;
  std::unique_ptr<DialogState> state;
};

// A handler routine: dialog, control id, callback kind.
using DialogCallback = std::function<void(Dialog&, int32_t, int32_t)>;

// Built-in actions a menu item can carry.
enum class MenuAction { None, ExitProgram, PrintScreen, SaveScreen, About };

// Menu item flag: enabled, no check mark, not grey.
inline constexpr int32_t MENU_ENABLED = 4;

// Window configuration record. Every size field -1 means the largest value
// the screen allows; SET_WINDOW_CONFIG writes back the values in effect.
struct WindowConfig {
  int32_t numxpixels = -1;
  int32_t numypixels = -1;
  int32_t numtextcols = -1;
  int32_t numtextrows = -1;
  int32_t numcolors = -1;
  int32_t fontsize = -1;
  std::string title;
};

enum class WindowKind { Frame, Text };

// Size-and-position record; type 2 means maximised.
inline constexpr int32_t WINDOW_MAXIMIZED = 2;
struct WindowSize {
  int32_t type = WINDOW_MAXIMIZED;
  int32_t x = 0, y = 0;
  int32_t width = 0, height = 0;
};

class UiServices {
 public:
  virtual ~UiServices() = default;

  // Dialogs: init, set values and callbacks, run, release.
  virtual bool DIALOG_INIT(int32_t template_id, Dialog& dialog) = 0;
  virtual bool DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) = 0;
  virtual bool DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text,
                               int32_t index = NO_INDEX) = 0;
  virtual bool DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) = 0;
  // The text blank-padded (or cut) to `field_length` characters.
  virtual std::string DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length,
                                      int32_t index = NO_INDEX) = 0;
  virtual int32_t DIALOG_RUN_MODAL(Dialog& dialog) = 0;
  virtual void DIALOG_SET_RETURN(Dialog& dialog, int32_t value) = 0;
  virtual void DIALOG_EXIT(Dialog& dialog) = 0;
  virtual void DIALOG_RELEASE(Dialog& dialog) = 0;

  // A modal box owned by the main window; style 0 is one OK button and no
  // icon. Returns the id of the button pressed.
  virtual int32_t MESSAGE_BOX(const std::string& text, const std::string& caption, int32_t style) = 0;

  // Main window.
  virtual bool MENU_DELETE(int32_t menu, int32_t item) = 0;
  virtual bool MENU_INSERT(int32_t menu, int32_t item, int32_t flags, const std::string& text,
                           MenuAction action) = 0;
  virtual bool SET_EXIT_MODE(int32_t mode) = 0;
  virtual bool SET_WINDOW_CONFIG(WindowConfig& config) = 0;
  virtual bool SET_WINDOW_SIZE(WindowKind which, const WindowSize& size) = 0;
  virtual int32_t INIT_FONTS() = 0;
  virtual int32_t SELECT_FONT(const std::string& options) = 0;
  virtual int32_t SET_TEXT_CURSOR(int32_t mode) = 0;
  virtual bool SET_ABOUT_TEXT(const std::string& text) = 0;
  // Colours as 0xBBGGRR; each returns the previous colour.
  virtual int32_t SET_TEXT_RGB(int32_t rgb) = 0;
  virtual int32_t SET_BACKGROUND_RGB(int32_t rgb) = 0;
  virtual void CLEAR_WINDOW(int32_t area) = 0;

  // Progress of a long piece of work (applying a modification): `done` of
  // `total` steps. The display appears over the main window only once the
  // work has lasted half a second; it is modal, offers no Cancel (a
  // modification is all or nothing) and repaints on every call.
  // END_PROGRESS removes it.
  virtual void SHOW_PROGRESS(int32_t done, int32_t total) = 0;
  virtual void END_PROGRESS() = 0;

  // Waits until `ready` answers true, asking it at once and then about ten
  // times a second. While it waits a modal display over the main window
  // shows `text` (without Cancel: the program waits for another one to end
  // its work); it is gone when the call returns.
  virtual void WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) = 0;

  // The main window's map. They draw and return at once: reading tiles and
  // drawing happen off the program's thread, so no dialog waits for them.
  // The database's tiles, shown at start.
  virtual void SHOW_DATABASE(const DatabaseShown& database) { (void)database; }
  // The area of the run, right after it is known and before its verdict.
  virtual void SHOW_AREA(const AreaShown& area) { (void)area; }
  // The run of the shown area is about to take the database lock: the
  // map's reading of the area's tiles, which holds the shared lock, ends
  // first, so that the run never waits for its own map (a reading that
  // still waits for another program's modification gives up: the map then
  // shows no flags).
  virtual void SHOW_RUN_START() {}
  // The tile a run is about to write. The map's view of the area's flags
  // is complete before this returns (the run's words as they were, or none
  // when its reading gave up).
  virtual void SHOW_TILE_AT_WORK(const std::string& name) { (void)name; }
  // The run of kind `mod_kind` on the shown area is done: the grid points
  // it changed stand out.
  virtual void SHOW_CHANGES(int32_t mod_kind) { (void)mod_kind; }

  // Ends the program with `code` once every file of the program is closed.
  [[noreturn]] virtual void STOP_PROGRAM(int32_t code) = 0;
};

}  // namespace kavlin
