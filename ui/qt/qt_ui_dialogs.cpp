// Dialogs built from their templates, and the dialog calls on them.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <map>

#include "base/dialog_templates.h"
#include "base/fixed_text.h"
#include "ui/qt/qt_ui_services.h"
#include "ui/qt/template_widgets.h"
#include "ui/qt/window_placement.h"

namespace kavlin {

namespace {

struct QtControl {
  ControlKind kind = ControlKind::Static;
  QWidget* widget = nullptr;
  QString name;   // the control's name, e.g. LON1_DEG
  int template_width = 0;  // pixels
  int room = 0;            // labels: the widest they may grow in pixels, 0 for no growth
  DialogCallback callback;
};

struct QtDialogState : DialogState {
  QPointer<TemplateDialog> widget;
  std::map<int32_t, QtControl> controls;
  Dialog* owner = nullptr;        // the dialog object, refreshed on every service call
  int32_t return_value = 0;
  bool running = false;
  bool exit_requested = false;
  int callback_depth = 0;
  int setting = 0;                // > 0 while the program itself sets a value
  bool released = false;          // released while running; freed when the run returns

  bool busy() const { return running || callback_depth > 0; }

  // Ends the modal run once an exit is asked for and no callback is
  // running any more (the outermost callback ends it when it returns).
  void finish_exit() {
    if (callback_depth == 0 && exit_requested && running && widget) {
      exit_requested = false;
      widget->done(return_value);
    }
  }

  ~QtDialogState() override {
    // Nothing the widgets report while they go may reach a callback.
    ++setting;
    for (auto& [id, c] : controls) {
      if (c.widget != nullptr && widget) c.widget->blockSignals(true);
    }
    delete widget.data();
  }

  QtControl* find(int32_t id) {
    auto it = controls.find(id);
    return it == controls.end() ? nullptr : &it->second;
  }
};

// While alive, values set into a control are the program's own: the
// control's signals are blocked and the dialog drops every event.
class ProgramSetting {
 public:
  ProgramSetting(QtDialogState& state, QWidget* widget) : state_(state), blocker_(widget) {
    ++state_.setting;
  }
  ~ProgramSetting() { --state_.setting; }
  ProgramSetting(const ProgramSetting&) = delete;
  ProgramSetting& operator=(const ProgramSetting&) = delete;

