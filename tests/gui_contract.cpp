// One contract for the dialog services, run on both implementations: the
// scripted fake that the handler tests use and the Qt services on real
// widgets. A user action is a real click, key press or paste on the Qt side
// and the fake's click/type/select/escape on the other, so a handler test
// written on the fake relies on nothing the real dialogs do not do.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/fake_ui_services.h"
#include "base/dialog_templates.h"
#include "base/fixed_text.h"
#include "base/host_file_services.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin::testing {
namespace {

// What a contract test needs from a backend: the services, a modal run
// during which `user` acts, the user's actions, and a look at what the
// controls show.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual UiServices& ui() = 0;
  // Runs the dialog modally; `user` acts while it is on the screen and
  // must end it.
  virtual int32_t run(Dialog& dialog, std::function<void()> user) = 0;
  virtual void click(Dialog& dialog, int32_t control) = 0;
  // The field's whole text becomes `text` (select all, paste over it).
  virtual void type(Dialog& dialog, int32_t control, const std::string& text) = 0;
  virtual void select(Dialog& dialog, int32_t control, int entry) = 0;
  virtual void escape(Dialog& dialog) = 0;
  // Lets whatever the last action queued happen.
  virtual void settle() {}
  // Inside a run: the dialog is still open.
  virtual bool open(Dialog& dialog) = 0;
  virtual bool checked(Dialog& dialog, int32_t control) = 0;
  virtual std::string shown(Dialog& dialog, int32_t control) = 0;
  virtual std::vector<std::string> entries(Dialog& dialog, int32_t control) = 0;
};

class FakeBackend : public Backend {
 public:
  static constexpr const char* name = "Fake";
  UiServices& ui() override { return fake; }
  int32_t run(Dialog& dialog, std::function<void()> user) override {
    fake.dialog_scripts.push_back([user](FakeUiServices&, Dialog&) -> std::optional<int32_t> {
      user();
      return std::nullopt;
    });
    return fake.DIALOG_RUN_MODAL(dialog);
  }
  void click(Dialog& dialog, int32_t control) override { fake.click(dialog, control); }
  void type(Dialog& dialog, int32_t control, const std::string& text) override {
    fake.type(dialog, control, text);
  }
  void select(Dialog& dialog, int32_t control, int entry) override { fake.select(dialog, control, entry); }
  void escape(Dialog& dialog) override { fake.escape(dialog); }
  bool open(Dialog& dialog) override {
    auto* s = dynamic_cast<FakeUiServices::FakeDialog*>(dialog.state.get());
    return s != nullptr && s->running && !s->ended;
  }
  bool checked(Dialog& dialog, int32_t control) override { return fake.control(dialog, control).checked; }
  std::string shown(Dialog& dialog, int32_t control) override { return fake.control(dialog, control).text; }
  std::vector<std::string> entries(Dialog& dialog, int32_t control) override {
    return fake.control(dialog, control).items;
  }

  FakeUiServices fake;
};

class QtBackend : public Backend {
 public:
  static constexpr const char* name = "Qt";
  QtBackend() : files_(DriveTable("/nonexistent-kavlin-drives")), qt_(window_, files_) {}
  UiServices& ui() override { return qt_; }

  int32_t run(Dialog& dialog, std::function<void()> user) override {
    QDialog* widget = qt_.dialog_widget(dialog);
    if (widget == nullptr) {
      ADD_FAILURE() << "no dialog widget";
      return -1;
    }
    QTimer::singleShot(0, widget, [user] { user(); });
    QTimer::singleShot(5000, widget, [widget] {
      if (widget->isVisible()) {
        ADD_FAILURE() << "the dialog was left open";
        widget->done(-99);
      }
    });
    return qt_.DIALOG_RUN_MODAL(dialog);
  }

