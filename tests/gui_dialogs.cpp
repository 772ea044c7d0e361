// Dialogs built from templates on real widgets: default callbacks,
// Escape and Enter, callbacks for user changes only, lists.
#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <string>
#include <vector>

#include "tests/gui_support.h"
#include "ui/dialog_templates.h"
#include "ui/fixed_text.h"

namespace kavlin::testing {
namespace {

constexpr int32_t kFull = 9001;       // radios, OK (default), Cancel, edits, list
constexpr int32_t kNoDefault = 9002;  // an edit and a plain "Done" button only
constexpr int32_t kRadio1 = 1027, kRadio2 = 1028, kRadio3 = 1029;
constexpr int32_t kEdit = 1000, kUpper = 1001, kList = 1100, kCheck = 1043, kLabel = 1005;

class DialogTest : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    using K = ControlKind;
    DialogTemplate full;
    full.id = kFull;
    full.name = "TEST_FULL";
    full.caption = "Test dialog";
    full.width = 262;
    full.height = 179;
    full.controls = {
        {kRadio1, "", K::AutoRadio, "First", 22, 76, 233, 10},
        {kRadio2, "", K::AutoRadio, "Second", 22, 89, 233, 10},
        {kRadio3, "", K::AutoRadio, "Third", 22, 102, 233, 10},
        {IDOK, "", K::DefaultPushButton, "OK", 205, 158, 50, 14},
        {IDCANCEL, "", K::PushButton, "Cancel", 7, 158, 50, 14},
        {kEdit, "", K::Edit, "", 44, 120, 40, 12},
        {kUpper, "", K::EditUpper, "", 100, 120, 40, 12},
        {kList, "", K::ListBox, "", 150, 20, 100, 50},
        {kCheck, "", K::PushButton, "Check", 120, 158, 50, 14},
        {-1, "", K::Static, "KAVLIN_MODIFIER", 10, 16, 120, 8},
        {kLabel, "", K::Static, "??.??", 10, 30, 34, 8},
    };
    register_template(full);
    DialogTemplate bare;
    bare.id = kNoDefault;
    bare.name = "TEST_BARE";
    bare.caption = "Bare dialog";
    bare.width = 200;
    bare.height = 100;
    bare.controls = {
        {kEdit, "", K::Edit, "", 10, 10, 60, 12},
        {kCheck, "", K::PushButton, "Done", 10, 60, 50, 14},
    };
    register_template(bare);
  }
  static void TearDownTestSuite() {
    unregister_template(kFull);
    unregister_template(kNoDefault);
  }

  void SetUp() override { ASSERT_TRUE(ui.DIALOG_INIT(kFull, dialog)); }
  void TearDown() override { ui.DIALOG_RELEASE(dialog); }

  template <typename W>
  W* control(int32_t id) {
    return qobject_cast<W*>(ui.control_widget(dialog, id));
  }

  void click(int32_t id) {
    auto* button = control<QAbstractButton>(id);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
  }

  std::string text(int32_t id, std::size_t length = 20) {
    return trim_right(ui.DIALOG_GET_TEXT(dialog, id, length));
  }

  Dialog dialog;
};

TEST_F(DialogTest, AnUnknownTemplateIsNotFound) {
  Dialog d;
  EXPECT_FALSE(ui.DIALOG_INIT(999, d));
  EXPECT_EQ(d.state, nullptr);
}

