// The file chooser: the modal dialog F_S_Box with a drive list, the
// current directory's sub-directories and files, two path labels, a title
// line and the buttons OK, Back and Cancel. Selecting a drive goes to its
// root, selecting a directory goes into it, Back goes to the parent and
// selecting a file marks it as the chosen one. FILE_SELECT hands the chosen
// file's program path (such as C:\POLY\AREA1.TXT) to the polygon reader
// through POLY_FILE_NAME.
//
// Texts are counted in characters as base/fixed_text.h counts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_services.h"
#include "base/fixed_text.h"
#include "base/program_values.h"
#include "base/ui_services.h"

namespace kavlin {

// Capacity of the directory list and of the file list.
inline constexpr int32_t MAX_LIST_ENTRIES = 1000;
// Characters of a name in the lists.
inline constexpr std::size_t LIST_NAME_LENGTH = 60;
// Characters of the title line.
inline constexpr std::size_t TITLE_LENGTH = 120;

// The chooser's state that lives for the whole run. Text fields are
// blank-padded to their length in characters.
struct FileSelectState {
  // Directory the lists show, ending in a backslash (C:\DATA\); blank at
  // program start, kept from one call of FILE_SELECT to the next.
  std::string CURRENT_DIR = std::string(PATH_LENGTH, ' ');
  // The current directory followed, once a file is chosen, by its name.
  std::string SELECTED_PATH = std::string(PATH_LENGTH, ' ');
  // Bytes of SELECTED_PATH that are the directory part.
  int32_t SELECTED_LEN = 0;
  // A file was selected since the last navigation.
  bool FILE_CHOSEN = false;
  // Letters of the existing drives in alphabetical order, blank-padded to
  // 26, and their count.
  std::string drive_letters = std::string(26, ' ');
  int32_t drive_count = 0;
  // The names last placed in DIR_LISTBOX and FILE_LISTBOX, each cut to 60
  // characters and blank-padded; entries 0 .. count - 1 are in use.
  std::vector<std::string> dir_list = std::vector<std::string>(MAX_LIST_ENTRIES);
  int32_t dir_count = 0;
  std::vector<std::string> file_list = std::vector<std::string>(MAX_LIST_ENTRIES);
  int32_t file_count = 0;
};

// The run's one instance.
FileSelectState& file_select_state();

// Runs F_S_Box with `title` in its title line. Sets values.POLY_FILE_NAME
// to the chosen file's path, or to blanks when no file is chosen (255
// characters, blank-padded); `cancelled` is true after Cancel, Escape or
// the close box. A missing template ends the program after its message.
void FILE_SELECT(UiServices& ui, Folders& files, ProgramValues& values, bool& cancelled,
                 const std::string& title);
// The same on a given state (tests run the chooser on a fresh one).
void FILE_SELECT(UiServices& ui, Folders& files, ProgramValues& values, FileSelectState& state,
                 bool& cancelled, const std::string& title);

// The handler of the three lists and the Back button; other ids are
// ignored, and so is the event kind.
void MANAGE_F_S_INPUT(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog,
                      int32_t control, int32_t kind);

}  // namespace kavlin