  void click(Dialog& dialog, int32_t control) override {
    auto* button = widget<QAbstractButton>(dialog, control);
    if (button == nullptr) return;
    // On a radio button the indicator; on a push button its middle.
    const QPoint at = qobject_cast<QRadioButton*>(button) != nullptr ? QPoint(6, button->height() / 2)
                                                                    : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
  }

  void type(Dialog& dialog, int32_t control, const std::string& text) override {
    auto* edit = widget<QLineEdit>(dialog, control);
    if (edit == nullptr) return;
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.empty()) {
      QTest::keyClick(edit, Qt::Key_Delete);
    } else {
      QApplication::clipboard()->setText(QtUiServices::to_qt(text));
      QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    }
  }

  void select(Dialog& dialog, int32_t control, int entry) override {
    auto* list = widget<QListWidget>(dialog, control);
    if (list == nullptr) return;
    QListWidgetItem* item = list->item(entry - 1);
    if (item == nullptr) {
      ADD_FAILURE() << "no entry " << entry;
      return;
    }
    list->scrollToItem(item);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
  }

  void escape(Dialog& dialog) override {
    QDialog* w = qt_.dialog_widget(dialog);
    QWidget* target = w->focusWidget() != nullptr ? w->focusWidget() : w;
    QTest::keyClick(target, Qt::Key_Escape);
  }

  void settle() override {
    QApplication::processEvents();
    QTest::qWait(10);
  }

  bool open(Dialog& dialog) override {
    QDialog* w = qt_.dialog_widget(dialog);
    return w != nullptr && w->isVisible();
  }

  bool checked(Dialog& dialog, int32_t control) override {
    auto* radio = widget<QRadioButton>(dialog, control);
    return radio != nullptr && radio->isChecked();
  }

  std::string shown(Dialog& dialog, int32_t control) override {
    QWidget* w = qt_.control_widget(dialog, control);
    QString text;
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      text = edit->text();
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      text = label->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      text = button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
    } else {
      ADD_FAILURE() << "control " << control << " shows no text";
    }
    return QtUiServices::from_qt(text);
  }

  std::vector<std::string> entries(Dialog& dialog, int32_t control) override {
    std::vector<std::string> out;
    if (auto* list = widget<QListWidget>(dialog, control)) {
      for (int i = 0; i < list->count(); ++i) out.push_back(QtUiServices::from_qt(list->item(i)->text()));
    }
    return out;
  }

 private:
  template <typename W>
  W* widget(Dialog& dialog, int32_t control) {
    auto* w = qobject_cast<W*>(qt_.control_widget(dialog, control));
    if (w == nullptr) ADD_FAILURE() << "control " << control << " is missing or of another kind";
    return w;
  }

  MainWindow window_;
  HostFileServices files_;
  QtUiServices qt_;
};

template <typename B>
class Contract : public ::testing::Test {
 protected:
  ~Contract() override {
    for (Dialog* d : loaded_) ui().DIALOG_RELEASE(*d);
  }
  UiServices& ui() { return backend.ui(); }

  // A dialog loaded from a program template, released after the test.
  Dialog& load(int32_t template_id) {
    dialogs_.emplace_back();
    Dialog& d = dialogs_.back();
    EXPECT_TRUE(ui().DIALOG_INIT(template_id, d)) << template_id;
    loaded_.push_back(&d);
    return d;
  }

  // A callback that records which control fired.
  DialogCallback record(std::vector<int32_t>& fired) {
    return [&fired](Dialog&, int32_t control, int32_t) { fired.push_back(control); };
  }

  std::string text(Dialog& d, int32_t control, std::size_t length, int32_t index = NO_INDEX) {
    return ui().DIALOG_GET_TEXT(d, control, length, index);
  }

  void fill(Dialog& d, int32_t list, const std::vector<std::string>& names) {
    ASSERT_TRUE(ui().DIALOG_SET_INT(d, list, static_cast<int32_t>(names.size()), ITEM_COUNT));
    for (std::size_t i = 0; i < names.size(); ++i) {
      ASSERT_TRUE(ui().DIALOG_SET_TEXT(d, list, names[i], static_cast<int32_t>(i + 1)));
    }
  }