TEST_F(DialogTest, WidgetsFollowTheTemplate) {
  QDialog* w = ui.dialog_widget(dialog);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->windowTitle(), "Test dialog");
  auto* ok = control<QPushButton>(IDOK);
  auto* cancel = control<QPushButton>(IDCANCEL);
  auto* check = control<QPushButton>(kCheck);
  ASSERT_TRUE(ok && cancel && check);
  EXPECT_TRUE(ok->isDefault());
  EXPECT_FALSE(cancel->isDefault());
  EXPECT_FALSE(check->isDefault());
  for (auto* b : {ok, cancel, check}) EXPECT_FALSE(b->autoDefault());
  EXPECT_EQ(ok->text(), "OK");
  EXPECT_EQ(check->text(), "Check");
  // Radio buttons: no tab stop, one exclusive group.
  auto* r1 = control<QRadioButton>(kRadio1);
  auto* r3 = control<QRadioButton>(kRadio3);
  ASSERT_TRUE(r1 && r3);
  EXPECT_FALSE(r1->focusPolicy() & Qt::TabFocus);
  ASSERT_NE(r1->group(), nullptr);
  EXPECT_EQ(r1->group(), r3->group());
  EXPECT_TRUE(r1->group()->exclusive());
  auto* list = control<QListWidget>(kList);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(list->isSortingEnabled());
  // Positions scale from dialog units: Cancel (x 7) left of OK (x 205),
  // both 50 units wide, on one row; the dialog holds them all.
  EXPECT_LT(cancel->x(), ok->x());
  EXPECT_EQ(cancel->width(), ok->width());
  EXPECT_EQ(cancel->y(), ok->y());
  EXPECT_LE(ok->geometry().right(), w->width());
  EXPECT_LE(ok->geometry().bottom(), w->height());
  EXPECT_EQ(text(kLabel), "??.??");
}

struct ButtonCase {
  int32_t button;
  int32_t result;
};

class DefaultCallbacks : public DialogTest, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(DefaultCallbacks, PushButtonEndsDialogWithItsId) {
  const ButtonCase c = GetParam();
  EXPECT_EQ(run(dialog, [&](QDialog&) { click(c.button); }), c.result);
}

INSTANTIATE_TEST_SUITE_P(Buttons, DefaultCallbacks,
                         ::testing::Values(ButtonCase{IDOK, 1}, ButtonCase{IDCANCEL, 2}, ButtonCase{kCheck, kCheck}));

TEST_F(DialogTest, EscapeActsAsCancel) {
  EXPECT_EQ(run(dialog, [&](QDialog&) { QTest::keyClick(control<QLineEdit>(kEdit), Qt::Key_Escape); }), 2);
}

TEST_F(DialogTest, CloseBoxActsAsCancel) {
  EXPECT_EQ(run(dialog, [&](QDialog& w) { w.close(); }), 2);
}

TEST_F(DialogTest, EscapeRunsTheCancelCallback) {
  int calls = 0;
  ui.DIALOG_SET_CALLBACK(dialog, IDCANCEL, [&](Dialog& d, int32_t id, int32_t) {
    ++calls;
    EXPECT_EQ(id, IDCANCEL);
    ui.DIALOG_SET_RETURN(d, 55);
    ui.DIALOG_EXIT(d);
  });
  EXPECT_EQ(run(dialog, [&](QDialog& w) { QTest::keyClick(&w, Qt::Key_Escape); }), 55);
  EXPECT_EQ(calls, 1);
}

TEST_F(DialogTest, EnterClicksTheDefaultButton) {
  EXPECT_EQ(run(dialog, [&](QDialog&) { QTest::keyClick(control<QLineEdit>(kEdit), Qt::Key_Return); }), 1);
}

TEST_F(DialogTest, EnterAndEscapeDoNothingWithoutDefaultOrCancel) {
  Dialog bare;
  ASSERT_TRUE(ui.DIALOG_INIT(kNoDefault, bare));
  auto* edit = qobject_cast<QLineEdit*>(ui.control_widget(bare, kEdit));
  auto* done = qobject_cast<QPushButton*>(ui.control_widget(bare, kCheck));
  ASSERT_TRUE(edit && done);
  bool open_after_keys = false;
  const int32_t result = run(bare, [&](QDialog& w) {
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Enter);
    QTest::keyClick(edit, Qt::Key_Escape);
    QTest::keyClick(&w, Qt::Key_Escape);
    w.close();
    QApplication::processEvents();
    open_after_keys = w.isVisible();
    QTest::mouseClick(done, Qt::LeftButton);
  });
  EXPECT_TRUE(open_after_keys);
  EXPECT_EQ(result, kCheck);
  ui.DIALOG_RELEASE(bare);
}