 private:
  QtDialogState& state_;
  QSignalBlocker blocker_;
};

QtDialogState* state_of(Dialog& dialog) { return dynamic_cast<QtDialogState*>(dialog.state.get()); }

// A control of a loaded dialog (nullptr when the dialog is not loaded or
// has no such control), with the dialog's state in `s`; the state learns
// where the dialog object is now.
QtControl* control_of(Dialog& dialog, int32_t control, QtDialogState*& s) {
  s = state_of(dialog);
  if (s == nullptr) return nullptr;
  s->owner = &dialog;
  return s->find(control);
}

// Runs the callback of a control for an event the user caused. A
// DIALOG_EXIT from inside the callback ends the dialog once the outermost
// callback has returned.
void fire(QtDialogState* state, int32_t id, int32_t kind) {
  if (state->setting > 0 || state->owner == nullptr) return;
  QtControl* control = state->find(id);
  if (control == nullptr || !control->callback) return;
  DialogCallback callback = control->callback;  // the callback may replace itself
  ++state->callback_depth;
  callback(*state->owner, id, kind);
  --state->callback_depth;
  state->finish_exit();
}

// Gives control `id`'s widget its focus policy and runs the control's
// callback with `kind` each time the widget sends `signal`.
template <typename W, typename Signal>
W* reporting(W* widget, Signal signal, QtDialogState* state, int32_t id, int32_t kind, Qt::FocusPolicy focus) {
  widget->setFocusPolicy(focus);
  QObject::connect(widget, signal, widget->parentWidget(), [state, id, kind] { fire(state, id, kind); });
  return widget;
}

QString text_of(const QtControl& control) {
  if (auto* edit = qobject_cast<QLineEdit*>(control.widget)) return edit->text();
  if (auto* label = qobject_cast<QLabel*>(control.widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(control.widget)) return plain_button_text(button->text());
  return QString();
}

}  // namespace

void QtUiServices::discard(Dialog& dialog) {
  // States released earlier whose run has returned since.
  std::erase_if(retired_, [](const std::unique_ptr<DialogState>& r) {
    auto* q = dynamic_cast<QtDialogState*>(r.get());
    return q == nullptr || !q->busy();
  });
  QtDialogState* s = state_of(dialog);
  if (s != nullptr && s->busy()) {
    // Released from inside its own run (a callback): its widgets are in the
    // middle of reporting an event, so the run ends and the state is freed
    // once DIALOG_RUN_MODAL returns. No callback fires any more.
    s->released = true;
    s->owner = nullptr;
    s->exit_requested = true;
    s->finish_exit();
    retired_.push_back(std::move(dialog.state));
  }
  dialog.state.reset();
  dialog.template_id = 0;
}

namespace {

// The widget of one control of a template, its user's actions reported
// to the dialog's state (radio buttons join `radios`).
QWidget* make_control(const ControlTemplate& c, const QString& text, QWidget* widget, QButtonGroup* radios,
                      QtDialogState* s) {
  switch (c.kind) {
    case ControlKind::AutoRadio: {
      // No tab stop.
      auto* radio = reporting(new QRadioButton(button_text(text), widget), &QRadioButton::clicked, s, c.id,
                              CALLBACK_CLICKED, Qt::ClickFocus);
      // The program presets the first choice of each radio group, so the
      // first button shows as selected; setting it calls no handler.
      if (radios->buttons().isEmpty()) radio->setChecked(true);
      radios->addButton(radio);
      return radio;
    }
    case ControlKind::DefaultPushButton:
    case ControlKind::PushButton: {
      auto* button = reporting(new TemplateButton(button_text(text), widget), &QPushButton::clicked, s, c.id,
                               CALLBACK_CLICKED, Qt::StrongFocus);
      button->setAutoDefault(false);
      button->setDefault(c.kind == ControlKind::DefaultPushButton);
      return button;
    }
    case ControlKind::Edit:
    case ControlKind::EditUpper: {
      // textEdited reports the user's changes only, never setText.
      QLineEdit* edit = reporting(c.kind == ControlKind::EditUpper ? new UpperCaseEdit(text, widget)
                                                                   : new QLineEdit(text, widget),
                                  &QLineEdit::textEdited, s, c.id, CALLBACK_CHANGED, Qt::StrongFocus);
      edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      return edit;
    }
    case ControlKind::Static:
    case ControlKind::StaticRight: {
      auto* label = new QLabel(text, widget);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment((c.kind == ControlKind::StaticRight ? Qt::AlignRight : Qt::AlignLeft) |
                          Qt::AlignTop);
      label->setFocusPolicy(Qt::NoFocus);
      return label;
    }
    case ControlKind::ListBox: {
      auto* list = new TemplateList(widget);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setSortingEnabled(false);
      list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
      list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      list->setDragEnabled(false);
      list->setFocusPolicy(Qt::StrongFocus);
      // Keyboard moves at once; mouse picks when the button is released.
      QObject::connect(list, &QListWidget::itemSelectionChanged, widget, [s, list, id = c.id] {
        if (!list->in_mouse_gesture()) fire(s, id, CALLBACK_SELCHANGE);
      });
      list->picked = [s, id = c.id] { fire(s, id, CALLBACK_SELCHANGE); };
      return list;
    }
  }
  return nullptr;
}

}  // namespace

bool QtUiServices::DIALOG_INIT(int32_t template_id, Dialog& dialog) {
  const DialogTemplate* tmpl = find_template(template_id);
  if (tmpl == nullptr) return false;
  if (dialog.state) discard(dialog);

  auto state = std::make_unique<QtDialogState>();
  QtDialogState* s = state.get();
  auto* widget = new TemplateDialog(&window_, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                                  Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  s->widget = widget;
  widget->setWindowTitle(to_qt(tmpl->caption));
  widget->setModal(true);

  const QFont font = dialog_font(*tmpl, available_geometry(window_).size() - frame_room(window_));
  widget->setFont(font);
  const DialogUnits units = dialog_units(font);
  widget->setFixedSize(units.x(tmpl->width), units.y(tmpl->height));

  auto* radios = new QButtonGroup(widget);
  radios->setExclusive(true);
  QWidget* previous_stop = nullptr;  // tab order follows template order
  QWidget* first_stop = nullptr;     // the first tab stop takes the focus

  for (std::size_t i = 0; i < tmpl->controls.size(); ++i) {
    const ControlTemplate& c = tmpl->controls[i];
    const QString text = to_qt(c.text);
    QWidget* w = make_control(c, text, widget, radios, s);
    if (!c.name.empty()) w->setObjectName(QString::fromStdString(c.name));
    w->setGeometry(units.x(c.x), units.y(c.y), units.x(c.w), units.y(c.h));
    const int room = c.kind == ControlKind::Static ? label_room(*tmpl, i, units) : 0;
    fit_label(w, units.x(c.w), room);
    w->setAccessibleName(accessible_name(text, c.name));
    if ((w->focusPolicy() & Qt::TabFocus) != 0) {
      if (previous_stop != nullptr) QWidget::setTabOrder(previous_stop, w);
      if (first_stop == nullptr) first_stop = w;
      previous_stop = w;
    }
    if (c.id == -1) continue;  // labels the program never addresses
    QtControl control;
    control.kind = c.kind;
    control.widget = w;
    control.name = QString::fromStdString(c.name);
    control.template_width = units.x(c.w);
    control.room = room;
    if (is_push_button(c.kind)) {
      control.callback = [this](Dialog& d, int32_t id, int32_t) {
        DIALOG_SET_RETURN(d, id);
        DIALOG_EXIT(d);
      };
    }
    s->controls[c.id] = std::move(control);
  }
  if (first_stop != nullptr) first_stop->setFocus(Qt::OtherFocusReason);

  widget->cancel = [s] {
    if (s->find(IDCANCEL) != nullptr) fire(s, IDCANCEL, CALLBACK_CLICKED);
  };

  dialog.template_id = template_id;
  dialog.state = std::move(state);
  s->owner = &dialog;
  return true;
}

bool QtUiServices::DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) {
  QtDialogState* s = nullptr;
  QtControl* c = control_of(dialog, control, s);
  if (c == nullptr) return false;
  c->callback = std::move(callback);
  return true;
}

bool QtUiServices::DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text, int32_t index) {
  QtDialogState* s = nullptr;
  QtControl* c = control_of(dialog, control, s);
  if (c == nullptr) return false;
  const QString value = to_qt(trim_right(text));
  ProgramSetting guard(*s, c->widget);
  if (auto* list = qobject_cast<QListWidget*>(c->widget)) {
    if (index < 1 || index > list->count()) return false;
    list->item(index - 1)->setText(value);
    return true;
  }
  if (index != NO_INDEX) return false;
  if (auto* edit = qobject_cast<QLineEdit*>(c->widget)) {
    edit->setText(value);
    return true;
  }
  if (auto* label = qobject_cast<QLabel*>(c->widget)) {
    label->setText(value);
    fit_label(label, c->template_width, c->room);
  } else if (auto* button = qobject_cast<QAbstractButton*>(c->widget)) {
    button->setText(button_text(value));
  } else {
    return false;
  }
  c->widget->setAccessibleName(accessible_name(value, c->name.toStdString()));
  return true;
}

bool QtUiServices::DIALOG_SET_INT(Dialog& dialog, int32_t control, int32_t value, int32_t index) {
  QtDialogState* s = nullptr;
  QtControl* c = control_of(dialog, control, s);
  if (c == nullptr) return false;
  auto* list = qobject_cast<QListWidget*>(c->widget);
  if (list == nullptr || index != ITEM_COUNT || value < 0) return false;
  ProgramSetting guard(*s, list);
  QSignalBlocker model_blocker(list->selectionModel());
  list->clearSelection();
  list->setCurrentRow(-1);
  while (list->count() > value) delete list->takeItem(list->count() - 1);
  while (list->count() < value) list->addItem(QString());
  list->clearSelection();
  list->setCurrentRow(-1);
  return true;
}

std::string QtUiServices::DIALOG_GET_TEXT(Dialog& dialog, int32_t control, std::size_t field_length,
                                          int32_t index) {
  QtDialogState* s = nullptr;
  QtControl* c = control_of(dialog, control, s);
  if (c == nullptr) return std::string(field_length, ' ');
  QString text;
  if (auto* list = qobject_cast<QListWidget*>(c->widget)) {
    if (index == SELECTED_TEXT) {
      const auto selected = list->selectedItems();
      if (!selected.isEmpty()) text = selected.front()->text();
    } else if (index >= 1 && index <= list->count()) {
      text = list->item(index - 1)->text();
    }
  } else if (index == NO_INDEX) {
    text = text_of(*c);
  }
  return pad_field(from_qt(text), field_length);
}

int32_t QtUiServices::DIALOG_RUN_MODAL(Dialog& dialog) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr || !s->widget) return -1;
  s->owner = &dialog;
  s->exit_requested = false;
  s->running = true;
  s->widget->setWindowModality(Qt::ApplicationModal);
  centre_on_screen(*s->widget, window_);
  s->widget->exec();
  s->running = false;
  s->exit_requested = false;
  const int32_t result = s->return_value;
  if (s->released) {
    std::erase_if(retired_, [s](const std::unique_ptr<DialogState>& r) { return r.get() == s; });
  }
  return result;
}

void QtUiServices::DIALOG_SET_RETURN(Dialog& dialog, int32_t value) {
  if (QtDialogState* s = state_of(dialog)) s->return_value = value;
}

void QtUiServices::DIALOG_EXIT(Dialog& dialog) {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return;
  s->exit_requested = true;
  // Outside any callback the dialog ends at once.
  s->finish_exit();
}

void QtUiServices::DIALOG_RELEASE(Dialog& dialog) { discard(dialog); }

QDialog* QtUiServices::dialog_widget(Dialog& dialog) const {
  QtDialogState* s = state_of(dialog);
  return s != nullptr ? s->widget.data() : nullptr;
}

QWidget* QtUiServices::control_widget(Dialog& dialog, int32_t control) const {
  QtDialogState* s = state_of(dialog);
  if (s == nullptr) return nullptr;
  QtControl* c = s->find(control);
  return c != nullptr ? c->widget : nullptr;
}

}  // namespace kavlin