  B backend;

 private:
  std::deque<Dialog> dialogs_;
  std::vector<Dialog*> loaded_;
};

struct BackendNames {
  template <typename T>
  static std::string GetName(int) {
    return T::name;
  }
};

using Backends = ::testing::Types<FakeBackend, QtBackend>;
TYPED_TEST_SUITE(Contract, Backends, BackendNames);

TYPED_TEST(Contract, PushButtonsWithoutCallbackEndTheDialogWithTheirId) {
  struct Case {
    int32_t dialog;
    int32_t button;
  };
  for (const Case c : {Case{DATA_SELECTION, IDOK}, Case{DATA_SELECTION, IDCANCEL}, Case{DATA_INPUT_POINT, POINT_OK},
                       Case{DATA_INPUT_RECTANGLE, RECT_OK}, Case{POLY, IDOK}, Case{MODIFICATION, IDCANCEL},
                       Case{F_S_Box, BACK_BUTTON}, Case{F_S_Box, IDOK}}) {
    Dialog& d = this->load(c.dialog);
    bool open_after_click = true;
    const int32_t result = this->backend.run(d, [&] {
      this->backend.click(d, c.button);
      open_after_click = this->backend.open(d);
    });
    EXPECT_EQ(result, c.button) << c.dialog;
    EXPECT_FALSE(open_after_click) << c.dialog;
  }
}

TYPED_TEST(Contract, OtherControlsHaveNoActionOfTheirOwn) {
  auto& b = this->backend;
  Dialog& selection = this->load(DATA_SELECTION);
  Dialog& point = this->load(DATA_INPUT_POINT);
  Dialog& chooser = this->load(F_S_Box);
  this->fill(chooser, FILE_LISTBOX, {"A.TXT", "B.TXT"});
  const std::vector<std::pair<Dialog*, std::function<void()>>> acts{
      {&selection, [&] { b.click(selection, MODE_POLYGON); }},
      {&point, [&] { b.type(point, LON1_DEG, "12"); }},
      {&chooser, [&] { b.select(chooser, FILE_LISTBOX, 2); }}};
  for (const auto& [d, act] : acts) {
    bool open = false;
    EXPECT_EQ(b.run(*d,
                    [&] {
                      act();
                      b.settle();
                      open = b.open(*d);
                      b.click(*d, IDCANCEL);
                    }),
              IDCANCEL);
    EXPECT_TRUE(open) << d->template_id;
  }
}

TYPED_TEST(Contract, ACallbackOnAPushButtonEndsTheDialogOnlyThroughReturnAndExit) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  int clicks = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, POINT_OK, [&](Dialog& dialog, int32_t control, int32_t) {
    EXPECT_EQ(control, POINT_OK);
    if (++clicks == 2) {
      this->ui().DIALOG_SET_RETURN(dialog, 1);
      this->ui().DIALOG_EXIT(dialog);
    }
  }));
  bool open_after_first = false;
  bool open_after_second = true;
  const int32_t result = this->backend.run(d, [&] {
    this->backend.click(d, POINT_OK);
    this->backend.settle();
    open_after_first = this->backend.open(d);
    this->backend.click(d, POINT_OK);
    open_after_second = this->backend.open(d);
  });
  EXPECT_TRUE(open_after_first);
  EXPECT_FALSE(open_after_second);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(result, 1);
}