TEST_F(DialogTest, RegisteredCallbackEndsDialogOnlyThroughExit) {
  int clicks = 0;
  bool visible_inside_callback = false;
  ui.DIALOG_SET_CALLBACK(dialog, kCheck, [&](Dialog& d, int32_t id, int32_t) {
    EXPECT_EQ(id, kCheck);
    if (++clicks == 2) {
      ui.DIALOG_SET_RETURN(d, 7);
      ui.DIALOG_EXIT(d);
      visible_inside_callback = ui.dialog_widget(d)->isVisible();
    }
  });
  bool open_after_first = false;
  const int32_t result = run(dialog, [&](QDialog& w) {
    click(kCheck);
    QApplication::processEvents();
    open_after_first = w.isVisible();
    click(kCheck);
  });
  EXPECT_TRUE(open_after_first);
  EXPECT_TRUE(visible_inside_callback);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(result, 7);
}

TEST_F(DialogTest, RadioButtonsAreExclusive) {
  std::vector<int32_t> clicked;
  for (int32_t id : {kRadio1, kRadio2, kRadio3}) {
    ui.DIALOG_SET_CALLBACK(dialog, id, [&](Dialog&, int32_t c, int32_t) { clicked.push_back(c); });
  }
  run(dialog, [&](QDialog&) {
    click(kRadio1);
    click(kRadio3);
    EXPECT_FALSE(control<QRadioButton>(kRadio1)->isChecked());
    EXPECT_FALSE(control<QRadioButton>(kRadio2)->isChecked());
    EXPECT_TRUE(control<QRadioButton>(kRadio3)->isChecked());
    click(kRadio2);
    EXPECT_FALSE(control<QRadioButton>(kRadio3)->isChecked());
    EXPECT_TRUE(control<QRadioButton>(kRadio2)->isChecked());
    click(IDCANCEL);
  });
  EXPECT_EQ(clicked, (std::vector<int32_t>{kRadio1, kRadio3, kRadio2}));
}

TEST_F(DialogTest, TypedTextFiresOneCallbackPerChange) {
  std::vector<std::string> seen;
  ui.DIALOG_SET_CALLBACK(dialog, kEdit, [&](Dialog&, int32_t id, int32_t) {
    EXPECT_EQ(id, kEdit);
    seen.push_back(text(kEdit));
  });
  run(dialog, [&](QDialog&) {
    auto* edit = control<QLineEdit>(kEdit);
    QTest::keyClicks(edit, "12");
    QTest::keyClick(edit, Qt::Key_Backspace);
    // The program's own value: no callback, neither now nor later.
    EXPECT_TRUE(ui.DIALOG_SET_TEXT(dialog, kEdit, "99  "));
    QApplication::processEvents();
    QTest::qWait(20);
    EXPECT_EQ(edit->text(), "99");
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "12", "1"}));
}

TEST_F(DialogTest, TextSetInsideItsOwnCallbackFiresNothing) {
  int calls = 0;
  ui.DIALOG_SET_CALLBACK(dialog, kEdit, [&](Dialog& d, int32_t, int32_t) {
    ++calls;
    // What the coordinate checks do with a wrong character.
    ui.DIALOG_SET_TEXT(d, kEdit, "");
    ui.DIALOG_SET_TEXT(d, kLabel, "changed");
  });
  run(dialog, [&](QDialog&) {
    QTest::keyClicks(control<QLineEdit>(kEdit), "ab");
    QApplication::processEvents();
    QTest::qWait(20);
    click(IDCANCEL);
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(text(kEdit), "");
  EXPECT_EQ(text(kLabel), "changed");
}

TEST_F(DialogTest, UpperCaseFieldConvertsTypedAndPastedLetters) {
  std::vector<std::string> seen;
  ui.DIALOG_SET_CALLBACK(dialog, kUpper, [&](Dialog&, int32_t, int32_t) { seen.push_back(text(kUpper)); });
  run(dialog, [&](QDialog&) {
    auto* edit = control<QLineEdit>(kUpper);
    QTest::keyClicks(edit, "e");
    QApplication::clipboard()->setText("ns");
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"E", "ENS"}));
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kUpper, 1), "E");
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kUpper, 4), "ENS ");
}

