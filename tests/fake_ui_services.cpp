#include "tests/fake_ui_services.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cctype>
#include <stdexcept>

#include "base/fixed_text.h"

namespace kavlin::testing {

FakeUiServices::FakeUiServices() {
  reported_window.numxpixels = 1024;
  reported_window.numypixels = 768;
}

FakeUiServices::FakeDialog& FakeUiServices::state(Dialog& dialog) {
  auto* s = dynamic_cast<FakeDialog*>(dialog.state.get());
  if (s == nullptr) throw std::logic_error("dialog used before DIALOG_INIT");
  return *s;
}

namespace {

std::string upper_case(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

}  // namespace

void FakeUiServices::check_open(Dialog& dialog) {
  if (state(dialog).ended) throw std::logic_error("the dialog has been ended; the user cannot act on it");
}

FakeUiServices::Control& FakeUiServices::user_control(Dialog& dialog, int32_t control) {
  check_open(dialog);
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end()) {
    throw std::logic_error("the dialog has no control " + std::to_string(control));
  }
  return it->second;
}

const FakeUiServices::Control& FakeUiServices::control(Dialog& dialog, int32_t control) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end()) {
    throw std::logic_error("the dialog has no control " + std::to_string(control));
  }
  return it->second;
}

void FakeUiServices::fire(Dialog& dialog, int32_t control, int32_t kind) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end() || !it->second.callback) return;
  ++callbacks_fired;
  // A copy: the callback may replace itself.
  DialogCallback cb = it->second.callback;
  cb(dialog, control, kind);
  // A DIALOG_EXIT from the callback ends the running dialog once the
  // callback has returned. (The callback may have released the dialog.)
  auto* now = dynamic_cast<FakeDialog*>(dialog.state.get());
  if (now != nullptr && now->running && now->exit_requested) now->ended = true;
}

void FakeUiServices::click(Dialog& dialog, int32_t control) {
  Control& c = user_control(dialog, control);
  if (c.kind == ControlKind::AutoRadio) {
    // One exclusive group: the clicked button is the only one selected.
    for (auto& [id, other] : state(dialog).controls) other.checked = false;
    c.checked = true;
  } else if (!is_push_button(c.kind)) {
    throw std::logic_error("control " + std::to_string(control) + " is not a button");
  }
  fire(dialog, control, CALLBACK_CLICKED);
}

void FakeUiServices::type(Dialog& dialog, int32_t control, const std::string& text) {
  Control& c = user_control(dialog, control);
  if (c.kind != ControlKind::Edit && c.kind != ControlKind::EditUpper) {
    throw std::logic_error("control " + std::to_string(control) + " is not an edit field");
  }
  const std::string value = c.kind == ControlKind::EditUpper ? upper_case(text) : text;
  if (value.empty() && c.text.empty()) return;  // nothing to delete: no change
  c.text = value;
  fire(dialog, control, CALLBACK_CHANGED);
}

void FakeUiServices::select(Dialog& dialog, int32_t control, int entry) {
  Control& c = user_control(dialog, control);
  if (c.kind != ControlKind::ListBox || entry < 1 || static_cast<std::size_t>(entry) > c.items.size()) {
    throw std::logic_error("control " + std::to_string(control) + " has no entry " + std::to_string(entry));
  }
  c.selected = entry;
  fire(dialog, control, CALLBACK_SELCHANGE);
}

void FakeUiServices::escape(Dialog& dialog) {
  check_open(dialog);
  if (state(dialog).controls.count(IDCANCEL) != 0) fire(dialog, IDCANCEL, CALLBACK_CLICKED);
}