TYPED_TEST(Contract, UnknownControlIdsAreIgnored) {
  Dialog& selection = this->load(DATA_SELECTION);
  Dialog& poly = this->load(POLY);
  // 1000 is a field of the coordinate dialogs, not of DATA_SELECTION; POLY
  // has no version label.
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(selection, LON1_DEG, "12"));
  EXPECT_FALSE(this->ui().DIALOG_SET_INT(selection, LON1_DEG, 3, ITEM_COUNT));
  EXPECT_FALSE(this->ui().DIALOG_SET_CALLBACK(selection, LON1_DEG, [](Dialog&, int32_t, int32_t) {}));
  EXPECT_EQ(this->text(selection, LON1_DEG, 5), "     ");
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(poly, VERSION_LABEL, " 1.01"));
  EXPECT_EQ(this->text(poly, VERSION_LABEL, 3), "   ");
  // The dialogs still work.
  EXPECT_EQ(this->backend.run(poly, [&] { this->backend.click(poly, IDOK); }), IDOK);
}

TYPED_TEST(Contract, TheProgramsOwnWritesCallNoHandler) {
  Dialog& d = this->load(DATA_INPUT_RECTANGLE);
  std::vector<int32_t> fired;
  for (int32_t id : {LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC, LAT1_DEG, LAT1_NS, LAT1_MIN, LAT1_SEC, LON2_DEG,
                     LON2_EW, LAT2_NS, RECT_OK}) {
    ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, this->record(fired)));
  }
  // A field's own callback rewrites it and others, as the coordinate
  // checks do with a wrong character.
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, LON1_DEG, [&](Dialog& dialog, int32_t control, int32_t) {
    fired.push_back(control);
    this->ui().DIALOG_SET_TEXT(dialog, LON1_DEG, "1");
    this->ui().DIALOG_SET_TEXT(dialog, LON1_EW, "E");
    this->ui().DIALOG_SET_TEXT(dialog, LAT1_NS, "");
    this->ui().DIALOG_SET_TEXT(dialog, VERSION_LABEL, "changed");
  }));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_NS, "N"));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LON1_MIN, "30"));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, RECT_OK, "OK"));
  std::vector<int32_t> fired_before_cancel;
  this->backend.run(d, [&] {
    this->backend.settle();
    this->backend.type(d, LON1_DEG, "1x");
    this->backend.settle();
    ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_DEG, "45"));
    ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LON2_EW, "W"));
    this->backend.settle();
    fired_before_cancel = fired;
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(fired_before_cancel, (std::vector<int32_t>{LON1_DEG}));
  EXPECT_EQ(this->backend.shown(d, LON1_DEG), "1");
  EXPECT_EQ(this->backend.shown(d, LON1_EW), "E");
  EXPECT_EQ(this->backend.shown(d, LAT1_NS), "");
  EXPECT_EQ(this->backend.shown(d, VERSION_LABEL), "changed");
  EXPECT_EQ(this->backend.shown(d, LON1_MIN), "30");
  EXPECT_EQ(this->backend.shown(d, LAT1_DEG), "45");
}

