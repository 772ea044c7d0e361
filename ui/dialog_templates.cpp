#include "ui/dialog_templates.h"

#include <map>
#include <utility>

namespace kavlin {

namespace {

// The templates stored with the program. None are defined yet, so loading
// any of the program's dialogs reports a missing template.
std::vector<DialogTemplate> program_templates() { return {}; }

std::map<int32_t, DialogTemplate>& registry() {
  static std::map<int32_t, DialogTemplate> templates = [] {
    std::map<int32_t, DialogTemplate> m;
    for (auto& t : program_templates()) {
      int32_t id = t.id;
      m[id] = std::move(t);
    }
    return m;
  }();
  return templates;
}

}  // namespace

const ControlTemplate* DialogTemplate::control(int32_t control_id) const {
  for (const auto& c : controls) {
    if (c.id == control_id) return &c;
  }
  return nullptr;
}

const DialogTemplate* find_template(int32_t id) {
  auto& m = registry();
  auto it = m.find(id);
  return it == m.end() ? nullptr : &it->second;
}

void register_template(DialogTemplate dialog_template) {
  int32_t id = dialog_template.id;
  registry()[id] = std::move(dialog_template);
}

void unregister_template(int32_t id) { registry().erase(id); }

}  // namespace kavlin