TEST_F(DialogTest, ValuesSetBeforeTheRunAreShown) {
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, kEdit, "12"));
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, kLabel, " 1.01   "));
  QString shown_edit, shown_label;
  run(dialog, [&](QDialog&) {
    shown_edit = control<QLineEdit>(kEdit)->text();
    shown_label = control<QLabel>(kLabel)->text();
    click(IDCANCEL);
  });
  EXPECT_EQ(shown_edit, "12");
  EXPECT_EQ(shown_label, " 1.01");  // trailing blanks go, leading ones stay
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kLabel, 8), " 1.01   ");
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kEdit, 1), "1");  // cut to the field
}

TEST_F(DialogTest, UnknownControlsHaveNoEffect) {
  EXPECT_FALSE(ui.DIALOG_SET_TEXT(dialog, 4242, "x"));
  EXPECT_FALSE(ui.DIALOG_SET_CALLBACK(dialog, 4242, [](Dialog&, int32_t, int32_t) {}));
  EXPECT_FALSE(ui.DIALOG_SET_INT(dialog, 4242, 3, ITEM_COUNT));
  EXPECT_FALSE(ui.DIALOG_SET_INT(dialog, kEdit, 3, ITEM_COUNT));
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, 4242, 5), "     ");
}

TEST_F(DialogTest, ItemCountAndEntriesFillTheListInOrder) {
  auto* list = control<QListWidget>(kList);
  int calls = 0;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog&, int32_t, int32_t) { ++calls; });
  ASSERT_TRUE(ui.DIALOG_SET_INT(dialog, kList, 3, ITEM_COUNT));
  EXPECT_EQ(list->count(), 3);
  const std::vector<std::string> names{"gamma", "alpha", "beta"};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, kList, names[i] + "   ", i + 1));
  EXPECT_FALSE(ui.DIALOG_SET_TEXT(dialog, kList, "delta", 4));
  EXPECT_FALSE(ui.DIALOG_SET_TEXT(dialog, kList, "delta", 0));
  ASSERT_EQ(list->count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(list->item(i)->text().toStdString(), names[i]);
  EXPECT_TRUE(list->selectedItems().isEmpty());
  ASSERT_TRUE(ui.DIALOG_SET_INT(dialog, kList, 0, ITEM_COUNT));
  EXPECT_EQ(list->count(), 0);
  ASSERT_TRUE(ui.DIALOG_SET_INT(dialog, kList, 2, ITEM_COUNT));
  EXPECT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), "");
  QApplication::processEvents();
  EXPECT_EQ(calls, 0);
}

TEST_F(DialogTest, SelectionCallbackMayRefillTheList) {
  auto* list = control<QListWidget>(kList);
  ui.DIALOG_SET_INT(dialog, kList, 3, ITEM_COUNT);
  ui.DIALOG_SET_TEXT(dialog, kList, "alpha", 1);
  ui.DIALOG_SET_TEXT(dialog, kList, "beta", 2);
  ui.DIALOG_SET_TEXT(dialog, kList, "gamma", 3);
  std::vector<std::string> selected;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog& d, int32_t id, int32_t) {
    EXPECT_EQ(id, kList);
    selected.push_back(ui.DIALOG_GET_TEXT(d, kList, 60, SELECTED_TEXT));
    // Refill from inside the selection callback, as the file chooser does.
    ui.DIALOG_SET_INT(d, kList, 0, ITEM_COUNT);
    ui.DIALOG_SET_INT(d, kList, 2, ITEM_COUNT);
    ui.DIALOG_SET_TEXT(d, kList, "one", 1);
    ui.DIALOG_SET_TEXT(d, kList, "two", 2);
  });
  std::string after_refill;
  run(dialog, [&](QDialog&) {
    const QRect r = list->visualItemRect(list->item(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
    QApplication::processEvents();
    QTest::qWait(20);
    after_refill = ui.DIALOG_GET_TEXT(dialog, kList, 60, SELECTED_TEXT);
    click(IDCANCEL);
  });
  ASSERT_EQ(selected.size(), 1u);
  EXPECT_EQ(selected[0], pad_field("beta", 60));
  EXPECT_EQ(after_refill, std::string(60, ' '));
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), "one");
  EXPECT_EQ(list->item(1)->text(), "two");
}