TYPED_TEST(Contract, ListsAreFilledThroughItemCountAndEntriesAndRefilledQuietly) {
  Dialog& d = this->load(F_S_Box);
  std::vector<std::string> picked;
  int callbacks = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, DIR_LISTBOX, [&](Dialog& dialog, int32_t, int32_t) {
    ++callbacks;
    picked.push_back(this->text(dialog, DIR_LISTBOX, 60, SELECTED_TEXT));
    // Entering a directory refills the list from inside its callback.
    this->ui().DIALOG_SET_INT(dialog, DIR_LISTBOX, 0, ITEM_COUNT);
    this->fill(dialog, DIR_LISTBOX, {"..", "SUB", "THIRD"});
  }));
  this->fill(d, DIR_LISTBOX, {"gamma   ", "alpha", "beta"});
  EXPECT_EQ(this->backend.entries(d, DIR_LISTBOX), (std::vector<std::string>{"gamma", "alpha", "beta"}));
  EXPECT_EQ(this->text(d, DIR_LISTBOX, 8, 1), "gamma   ");
  EXPECT_EQ(this->text(d, DIR_LISTBOX, 60, SELECTED_TEXT), std::string(60, ' '));  // nothing selected
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta", 4));
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta", 0));
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta"));
  ASSERT_TRUE(this->ui().DIALOG_SET_INT(d, DIR_LISTBOX, 0, ITEM_COUNT));
  EXPECT_TRUE(this->backend.entries(d, DIR_LISTBOX).empty());
  ASSERT_TRUE(this->ui().DIALOG_SET_INT(d, DIR_LISTBOX, 2, ITEM_COUNT));
  EXPECT_EQ(this->backend.entries(d, DIR_LISTBOX), (std::vector<std::string>{"", ""}));
  this->fill(d, DIR_LISTBOX, {"E006", "E007", "POLYGONS"});
  std::vector<std::string> after_refill;
  std::string selected_after_refill;
  this->backend.run(d, [&] {
    this->backend.select(d, DIR_LISTBOX, 3);
    this->backend.settle();
    after_refill = this->backend.entries(d, DIR_LISTBOX);
    selected_after_refill = this->text(d, DIR_LISTBOX, 60, SELECTED_TEXT);
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(picked, (std::vector<std::string>{pad_field("POLYGONS", 60)}));
  EXPECT_EQ(after_refill, (std::vector<std::string>{"..", "SUB", "THIRD"}));
  EXPECT_EQ(selected_after_refill, std::string(60, ' '));
}

TYPED_TEST(Contract, SelectedTextIsTheSelectedEntryBlankPadded) {
  Dialog& d = this->load(F_S_Box);
  this->fill(d, DRIVE_LISTBOX, {"A", "C", "D"});
  this->fill(d, FILE_LISTBOX, {"AREA1.TXT", "LUXEMBOURG_BORDER.TXT"});
  std::vector<std::string> seen;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, FILE_LISTBOX, [&](Dialog& dialog, int32_t, int32_t) {
    seen.push_back(this->text(dialog, FILE_LISTBOX, 60, SELECTED_TEXT));
  }));
  const int32_t result = this->backend.run(d, [&] {
    this->backend.select(d, FILE_LISTBOX, 2);
    this->backend.select(d, DRIVE_LISTBOX, 2);
    this->backend.click(d, IDOK);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(seen, (std::vector<std::string>{pad_field("LUXEMBOURG_BORDER.TXT", 60)}));
  EXPECT_EQ(this->text(d, DRIVE_LISTBOX, 1, SELECTED_TEXT), "C");
  EXPECT_EQ(this->text(d, FILE_LISTBOX, 10, SELECTED_TEXT), "LUXEMBOURG");  // cut to the field
}

TYPED_TEST(Contract, EditFieldsReadBackBlankPaddedAndUpperCaseFieldsHoldCapitals) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  std::vector<std::string> seen;
  for (int32_t id : {LON1_DEG, LON1_EW, LAT1_NS}) {
    ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, [&](Dialog& dialog, int32_t control, int32_t) {
      seen.push_back(this->text(dialog, control, 4));
    }));
  }
  EXPECT_FALSE(this->ui().DIALOG_SET_INT(d, LON1_DEG, 3, ITEM_COUNT));  // not a list
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_NS, "s"));  // the program's own write, too
  EXPECT_EQ(this->text(d, LAT1_NS, 2), "S ");
  this->backend.run(d, [&] {
    this->backend.type(d, LON1_DEG, "e12");  // any character: the handler refuses, not the field
    this->backend.type(d, LON1_EW, "e");
    this->backend.type(d, LAT1_NS, "n");
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"e12 ", "E   ", "N   "}));
  EXPECT_EQ(this->text(d, LON1_DEG, 5), "e12  ");
  EXPECT_EQ(this->text(d, LON1_DEG, 2), "e1");
  EXPECT_EQ(this->backend.shown(d, LON1_EW), "E");
  EXPECT_EQ(this->text(d, LAT1_NS, 1), "N");
  EXPECT_EQ(this->text(d, LAT1_SEC, 3), "   ");
}

