// Dialog templates: the caption, size, font and controls of each dialog the
// program shows, in dialog units, and the registry DIALOG_INIT loads them
// from. The six dialogs of the program are stored here as data; both the Qt
// services and the scripted fake build their dialogs from this registry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/program_values.h"

namespace kavlin {

// Template ids.
inline constexpr int32_t DATA_SELECTION = 101;
inline constexpr int32_t DATA_INPUT_POINT = 102;
inline constexpr int32_t DATA_INPUT_RECTANGLE = 103;
inline constexpr int32_t POLY = 106;
inline constexpr int32_t MODIFICATION = 107;
inline constexpr int32_t F_S_Box = 119;

// Control ids. Ids are unique within a dialog but reused across dialogs
// with other meanings (1000 to 1005, 1043).
inline constexpr int32_t VERSION_LABEL = 1005;
// DATA_SELECTION
inline constexpr int32_t MODE_POINT = 1027;
inline constexpr int32_t MODE_RECTANGLE = 1028;
inline constexpr int32_t MODE_POLYGON = 1029;
// DATA_INPUT_POINT and DATA_INPUT_RECTANGLE: point or north-west corner
inline constexpr int32_t LON1_DEG = 1000;
inline constexpr int32_t LON1_EW = 1001;
inline constexpr int32_t LON1_MIN = 1002;
inline constexpr int32_t LON1_SEC = 1033;
inline constexpr int32_t LAT1_DEG = 1003;
inline constexpr int32_t LAT1_NS = 1026;
inline constexpr int32_t LAT1_MIN = 1004;
inline constexpr int32_t LAT1_SEC = 1039;
// DATA_INPUT_RECTANGLE: south-east corner
inline constexpr int32_t LON2_DEG = 1006;
inline constexpr int32_t LON2_EW = 1007;
inline constexpr int32_t LON2_MIN = 1008;
inline constexpr int32_t LON2_SEC = 1034;
inline constexpr int32_t LAT2_DEG = 1009;
inline constexpr int32_t LAT2_NS = 1042;
inline constexpr int32_t LAT2_MIN = 1010;
inline constexpr int32_t LAT2_SEC = 1040;
inline constexpr int32_t POINT_OK = 1043;
inline constexpr int32_t RECT_OK = 1041;
// MODIFICATION
inline constexpr int32_t SET_SEA = 1044;
inline constexpr int32_t CLEAR_SEA = 1045;
inline constexpr int32_t SET_INLAND_WATER = 1046;
inline constexpr int32_t CLEAR_INLAND_WATER = 1047;
inline constexpr int32_t SET_COASTAL_AREA = 1048;
inline constexpr int32_t CLEAR_COASTAL_AREA = 1049;
inline constexpr int32_t SET_TOWN = 1050;
inline constexpr int32_t CLEAR_TOWN = 1051;
inline constexpr int32_t SET_TREES = 1054;
inline constexpr int32_t CLEAR_TREES = 1055;
// F_S_Box
inline constexpr int32_t DRIVE_LISTBOX = 1000;
inline constexpr int32_t DIR_LISTBOX = 1001;
inline constexpr int32_t FILE_LISTBOX = 1002;
inline constexpr int32_t DIR_PATH_LABEL = 1003;
inline constexpr int32_t FILE_PATH_LABEL = 1004;
inline constexpr int32_t TITLE_LABEL = 1005;
inline constexpr int32_t BACK_BUTTON = 1043;

enum class ControlKind {
  AutoRadio,          // radio button; all radio buttons of a dialog form one group
  DefaultPushButton,  // push button activated by Enter
  PushButton,
  Edit,               // single-line edit field
  EditUpper,          // single-line edit field that forces upper case
  Static,             // left-aligned label
  StaticRight,        // right-aligned label
  ListBox,            // single selection, entries in insertion order
};

inline bool is_push_button(ControlKind kind) {
  return kind == ControlKind::PushButton || kind == ControlKind::DefaultPushButton;
}

struct ControlTemplate {
  int32_t id = -1;  // -1 for labels the program never addresses
  std::string name; // the control's name, empty for those labels
  ControlKind kind = ControlKind::Static;
  std::string text;
  // Position and size in dialog units, from the top-left corner of the
  // client area.
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

struct DialogTemplate {
  int32_t id = 0;
  std::string name;     // the name messages use, e.g. DATA_SELECTION
  std::string caption;
  int width = 0;        // dialog units
  int height = 0;
  int font_size = 12;   // points of the dialog font
  // In template order, which is also the tab order.
  std::vector<ControlTemplate> controls;
};

// The typeface every template names; the platform's nearest face stands in.
inline constexpr const char* TEMPLATE_FONT = "MS Sans Serif";

// The message shown when a dialog's template cannot be loaded:
// "Dialog: 'DATA_SELECTION' not found!" and so on, "Dialog: F_S_Box not
// found!" for the file chooser; caption "Error". It names the dialog also
// when its template is missing from the registry.
Notice dialog_not_found(int32_t template_id);

// The template with that id, or nullptr when none is registered.
const DialogTemplate* find_template(int32_t id);

// Adds a template, replacing one with the same id.
void register_template(DialogTemplate dialog_template);

// Removes the template with that id (tests use it to clean up).
void unregister_template(int32_t id);

}  // namespace kavlin
