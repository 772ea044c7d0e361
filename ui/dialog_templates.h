// Dialog templates: the caption, size, font and controls of each dialog the
// program shows, in dialog units, and the registry DIALOG_INIT loads them
// from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavlin {

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

struct ControlTemplate {
  int32_t id = -1;  // -1 for labels the program never addresses
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

  const ControlTemplate* control(int32_t control_id) const;
};

// The template with that id, or nullptr when none is registered.
const DialogTemplate* find_template(int32_t id);

// Adds a template, replacing one with the same id.
void register_template(DialogTemplate dialog_template);

// Removes the template with that id (tests use it to clean up).
void unregister_template(int32_t id);

}  // namespace kavlin