bool FakeUiServices::DIALOG_INIT(int32_t template_id, Dialog& dialog) {
  const DialogTemplate* tmpl = find_template(template_id);
  if (tmpl == nullptr || missing_templates.count(template_id) != 0) return false;
  auto s = std::make_unique<FakeDialog>();
  bool radio_seen = false;
  for (const ControlTemplate& t : tmpl->controls) {
    if (t.id == -1) continue;  // labels the program never addresses
    Control c;
    c.kind = t.kind;
    c.text = t.text;
    // The first radio button shows the program's preset choice.
    if (t.kind == ControlKind::AutoRadio && !radio_seen) {
      c.checked = true;
      radio_seen = true;
    }
    // A push button ends the dialog with its own id; no other control
    // has an action of its own.
    if (is_push_button(t.kind)) {
      c.callback = [this](Dialog& d, int32_t id_clicked, int32_t) {
        DIALOG_SET_RETURN(d, id_clicked);
        DIALOG_EXIT(d);
      };
    }
    s->controls[t.id] = std::move(c);
  }
  dialog.template_id = template_id;
  dialog.state = std::move(s);
  return true;
}

bool FakeUiServices::DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end()) return false;
  it->second.callback = std::move(callback);
  return true;
}

bool FakeUiServices::DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text, int32_t index) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end()) return false;
  Control& c = it->second;
  if (c.kind == ControlKind::ListBox) {
    if (index < 1 || static_cast<std::size_t>(index) > c.items.size()) return false;
    c.items[index - 1] = trim_right(text);
    return true;
  }
  if (index != NO_INDEX) return false;
  // An upper-case field holds capitals, whoever writes it.
  c.text = c.kind == ControlKind::EditUpper ? upper_case(trim_right(text)) : trim_right(text);
  return true;
}

bool FakeUiServices::DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end() || it->second.kind != ControlKind::ListBox || index != ITEM_COUNT || value < 0) {
    return false;
  }
  it->second.items.resize(static_cast<std::size_t>(value));
  it->second.selected = 0;
  return true;
}

std::string FakeUiServices::DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length,
                                            int32_t index) {
  auto& s = state(dialog);
  auto it = s.controls.find(control);
  if (it == s.controls.end()) return std::string(field_length, ' ');
  const Control& c = it->second;
  if (c.kind == ControlKind::ListBox) {
    int entry = index == SELECTED_TEXT ? c.selected : index;
    if (entry < 1 || static_cast<std::size_t>(entry) > c.items.size()) return std::string(field_length, ' ');
    return pad_field(c.items[entry - 1], field_length);
  }
  if (index != NO_INDEX) return std::string(field_length, ' ');
  return pad_field(c.text, field_length);
}

int32_t FakeUiServices::DIALOG_RUN_MODAL(Dialog& dialog) {
  auto& s = state(dialog);
  if (dialog_scripts.empty()) throw std::logic_error("no script for a dialog run");
  DialogScript script = std::move(dialog_scripts.front());
  dialog_scripts.pop_front();
  FakeDialog* run_state = &s;
  s.exit_requested = false;
  s.ended = false;
  s.running = true;
  std::optional<int32_t> result = script(*this, dialog);
  // A callback may have released the dialog during the run: its state is
  // kept until here, as the real dialogs keep theirs, and the run ends.
  const bool released = dialog.state.get() != run_state;
  run_state->running = false;
  run_state->ended = true;
  const bool exited = released || run_state->exit_requested;
  const int32_t value = run_state->return_value;
  std::erase_if(retired_, [run_state](const std::unique_ptr<DialogState>& r) { return r.get() == run_state; });
  if (result) return *result;
  if (!exited) throw std::logic_error("dialog script ended without ending the dialog");
  return value;
}

void FakeUiServices::DIALOG_SET_RETURN(Dialog& dialog, int32_t value) { state(dialog).return_value = value; }

void FakeUiServices::DIALOG_EXIT(Dialog& dialog) { state(dialog).exit_requested = true; }

void FakeUiServices::DIALOG_RELEASE(Dialog& dialog) {
  auto* s = dynamic_cast<FakeDialog*>(dialog.state.get());
  if (s != nullptr && s->running) {
    s->ended = true;
    retired_.push_back(std::move(dialog.state));
  }
  dialog.state.reset();
  dialog.template_id = 0;
}

int32_t FakeUiServices::MESSAGE_BOX(const std::string& text, const std::string& caption, int32_t style) {
  messages.push_back({text, caption, style});
  return IDOK;
}

