#include "base/dialog_templates.h"

#include <map>
#include <utility>

namespace kavlin {

namespace {

using K = ControlKind;

// The six templates stored with the program, control by control in template
// order: id, name, kind, text, x, y, width, height (dialog units).
std::vector<DialogTemplate> program_templates() {
  std::vector<DialogTemplate> t;

  t.push_back({DATA_SELECTION, "DATA_SELECTION", "KAVLIN_MODIFIER selection", 262, 179, 12, {
    {1027, "MODE_POINT", K::AutoRadio, "Modify a single co-ordinate", 22, 76, 233, 10},
    {1028, "MODE_RECTANGLE", K::AutoRadio, "Modify a rectangle", 22, 89, 233, 10},
    {1029, "MODE_POLYGON", K::AutoRadio, "Modify an closed area defined by polygons layed down in a text file", 22, 102, 233, 10},
    {1, "IDOK", K::DefaultPushButton, "OK", 205, 158, 50, 14},
    {2, "IDCANCEL", K::PushButton, "Cancel", 7, 158, 50, 14},
    {-1, "", K::Static, "KAVLIN_MODIFIER", 61, 16, 120, 8},
    {1005, "VERSION_LABEL", K::Static, "??.??", 189, 16, 34, 8},
    {-1, "", K::Static, "Please select the kind of modification", 19, 39, 225, 8},
  }});

  t.push_back({DATA_INPUT_POINT, "DATA_INPUT_POINT", "KAVLIN_MODIFIER point input", 296, 179, 12, {
    {1000, "LON1_DEG", K::Edit, "", 44, 108, 20, 12},
    {1001, "LON1_EW", K::EditUpper, "", 73, 108, 13, 12},
    {1002, "LON1_MIN", K::Edit, "", 95, 108, 18, 12},
    {1033, "LON1_SEC", K::Edit, "", 119, 108, 19, 12},
    {1003, "LAT1_DEG", K::Edit, "", 174, 108, 18, 12},
    {1026, "LAT1_NS", K::EditUpper, "", 200, 108, 13, 12},
    {1004, "LAT1_MIN", K::Edit, "", 223, 108, 21, 12},
    {1039, "LAT1_SEC", K::Edit, "", 250, 108, 17, 12},
    {1043, "POINT_OK", K::PushButton, "OK", 239, 158, 50, 14},
    {2, "IDCANCEL", K::PushButton, "Cancel", 7, 158, 50, 14},
    {-1, "", K::Static, "KAVLIN_MODIFIER", 61, 16, 120, 8},
    {-1, "", K::Static, "Please enter the co-ordinates of the point", 44, 28, 171, 8},
    {-1, "", K::StaticRight, "Longitude", 7, 110, 36, 8},
    {-1, "", K::Static, "E/W", 73, 99, 14, 8},
    {-1, "", K::Static, "Minutes", 92, 99, 27, 8},
    {-1, "", K::StaticRight, "Latitude", 140, 110, 32, 8},
    {-1, "", K::Static, "Minutes", 221, 99, 27, 8},
    {1005, "VERSION_LABEL", K::Static, "??.??", 189, 16, 34, 8},
    {-1, "", K::Static, "Degrees", 40, 99, 29, 8},
    {-1, "", K::Static, "Degrees", 167, 99, 31, 8},
    {-1, "", K::Static, "N/S", 201, 99, 13, 8},
    {-1, "", K::Static, "Seconds", 120, 99, 31, 8},
    {-1, "", K::Static, "Seconds", 250, 99, 31, 8},
    {-1, "", K::Static, "Only in case where the co-ordinates of the point is located on a", 19, 43, 233, 8},
    {-1, "", K::Static, "gridpoint of the database, modifications are done!", 19, 55, 233, 8},
    {-1, "", K::Static, "(Latitude seconds are 0, 3, 6, 9, 12, ... 57, longitude seconds also, but", 19, 67, 233, 8},
    {-1, "", K::Static, "north of 50 degrees North are 0, 6, 12, 18, ... 54.)", 19, 79, 233, 8},
  }});

  t.push_back({DATA_INPUT_RECTANGLE, "DATA_INPUT_RECTANGLE", "KAVLIN_MODIFIER rectangle input", 296, 179, 12, {
    {1000, "LON1_DEG", K::Edit, "", 44, 91, 20, 12},
    {1001, "LON1_EW", K::EditUpper, "", 73, 91, 13, 12},
    {1002, "LON1_MIN", K::Edit, "", 95, 91, 18, 12},
    {1033, "LON1_SEC", K::Edit, "", 119, 91, 19, 12},
    {1003, "LAT1_DEG", K::Edit, "", 174, 91, 18, 12},
    {1026, "LAT1_NS", K::EditUpper, "", 200, 91, 13, 12},
    {1004, "LAT1_MIN", K::Edit, "", 223, 91, 21, 12},
    {1039, "LAT1_SEC", K::Edit, "", 250, 91, 17, 12},
    {1006, "LON2_DEG", K::Edit, "", 44, 136, 20, 12},
    {1007, "LON2_EW", K::EditUpper, "", 73, 136, 13, 12},
    {1008, "LON2_MIN", K::Edit, "", 95, 136, 18, 12},
    {1034, "LON2_SEC", K::Edit, "", 119, 136, 19, 12},
    {1009, "LAT2_DEG", K::Edit, "", 174, 136, 18, 12},
    {1042, "LAT2_NS", K::EditUpper, "", 200, 136, 14, 12},
    {1010, "LAT2_MIN", K::Edit, "", 223, 136, 21, 12},
    {1040, "LAT2_SEC", K::Edit, "", 250, 136, 17, 12},
    {1041, "RECT_OK", K::DefaultPushButton, "OK", 239, 158, 50, 14},
    {2, "IDCANCEL", K::PushButton, "Cancel", 7, 158, 50, 14},
    {-1, "", K::Static, "KAVLIN_MODIFIER", 60, 13, 120, 8},
    {-1, "", K::Static, "Please enter the co-ordinates", 61, 28, 171, 8},
    {-1, "", K::StaticRight, "Longitude", 7, 93, 36, 8},
    {-1, "", K::Static, "E/W", 73, 82, 14, 8},
    {-1, "", K::Static, "Minutes", 92, 82, 27, 8},
    {-1, "", K::StaticRight, "Latitude", 140, 93, 32, 8},
    {-1, "", K::Static, "Minutes", 221, 82, 27, 8},
    {1005, "VERSION_LABEL", K::Static, "??.??", 188, 13, 34, 8},
    {-1, "", K::Static, "Degrees", 40, 82, 29, 8},
    {-1, "", K::Static, "Degrees", 167, 82, 31, 8},
    {-1, "", K::Static, "N/S", 201, 82, 13, 8},
    {-1, "", K::Static, "Seconds", 120, 82, 31, 8},
    {-1, "", K::Static, "Seconds", 250, 82, 31, 8},
    {-1, "", K::StaticRight, "Longitude", 7, 138, 36, 8},
    {-1, "", K::Static, "E/W", 73, 127, 14, 8},
    {-1, "", K::Static, "Minutes", 92, 127, 27, 8},
    {-1, "", K::StaticRight, "Latitude", 140, 138, 32, 8},
    {-1, "", K::Static, "Minutes", 221, 127, 27, 8},
    {-1, "", K::Static, "Degrees", 40, 127, 29, 8},
    {-1, "", K::Static, "Degrees", 167, 127, 31, 8},
    {-1, "", K::Static, "N/S", 201, 127, 13, 8},
    {-1, "", K::Static, "Seconds", 120, 127, 31, 8},
    {-1, "", K::Static, "Seconds", 250, 127, 31, 8},
    {-1, "", K::Static, "Corner in the North / West", 13, 71, 171, 8},
    {-1, "", K::Static, "Corner in the South / East", 13, 117, 171, 8},
    {-1, "", K::Static, "Modifications are only done, if the difference in latitude is > 3 seconds and in ", 25, 43, 247, 8},
    {-1, "", K::Static, "longitude > 3 (south of 50 degrees) or 6 (north of 50 degrees) seconds!", 25, 55, 251, 8},
  }});

  t.push_back({POLY, "POLY", "Information", 329, 174, 12, {
    {1, "IDOK", K::DefaultPushButton, "OK", 272, 153, 50, 14},
    {2, "IDCANCEL", K::PushButton, "Cancel", 7, 153, 50, 14},
    {-1, "", K::Static, "Information", 139, 13, 56, 8},
    {-1, "", K::Static, "You have to choose a file containing pairs of co-ordinates (polygon points). This points", 17, 36, 299, 8},
    {-1, "", K::Static, "describes the border of the  area.", 16, 48, 293, 8},
    {-1, "", K::Static, "All points have to follow each other. The co-ordinates are longitude first, latitude second,", 17, 62, 279, 8},
    {-1, "", K::Static, "each pair in one line with a delimiter (space or comma). Example (delimiter = space):", 17, 76, 291, 8},
    {-1, "", K::Static, "5.7545 50.0235", 93, 92, 128, 8},
    {-1, "", K::Static, "5.8539 50.1234", 93, 103, 128, 8},
    {-1, "", K::Static, "5.9876 50.0912", 93, 114, 128, 8},
    {-1, "", K::Static, "...", 93, 125, 128, 8},
    {-1, "", K::Static, "5.7545 50.0235", 93, 147, 128, 8},
    {-1, "", K::Static, "...", 93, 136, 128, 8},
  }});

  t.push_back({MODIFICATION, "MODIFICATION", "Kind of modification", 334, 182, 12, {
    {1044, "SET_SEA", K::AutoRadio, "Set to 'sea'", 16, 62, 51, 10},
    {1045, "CLEAR_SEA", K::AutoRadio, "Clear 'sea'", 154, 62, 48, 10},
    {1046, "SET_INLAND_WATER", K::AutoRadio, "Set to 'inland water'", 16, 80, 77, 10},
    {1047, "CLEAR_INLAND_WATER", K::AutoRadio, "Clear 'inland water'", 154, 80, 75, 10},
    {1048, "SET_COASTAL_AREA", K::AutoRadio, "Set to 'costal area'", 16, 98, 74, 10},
    {1049, "CLEAR_COASTAL_AREA", K::AutoRadio, "Clear 'costal area'", 154, 98, 72, 10},
    {1050, "SET_TOWN", K::AutoRadio, "Set to 'town'", 16, 116, 55, 10},
    {1051, "CLEAR_TOWN", K::AutoRadio, "Clear 'town'", 154, 116, 52, 10},
    {1054, "SET_TREES", K::AutoRadio, "Set to 'trees'", 16, 134, 89, 10},
    {1055, "CLEAR_TREES", K::AutoRadio, "Clear 'trees'", 154, 134, 99, 10},
    {1, "IDOK", K::DefaultPushButton, "OK", 277, 161, 50, 14},
    {2, "IDCANCEL", K::PushButton, "Cancel", 7, 161, 50, 14},
    {1005, "VERSION_LABEL", K::Static, "Static", 247, 18, 73, 8},
    {-1, "", K::Static, "KAVLIN_MODIFIER", 98, 18, 135, 8},
    {-1, "", K::Static, "You only can modify one morphological type at once!", 15, 40, 305, 8},
  }});

  t.push_back({F_S_Box, "F_S_Box", "File selection", 376, 250, 10, {
    {1, "IDOK", K::DefaultPushButton, "OK", 332, 190, 37, 14},
    {1043, "BACK_BUTTON", K::PushButton, "Back", 332, 155, 37, 14},
    {1002, "FILE_LISTBOX", K::ListBox, "", 181, 42, 146, 201},
    {2, "IDCANCEL", K::PushButton, "Cancel", 332, 229, 37, 14},
    {1000, "DRIVE_LISTBOX", K::ListBox, "", 7, 42, 24, 201},
    {1005, "TITLE_LABEL", K::Static, "", 35, 7, 334, 8},
    {-1, "", K::Static, "Drives", 7, 21, 21, 8},
    {1001, "DIR_LISTBOX", K::ListBox, "", 42, 42, 132, 201},
    {-1, "", K::Static, "Directories of ", 78, 21, 42, 8},
    {-1, "", K::Static, "Files in ", 244, 21, 24, 8},
    {1003, "DIR_PATH_LABEL", K::Static, "", 42, 31, 132, 8},
    {1004, "FILE_PATH_LABEL", K::Static, "", 182, 31, 144, 8},
  }});

  return t;
}

std::map<int32_t, DialogTemplate>& registry() {
  static std::map<int32_t, DialogTemplate> templates = [] {
    std::map<int32_t, DialogTemplate> m;
    for (auto& t : program_templates()) {
      const int32_t id = t.id;
      m[id] = std::move(t);
    }
    return m;
  }();
  return templates;
}

}  // namespace

Notice dialog_not_found(int32_t template_id) {
  const char* name = "";
  switch (template_id) {
    case DATA_SELECTION: name = "DATA_SELECTION"; break;
    case DATA_INPUT_POINT: name = "DATA_INPUT_POINT"; break;
    case DATA_INPUT_RECTANGLE: name = "DATA_INPUT_RECTANGLE"; break;
    case POLY: name = "POLY"; break;
    case MODIFICATION: name = "MODIFICATION"; break;
    case F_S_Box: return {"Dialog: F_S_Box not found!", "Error"};
    default: break;
  }
  return {std::string("Dialog: '") + name + "' not found!", "Error"};
}

const DialogTemplate* find_template(int32_t id) {
  auto& m = registry();
  auto it = m.find(id);
  return it == m.end() ? nullptr : &it->second;
}

void register_template(DialogTemplate dialog_template) {
  const int32_t id = dialog_template.id;
  registry()[id] = std::move(dialog_template);
}

void unregister_template(int32_t id) { registry().erase(id); }

}  // namespace kavlin