TEST_F(DialogTest, ReleaseFreesTheWidgets) {
  QPointer<QDialog> w = ui.dialog_widget(dialog);
  ASSERT_FALSE(w.isNull());
  ui.DIALOG_RELEASE(dialog);
  EXPECT_TRUE(w.isNull());
  EXPECT_EQ(dialog.state, nullptr);
}

}  // namespace
}  // namespace kavlin::testing

namespace kavlin::testing {
namespace {

// Enter on a push button that has the keyboard focus presses that button,
// not the default one: Tab to Cancel and Enter cancels.
TEST_F(DialogTest, EnterPressesTheFocusedPushButton) {
  struct Case {
    int32_t focused;
    int32_t result;
  };
  for (const Case c : {Case{IDCANCEL, 2}, Case{kCheck, kCheck}, Case{IDOK, 1}}) {
    Dialog d;
    ASSERT_TRUE(ui.DIALOG_INIT(kFull, d));
    auto* button = qobject_cast<QPushButton*>(ui.control_widget(d, c.focused));
    ASSERT_NE(button, nullptr);
    const int32_t result = run(d, [&](QDialog&) {
      button->setFocus(Qt::TabFocusReason);
      QTest::keyClick(button, Qt::Key_Return);
    });
    EXPECT_EQ(result, c.result) << c.focused;
    ui.DIALOG_RELEASE(d);
  }
  // Focus back in an edit field: Enter is the default button's again.
  EXPECT_EQ(run(dialog,
                [&](QDialog&) {
                  control<QPushButton>(IDCANCEL)->setFocus(Qt::TabFocusReason);
                  control<QLineEdit>(kEdit)->setFocus(Qt::TabFocusReason);
                  QTest::keyClick(control<QLineEdit>(kEdit), Qt::Key_Enter);
                }),
            1);
}

class ListTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    list = control<QListWidget>(kList);
    ASSERT_NE(list, nullptr);
    fill({"alpha", "beta", "gamma"});
  }
  void fill(const std::vector<std::string>& names) {
    ui.DIALOG_SET_INT(dialog, kList, 0, ITEM_COUNT);
    ui.DIALOG_SET_INT(dialog, kList, static_cast<int32_t>(names.size()), ITEM_COUNT);
    for (std::size_t i = 0; i < names.size(); ++i)
      ui.DIALOG_SET_TEXT(dialog, kList, names[i], static_cast<int32_t>(i + 1));
  }
  QPoint centre(int row) { return list->visualItemRect(list->item(row)).center(); }
  QListWidget* list = nullptr;
};

// The file chooser clicks a drive letter again to return to its root and
// retries a drive that was not ready: a click on the selected entry is a
// selection the program must hear about.
TEST_F(ListTest, ClickOnTheSelectedEntryFiresAgain) {
  std::vector<std::string> seen;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog& d, int32_t, int32_t) {
    seen.push_back(trim_right(ui.DIALOG_GET_TEXT(d, kList, 60, SELECTED_TEXT)));
  });
  run(dialog, [&](QDialog&) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre(1));
    // Keyboard: one callback per move.
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Up);
    // Ctrl+click does not take the selection away.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, centre(1));
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"beta", "beta", "gamma", "beta", "beta"}));
}

// A callback that refills the list when an entry is picked (the chooser
// entering a directory) must not pick again from the new entries because
// the mouse button is still down, moves, or the click was a double click.
TEST_F(ListTest, RefillInsideTheCallbackIsNotPickedByTheSameGesture) {
  std::vector<std::string> seen;
  int level = 0;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog& d, int32_t, int32_t) {
    seen.push_back(trim_right(ui.DIALOG_GET_TEXT(d, kList, 60, SELECTED_TEXT)));
    ++level;
    fill({"sub" + std::to_string(level) + "a", "sub" + std::to_string(level) + "b",
          "sub" + std::to_string(level) + "c"});
  });
  run(dialog, [&](QDialog&) {
    // Double click on "beta".
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre(1));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre(1));
    QApplication::processEvents();
    // Press on "sub1b", drag down over the next entry, release there.
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, centre(1));
    QMouseEvent move(QEvent::MouseMove, QPointF(centre(2)), list->viewport()->mapToGlobal(QPointF(centre(2))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &move);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, centre(2));
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"beta", "sub1c"}));
}