bool FakeUiServices::MENU_DELETE(int32_t menu, int32_t item) {
  calls.push_back("MENU_DELETE " + std::to_string(menu) + " " + std::to_string(item));
  return true;
}

bool FakeUiServices::MENU_INSERT(int32_t menu, int32_t item, int32_t flags, const std::string& text,
                                 MenuAction action) {
  calls.push_back("MENU_INSERT " + std::to_string(menu) + " " + std::to_string(item) + " " +
                  std::to_string(flags) + " " + text + " " + std::to_string(static_cast<int>(action)));
  menu_texts.push_back(text);
  return true;
}

bool FakeUiServices::SET_EXIT_MODE(int32_t mode) {
  calls.push_back("SET_EXIT_MODE " + std::to_string(mode));
  return true;
}

bool FakeUiServices::SET_WINDOW_CONFIG(WindowConfig& config) {
  calls.push_back("SET_WINDOW_CONFIG " + config.title);
  config.numxpixels = reported_window.numxpixels;
  config.numypixels = reported_window.numypixels;
  return true;
}

bool FakeUiServices::SET_WINDOW_SIZE(WindowKind which, const WindowSize& size) {
  calls.push_back(std::string("SET_WINDOW_SIZE ") + (which == WindowKind::Frame ? "frame " : "text ") +
                  std::to_string(size.type));
  return true;
}

int32_t FakeUiServices::INIT_FONTS() {
  calls.push_back("INIT_FONTS");
  return 1;
}

int32_t FakeUiServices::SELECT_FONT(const std::string& options) {
  calls.push_back("SELECT_FONT " + options);
  return 0;
}

int32_t FakeUiServices::SET_TEXT_CURSOR(int32_t mode) {
  calls.push_back("SET_TEXT_CURSOR " + std::to_string(mode));
  return 0;
}

bool FakeUiServices::SET_ABOUT_TEXT(const std::string& text) {
  calls.push_back("SET_ABOUT_TEXT");
  about_text = text;
  return true;
}

int32_t FakeUiServices::SET_TEXT_RGB(int32_t rgb) {
  calls.push_back("SET_TEXT_RGB " + std::to_string(rgb));
  return 0;
}

int32_t FakeUiServices::SET_BACKGROUND_RGB(int32_t rgb) {
  calls.push_back("SET_BACKGROUND_RGB " + std::to_string(rgb));
  return 0;
}

void FakeUiServices::CLEAR_WINDOW(int32_t area) { calls.push_back("CLEAR_WINDOW " + std::to_string(area)); }

void FakeUiServices::SHOW_PROGRESS(int32_t done, int32_t total) {
  progress.push_back(std::to_string(done) + "/" + std::to_string(total));
}

void FakeUiServices::END_PROGRESS() { progress.push_back("end"); }

void FakeUiServices::SHOW_DATABASE(const DatabaseShown& database) {
  shown_database = database;
  map.push_back("DATABASE " + std::string(1, database.drive) + " " + std::to_string(database.tiles.size()));
}

void FakeUiServices::SHOW_AREA(const AreaShown& area) {
  shown_area = area;
  map.push_back("AREA@" + std::to_string(dialog_scripts.size()) + " " + area.status);
}

void FakeUiServices::SHOW_RUN_START() { map.push_back("RUN"); }

void FakeUiServices::SHOW_TILE_AT_WORK(const std::string& name) { map.push_back("TILE " + name); }

void FakeUiServices::SHOW_CHANGES(int32_t mod_kind) { map.push_back("CHANGES " + std::to_string(mod_kind)); }

void FakeUiServices::WAIT_UNTIL(const std::string& text, const std::function<bool()>& ready) {
  if (ready()) return;
  waits.push_back(text);
  if (while_waiting) while_waiting();
  for (int tries = 0; tries < 500; ++tries) {
    if (ready()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::logic_error("WAIT_UNTIL: never ready");
}

void FakeUiServices::STOP_PROGRAM(int32_t code) {
  calls.push_back("STOP_PROGRAM " + std::to_string(code));
  throw ProgramStopped{code};
}

}  // namespace kavlin::testing