TYPED_TEST(Contract, EmptyingAnEmptyFieldIsNoChange) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  std::vector<int32_t> fired;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, LON1_MIN, this->record(fired)));
  this->backend.run(d, [&] {
    this->backend.type(d, LON1_MIN, "");
    this->backend.type(d, LON1_MIN, "5");
    this->backend.type(d, LON1_MIN, "");
    this->backend.settle();
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(fired, (std::vector<int32_t>{LON1_MIN, LON1_MIN}));
}

// The first radio button of a group shows the preset without calling a
// handler; a click leaves only that button selected, the preset one again
// included, and calls its handler.
TYPED_TEST(Contract, RadioButtonsStartOnThePresetAndAClickLeavesOnlyThatOne) {
  struct Case {
    int32_t dialog;
    std::vector<int32_t> radios;
    std::vector<int32_t> clicks;
  };
  const std::vector<int32_t> kinds{SET_SEA,  CLEAR_SEA,  SET_COASTAL_AREA, CLEAR_COASTAL_AREA, SET_INLAND_WATER,
                                   CLEAR_INLAND_WATER, SET_TOWN, CLEAR_TOWN, SET_TREES, CLEAR_TREES};
  for (const Case& c : {Case{DATA_SELECTION, {MODE_POINT, MODE_RECTANGLE, MODE_POLYGON}, {MODE_POLYGON, MODE_POINT}},
                        Case{MODIFICATION, kinds,
                             {CLEAR_TREES, SET_SEA, SET_TOWN, CLEAR_SEA, CLEAR_TREES, SET_INLAND_WATER,
                              CLEAR_COASTAL_AREA, SET_TREES, CLEAR_INLAND_WATER, SET_COASTAL_AREA, CLEAR_TOWN,
                              SET_TOWN}}}) {
    Dialog& d = this->load(c.dialog);
    std::vector<int32_t> fired;
    for (int32_t id : c.radios) ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, this->record(fired)));
    auto selected = [&] {
      std::vector<int32_t> now;
      for (int32_t r : c.radios) {
        if (this->backend.checked(d, r)) now.push_back(r);
      }
      return now;
    };
    std::vector<std::vector<int32_t>> seen;
    this->backend.run(d, [&] {
      this->backend.settle();
      seen.push_back(selected());
      for (int32_t id : c.clicks) {
        this->backend.click(d, id);
        seen.push_back(selected());
      }
      this->backend.click(d, IDOK);
    });
    ASSERT_EQ(seen.size(), c.clicks.size() + 1);
    EXPECT_EQ(seen[0], (std::vector<int32_t>{c.radios.front()})) << c.dialog;
    for (std::size_t i = 0; i < c.clicks.size(); ++i) {
      EXPECT_EQ(seen[i + 1], (std::vector<int32_t>{c.clicks[i]})) << c.dialog << " click " << i;
    }
    EXPECT_EQ(fired, c.clicks);
  }
}

TYPED_TEST(Contract, EscapeActsAsCancel) {
  for (int32_t id : {DATA_SELECTION, DATA_INPUT_POINT, DATA_INPUT_RECTANGLE, POLY, MODIFICATION, F_S_Box}) {
    Dialog& d = this->load(id);
    EXPECT_EQ(this->backend.run(d, [&] { this->backend.escape(d); }), IDCANCEL) << id;
  }
  // Escape is a click on Cancel: a callback on Cancel decides.
  Dialog& d = this->load(POLY);
  int calls = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, IDCANCEL, [&](Dialog& dialog, int32_t control, int32_t) {
    ++calls;
    EXPECT_EQ(control, IDCANCEL);
    this->ui().DIALOG_SET_RETURN(dialog, 55);
    this->ui().DIALOG_EXIT(dialog);
  }));
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.escape(d); }), 55);
  EXPECT_EQ(calls, 1);
}