// Names that are not UTF-8 (file names on Linux are bytes) come back from
// a control byte for byte; UTF-8 names too.
TEST_F(ListTest, EntriesComeBackByteForByte) {
  const std::vector<std::string> names{"Donn\xE9" "es", "Gr\xC3\xBC" "n", "cut\xC3", "\xFF\xFE", "plain"};
  fill(names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kList, 60, static_cast<int32_t>(i + 1)), pad_field(names[i], 60));
  }
  std::string picked;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog& d, int32_t, int32_t) {
    picked = ui.DIALOG_GET_TEXT(d, kList, 60, SELECTED_TEXT);
  });
  run(dialog, [&](QDialog&) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre(0));
    click(IDCANCEL);
  });
  EXPECT_EQ(picked, pad_field(names[0], 60));
  EXPECT_EQ(list->item(1)->text(), QString::fromUtf8("Gr\xC3\xBC" "n"));
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, kLabel, "C:\\Donn\xE9" "es\\"));
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kLabel, 12), "C:\\Donn\xE9" "es\\ ");
}

// A callback may release its own dialog: the run ends and nothing of the
// dialog is touched afterwards.
TEST_F(DialogTest, CallbackMayReleaseItsOwnDialog) {
  QPointer<QDialog> widget = ui.dialog_widget(dialog);
  ui.DIALOG_SET_CALLBACK(dialog, kCheck, [&](Dialog& d, int32_t, int32_t) {
    ui.DIALOG_SET_RETURN(d, 31);
    ui.DIALOG_RELEASE(d);
    EXPECT_EQ(d.state, nullptr);
    // The widgets whose signal runs this callback must outlive it.
    EXPECT_FALSE(widget.isNull());
  });
  auto* check = control<QPushButton>(kCheck);
  QTimer::singleShot(0, check, [check] { QTest::mouseClick(check, Qt::LeftButton); });
  EXPECT_EQ(ui.DIALOG_RUN_MODAL(dialog), 31);
  EXPECT_EQ(dialog.state, nullptr);
  QApplication::processEvents();
  EXPECT_TRUE(widget.isNull());
  // The object can be loaded again.
  ASSERT_TRUE(ui.DIALOG_INIT(kFull, dialog));
  EXPECT_EQ(run(dialog, [&](QDialog&) { click(IDOK); }), 1);
}

}  // namespace
}  // namespace kavlin::testing

namespace kavlin::testing {
namespace {

// Letters whose capital is longer (German sharp s) keep the caret behind
// what was typed; typing in an upper-case field can be undone step by step.
TEST_F(DialogTest, UpperCaseFieldKeepsCaretAndUndo) {
  std::vector<std::string> seen;
  ui.DIALOG_SET_CALLBACK(dialog, kUpper, [&](Dialog&, int32_t, int32_t) { seen.push_back(text(kUpper)); });
  QString after_sharp_s, after_undo;
  int caret = -1;
  run(dialog, [&](QDialog&) {
    auto* edit = control<QLineEdit>(kUpper);
    edit->setFocus();
    QTest::keyClicks(edit, QString::fromUtf8("\xC3\x9F") + "x");
    after_sharp_s = edit->text();
    caret = edit->cursorPosition();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, "ns");
    QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
    after_undo = edit->text();
    click(IDCANCEL);
  });
  EXPECT_EQ(after_sharp_s, "SSX");
  EXPECT_EQ(caret, 3);
  // Undo takes back the last run of editing, as in any line edit.
  EXPECT_EQ(after_undo, "SSX");
  EXPECT_EQ(seen, (std::vector<std::string>{"SS", "SSX", "", "N", "NS", "SSX"}));
}

}  // namespace
}  // namespace kavlin::testing
