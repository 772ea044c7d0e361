#include "filesel/File_select.h"

#include "base/dialog_templates.h"
#include "base/fixed_text.h"

namespace kavlin {

namespace {

void show_error(UiServices& ui, const std::string& text) { ui.MESSAGE_BOX(text, "Error", MESSAGE_OK); }

// The selected entry of a list box, cut to `chars` characters, without
// trailing blanks.
std::string selected_entry(UiServices& ui, Dialog& dialog, int32_t control, std::size_t chars) {
  return trim_right(cut_chars(ui.DIALOG_GET_TEXT(dialog, control, chars * UTF8_MAX_BYTES, SELECTED_TEXT), chars));
}

// Lists the directory that `pattern` (a directory followed by "*.*")
// names into the state's two lists. "." and ".." are left out. When a list
// would pass its capacity the whole enumeration stops there and the search
// is ended. A directory that cannot be read gives two empty lists.
void list_directory(Folders& files, const std::string& pattern, FileSelectState& state) {
  state.dir_count = 0;
  state.file_count = 0;
  DirEntry entry;
  int32_t handle = 0;
  while (files.NEXT_DIR_ENTRY(pattern, entry, handle)) {
    std::vector<std::string>& list = entry.is_directory ? state.dir_list : state.file_list;
    int32_t& count = entry.is_directory ? state.dir_count : state.file_count;
    if (entry.is_directory && (entry.name == "." || entry.name == "..")) continue;
    if (count >= MAX_LIST_ENTRIES) {
      files.END_DIR_SEARCH(handle);
      break;
    }
    list[static_cast<std::size_t>(count)] = pad_chars(entry.name, LIST_NAME_LENGTH);
    ++count;
  }
}

// The list box shows exactly the list's names, none selected.
void fill_list_box(UiServices& ui, Dialog& dialog, int32_t control, const std::vector<std::string>& list,
                   int32_t count) {
  ui.DIALOG_SET_INT(dialog, control, count, ITEM_COUNT);
  for (int32_t i = 0; i < count; ++i) {
    ui.DIALOG_SET_TEXT(dialog, control, trim_right(list[static_cast<std::size_t>(i)]), i + 1);
  }
}

void fill_both_lists(UiServices& ui, Dialog& dialog, const FileSelectState& state) {
  fill_list_box(ui, dialog, DIR_LISTBOX, state.dir_list, state.dir_count);
  fill_list_box(ui, dialog, FILE_LISTBOX, state.file_list, state.file_count);
}

// The directory part of SELECTED_PATH.
std::string selected_directory(const FileSelectState& state) {
  return state.SELECTED_PATH.substr(0, static_cast<std::size_t>(state.SELECTED_LEN));
}

// Makes `directory` the current one: SELECTED_PATH (without a file),
// CURRENT_DIR and both path labels; then lists it into both list boxes
// (an empty directory text gives empty lists).
void go_to(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog,
           const std::string& directory) {
  state.SELECTED_PATH = pad_chars(directory, PATH_LENGTH);
  state.SELECTED_LEN = static_cast<int32_t>(directory.size());
  ui.DIALOG_SET_INT(dialog, DIR_LISTBOX, 0, ITEM_COUNT);
  ui.DIALOG_SET_INT(dialog, FILE_LISTBOX, 0, ITEM_COUNT);
  ui.DIALOG_SET_TEXT(dialog, DIR_PATH_LABEL, directory);
  state.CURRENT_DIR = pad_chars(directory, PATH_LENGTH);
  ui.DIALOG_SET_TEXT(dialog, FILE_PATH_LABEL, directory);
  if (directory.empty()) {
    state.dir_count = 0;
    state.file_count = 0;
  } else {
    list_directory(files, directory + "*.*", state);
  }
  fill_both_lists(ui, dialog, state);
}

void drive_selected(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog) {
  state.FILE_CHOSEN = false;
  const std::string letter = ui.DIALOG_GET_TEXT(dialog, DRIVE_LISTBOX, 1, SELECTED_TEXT);
  int64_t total_bytes = 0;
  int64_t free_bytes = 0;
  if (!files.DRIVE_SPACE(letter, total_bytes, free_bytes)) {
    show_error(ui, "Drive not ready!");
    return;
  }
  go_to(ui, files, state, dialog, letter + ":\\");
}

// A path longer than the field cannot be held: the step that would make
// one is refused and the chooser stays as it was.
bool path_fits(UiServices& ui, const std::string& path) {
  if (text_chars(path) <= PATH_LENGTH) return true;
  show_error(ui, "Path is too long!");
  return false;
}

void directory_selected(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog) {
  const std::string name = selected_entry(ui, dialog, DIR_LISTBOX, LIST_NAME_LENGTH);
  std::string directory = selected_directory(state);
  if (!name.empty()) {
    directory += name + "\\";
    if (!path_fits(ui, directory)) return;
  }
  state.FILE_CHOSEN = false;
  go_to(ui, files, state, dialog, directory);
}

void file_selected(UiServices& ui, FileSelectState& state, Dialog& dialog) {
  const std::string name = selected_entry(ui, dialog, FILE_LISTBOX, LIST_NAME_LENGTH);
  const std::string path = selected_directory(state) + name;
  if (!path_fits(ui, path)) return;
  state.SELECTED_PATH = pad_chars(path, PATH_LENGTH);
  // An entry without a name chooses nothing: the path is the directory
  // alone, which no reader can take for a file.
  state.FILE_CHOSEN = !name.empty();
}

void back_clicked(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog) {
  const std::string shown =
      trim_right(cut_chars(ui.DIALOG_GET_TEXT(dialog, DIR_PATH_LABEL, PATH_LENGTH * UTF8_MAX_BYTES), PATH_LENGTH));
  if (text_chars(shown) <= 1) return;
  // Drop the trailing backslash, then everything back to the one before
  // it; a drive root has none and leads to no directory at all. A
  // backslash byte is never part of a longer UTF-8 character.
  std::string parent = shown.substr(0, shown.size() - 1);
  const std::size_t cut = parent.find_last_of('\\');
  parent.resize(cut == std::string::npos ? 0 : cut + 1);
  // Going back forgets the chosen file, as the other navigations do.
  state.FILE_CHOSEN = false;
  go_to(ui, files, state, dialog, parent);
}

}  // namespace

FileSelectState& file_select_state() {
  static FileSelectState state;
  return state;
}

void MANAGE_F_S_INPUT(UiServices& ui, Folders& files, FileSelectState& state, Dialog& dialog,
                      int32_t control, int32_t /*kind*/) {
  switch (control) {
    case DRIVE_LISTBOX:
      drive_selected(ui, files, state, dialog);
      break;
    case DIR_LISTBOX:
      directory_selected(ui, files, state, dialog);
      break;
    case FILE_LISTBOX:
      file_selected(ui, state, dialog);
      break;
    case BACK_BUTTON:
      back_clicked(ui, files, state, dialog);
      break;
    default:
      break;
  }
}

void FILE_SELECT(UiServices& ui, Folders& files, ProgramValues& values, bool& cancelled,
                 const std::string& title) {
  FILE_SELECT(ui, files, values, file_select_state(), cancelled, title);
}

void FILE_SELECT(UiServices& ui, Folders& files, ProgramValues& values, FileSelectState& state,
                 bool& cancelled, const std::string& title) {
  cancelled = false;
  values.POLY_FILE_NAME = std::string(PATH_LENGTH, ' ');
  state.FILE_CHOSEN = false;

  // The existing drives, in alphabetical order, without gaps.
  const std::string existing = pad_field(files.DRIVE_LETTERS(), 26);
  state.drive_letters = std::string(26, ' ');
  state.drive_count = 0;
  for (const char letter : existing) {
    if (letter != ' ') state.drive_letters[static_cast<std::size_t>(state.drive_count++)] = letter;
  }

  Dialog dialog;
  if (!ui.DIALOG_INIT(F_S_Box, dialog)) {
    show_error(ui, dialog_not_found(F_S_Box).text);
    ui.STOP_PROGRAM(0);
  }
  ui.DIALOG_SET_TEXT(dialog, TITLE_LABEL, trim_right(cut_chars(title, TITLE_LENGTH)));

  ui.DIALOG_SET_INT(dialog, DRIVE_LISTBOX, state.drive_count, ITEM_COUNT);
  for (int32_t i = 0; i < state.drive_count; ++i) {
    ui.DIALOG_SET_TEXT(dialog, DRIVE_LISTBOX, std::string(1, state.drive_letters[static_cast<std::size_t>(i)]),
                       i + 1);
  }

  const DialogCallback handler = [&ui, &files, &state](Dialog& d, int32_t control, int32_t kind) {
    MANAGE_F_S_INPUT(ui, files, state, d, control, kind);
  };
  for (const int32_t control : {DRIVE_LISTBOX, DIR_LISTBOX, FILE_LISTBOX, BACK_BUTTON}) {
    ui.DIALOG_SET_CALLBACK(dialog, control, handler);
  }

  // The chooser opens where the last one was left.
  const std::string current = trim_right(state.CURRENT_DIR);
  state.SELECTED_PATH = pad_chars(current, PATH_LENGTH);
  state.SELECTED_LEN = static_cast<int32_t>(current.size());
  if (state.SELECTED_LEN > 0) {
    list_directory(files, current + "*.*", state);
  } else {
    state.dir_count = 0;
    state.file_count = 0;
  }
  fill_both_lists(ui, dialog, state);
  ui.DIALOG_SET_TEXT(dialog, DIR_PATH_LABEL, current);
  ui.DIALOG_SET_TEXT(dialog, FILE_PATH_LABEL, current);

  const int32_t result = ui.DIALOG_RUN_MODAL(dialog);
  ui.DIALOG_RELEASE(dialog);

  if (result == IDCANCEL) cancelled = true;
  values.POLY_FILE_NAME = state.FILE_CHOSEN ? state.SELECTED_PATH : std::string(PATH_LENGTH, ' ');
}

}  // namespace kavlin