// The map's calls draw and return: they open nothing, and a dialog run
// between them (the kind dialog after SHOW_AREA) behaves as without them.
TYPED_TEST(Contract, MapCallsLeaveTheDialogsAlone) {
  DatabaseShown database;
  database.tiles = {{7, 49, 3, "E007N49.33M"}, {7, 50, 6, "E007N50.63M"}};
  this->ui().SHOW_DATABASE(database);
  AreaShown area;
  area.lon = {7.5};
  area.lat = {49.5};
  area.extent = {7.5, 7.5, 49.5, 49.5};
  area.tiles = {database.tiles[0]};
  area.status = "a point";
  this->ui().SHOW_AREA(area);
  Dialog& d = this->load(MODIFICATION);
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.click(d, IDOK); }), IDOK);
  this->ui().SHOW_RUN_START();
  this->ui().SHOW_TILE_AT_WORK("E007N49.33M");
  this->ui().SHOW_CHANGES(1);
  Dialog& next = this->load(DATA_SELECTION);
  EXPECT_EQ(this->backend.run(next, [&] { this->backend.escape(next); }), IDCANCEL);
}

TYPED_TEST(Contract, ValuesSetBeforeTheRunAreShownWithoutTrailingBlanks) {
  Dialog& d = this->load(DATA_SELECTION);
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, VERSION_LABEL, " 1.01   "));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, IDCANCEL, "Stop & go"));
  std::string version, cancel;
  this->backend.run(d, [&] {
    version = this->backend.shown(d, VERSION_LABEL);
    cancel = this->backend.shown(d, IDCANCEL);
    this->backend.click(d, IDOK);
  });
  EXPECT_EQ(version, " 1.01");
  EXPECT_EQ(cancel, "Stop & go");
  EXPECT_EQ(this->text(d, VERSION_LABEL, 8), " 1.01   ");
  EXPECT_EQ(this->text(d, IDCANCEL, 10), "Stop & go ");
}

TYPED_TEST(Contract, ReleaseFreesTheDialogAlsoFromInsideItsOwnCallback) {
  Dialog d;
  ASSERT_TRUE(this->ui().DIALOG_INIT(DATA_SELECTION, d));
  this->ui().DIALOG_RELEASE(d);
  EXPECT_EQ(d.state, nullptr);
  EXPECT_EQ(d.template_id, 0);
  // Loaded again, and released by a callback during the run.
  ASSERT_TRUE(this->ui().DIALOG_INIT(MODIFICATION, d));
  EXPECT_EQ(d.template_id, MODIFICATION);
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, IDOK, [&](Dialog& dialog, int32_t, int32_t) {
    this->ui().DIALOG_SET_RETURN(dialog, 31);
    this->ui().DIALOG_RELEASE(dialog);
  }));
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.click(d, IDOK); }), 31);
  EXPECT_EQ(d.state, nullptr);
  // A missing template is not found.
  EXPECT_FALSE(this->ui().DIALOG_INIT(104, d));
  EXPECT_EQ(d.state, nullptr);
}

// The fake refuses what no user can do: act on a dialog once it has ended.
TEST(FakeDialogs, NoActionAfterTheDialogHasEnded) {
  FakeUiServices ui;
  Dialog d;
  ASSERT_TRUE(ui.DIALOG_INIT(DATA_INPUT_POINT, d));
  ui.dialog_scripts.push_back([](FakeUiServices& fake, Dialog& dialog) -> std::optional<int32_t> {
    fake.click(dialog, POINT_OK);
    EXPECT_THROW(fake.type(dialog, LON1_DEG, "5"), std::logic_error);
    EXPECT_THROW(fake.click(dialog, IDCANCEL), std::logic_error);
    EXPECT_THROW(fake.escape(dialog), std::logic_error);
    return std::nullopt;
  });
  EXPECT_EQ(ui.DIALOG_RUN_MODAL(d), POINT_OK);
  EXPECT_THROW(ui.click(d, IDCANCEL), std::logic_error);
  // What the dialog shows can still be read.
  EXPECT_EQ(ui.control(d, POINT_OK).text, "OK");
}

}  // namespace
}  // namespace kavlin::testing
