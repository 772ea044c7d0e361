// What only the real widgets do, on a test template that holds every kind
// of control: button and list settings, Escape and the close box without a
// Cancel button, Enter on a focused button, keystrokes one by one, list
// clicks and refills, bytes that are no UTF-8, and a dialog released by its
// own callback. The shared rules of both implementations are in
// gui_contract.cpp and gui_contract_fields.cpp.
#include <QApplication>
#include <QTimer>
#include <QButtonGroup>
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
#include "base/dialog_templates.h"
#include "base/fixed_text.h"

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
    register_template({kFull, "TEST_FULL", "Test dialog", 262, 179, 12,
                       {{kRadio1, "", K::AutoRadio, "First", 22, 76, 233, 10},
                        {kRadio2, "", K::AutoRadio, "Second", 22, 89, 233, 10},
                        {kRadio3, "", K::AutoRadio, "Third", 22, 102, 233, 10},
                        {IDOK, "", K::DefaultPushButton, "OK", 205, 158, 50, 14},
                        {IDCANCEL, "", K::PushButton, "Cancel", 7, 158, 50, 14},
                        {kEdit, "", K::Edit, "", 44, 120, 40, 12},
                        {kUpper, "", K::EditUpper, "", 100, 120, 40, 12},
                        {kList, "", K::ListBox, "", 150, 20, 100, 50},
                        {kCheck, "", K::PushButton, "Check", 120, 158, 50, 14},
                        {kLabel, "", K::Static, "??.??", 10, 30, 34, 8}}});
    register_template({kNoDefault, "TEST_BARE", "Bare dialog", 200, 100, 12,
                       {{kEdit, "", K::Edit, "", 10, 10, 60, 12}, {kCheck, "", K::PushButton, "Done", 10, 60, 50, 14}}});
  }
  static void TearDownTestSuite() {
    unregister_template(kFull);
    unregister_template(kNoDefault);
  }
  void SetUp() override { ASSERT_TRUE(ui.DIALOG_INIT(kFull, dialog)); }
  void TearDown() override {
    if (dialog.state) ui.DIALOG_RELEASE(dialog);
  }

  template <typename W>
  W* control(int32_t id) {
    return qobject_cast<W*>(ui.control_widget(dialog, id));
  }
  void click(int32_t id) {
    auto* button = control<QAbstractButton>(id);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
  }
  std::string text(int32_t id) { return trim_right(ui.DIALOG_GET_TEXT(dialog, id, 20)); }
  // Records the trimmed text of `id` on each of its callbacks.
  void record(int32_t id, std::vector<std::string>& seen, int32_t index = NO_INDEX) {
    ui.DIALOG_SET_CALLBACK(dialog, id, [this, id, index, &seen](Dialog& d, int32_t, int32_t) {
      seen.push_back(trim_right(ui.DIALOG_GET_TEXT(d, id, 60, index)));
    });
  }
  void fill(const std::vector<std::string>& names) {
    ui.DIALOG_SET_INT(dialog, kList, 0, ITEM_COUNT);
    ui.DIALOG_SET_INT(dialog, kList, static_cast<int32_t>(names.size()), ITEM_COUNT);
    for (std::size_t i = 0; i < names.size(); ++i)
      ui.DIALOG_SET_TEXT(dialog, kList, names[i], static_cast<int32_t>(i + 1));
  }
  QPoint centre(int row) {
    auto* list = control<QListWidget>(kList);
    return list->visualItemRect(list->item(row)).center();
  }
  QWidget* list_viewport() { return control<QListWidget>(kList)->viewport(); }

  Dialog dialog;
};

TEST_F(DialogTest, ButtonsRadiosAndListsAreSetUpAsTheProgramNeedsThem) {
  // Only the default button reacts to Enter elsewhere in the dialog.
  for (int32_t id : {IDOK, IDCANCEL, kCheck}) {
    auto* b = control<QPushButton>(id);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->isDefault(), id == IDOK) << id;
    EXPECT_FALSE(b->autoDefault()) << id;
  }
  // Radio buttons: no tab stop, one exclusive group.
  auto* r1 = control<QRadioButton>(kRadio1);
  ASSERT_TRUE(r1 && r1->group());
  EXPECT_FALSE(r1->focusPolicy() & Qt::TabFocus);
  EXPECT_EQ(r1->group(), control<QRadioButton>(kRadio3)->group());
  EXPECT_TRUE(r1->group()->exclusive());
  auto* list = control<QListWidget>(kList);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(list->isSortingEnabled());
}

// The close box is Cancel; without a Cancel button Escape and the close
// box do nothing, and without a default button neither does Enter.
TEST_F(DialogTest, CloseBoxIsCancelAndKeysDoNothingWithoutDefaultOrCancel) {
  EXPECT_EQ(run(dialog, [&](QDialog& w) { w.close(); }), IDCANCEL);
  Dialog bare;
  ASSERT_TRUE(ui.DIALOG_INIT(kNoDefault, bare));
  auto* edit = ui.control_widget(bare, kEdit);
  bool open_after_keys = false;
  const int32_t result = run(bare, [&](QDialog& w) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(edit, key);
    QTest::keyClick(&w, Qt::Key_Escape);
    w.close();
    QApplication::processEvents();
    open_after_keys = w.isVisible();
    QTest::mouseClick(ui.control_widget(bare, kCheck), Qt::LeftButton);
  });
  EXPECT_TRUE(open_after_keys);
  EXPECT_EQ(result, kCheck);
  ui.DIALOG_RELEASE(bare);
}

// Enter on a push button that has the keyboard focus presses that button,
// not the default one: Tab to Cancel and Enter cancels. Back in an edit
// field, Enter is the default button's again.
TEST_F(DialogTest, EnterPressesTheFocusedPushButton) {
  for (const int32_t focused : {IDCANCEL, kCheck, IDOK, kEdit}) {
    Dialog d;
    ASSERT_TRUE(ui.DIALOG_INIT(kFull, d));
    QWidget* target = ui.control_widget(d, focused);
    const int32_t result = run(d, [&](QDialog&) {
      ui.control_widget(d, IDCANCEL)->setFocus(Qt::TabFocusReason);
      target->setFocus(Qt::TabFocusReason);
      QTest::keyClick(target, focused == kEdit ? Qt::Key_Enter : Qt::Key_Return);  // the keypad key alike
    });
    EXPECT_EQ(result, focused == kEdit ? IDOK : focused);
    ui.DIALOG_RELEASE(d);
  }
}

// Each keystroke is one change and one callback. In the upper-case field a
// letter whose capital is longer (German sharp s) keeps the caret behind
// what was typed, and typing can be undone step by step.
TEST_F(DialogTest, EachKeystrokeIsOneChangeAndUpperCaseKeepsCaretAndUndo) {
  std::vector<std::string> plain, upper;
  record(kEdit, plain);
  record(kUpper, upper);
  QString after_sharp_s, after_undo;
  int caret = -1;
  run(dialog, [&](QDialog&) {
    QTest::keyClicks(control<QLineEdit>(kEdit), "12");
    QTest::keyClick(control<QLineEdit>(kEdit), Qt::Key_Backspace);
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
  EXPECT_EQ(plain, (std::vector<std::string>{"1", "12", "1"}));
  EXPECT_EQ(after_sharp_s, "SSX");
  EXPECT_EQ(caret, 3);
  EXPECT_EQ(after_undo, "SSX");  // undo takes back the last run of editing
  EXPECT_EQ(upper, (std::vector<std::string>{"SS", "SSX", "", "N", "NS", "SSX"}));
}

// The file chooser clicks a drive letter again to return to its root and
// retries a drive that was not ready: a click on the selected entry is a
// selection the program must hear about. Arrow keys fire once per move;
// Ctrl+click does not take the selection away.
TEST_F(DialogTest, ClickOnTheSelectedEntryFiresAgain) {
  fill({"alpha", "beta", "gamma"});
  std::vector<std::string> seen;
  record(kList, seen, SELECTED_TEXT);
  run(dialog, [&](QDialog&) {
    QTest::mouseClick(list_viewport(), Qt::LeftButton, {}, centre(1));
    QTest::mouseClick(list_viewport(), Qt::LeftButton, {}, centre(1));
    QTest::keyClick(control<QListWidget>(kList), Qt::Key_Down);
    QTest::keyClick(control<QListWidget>(kList), Qt::Key_Up);
    QTest::mouseClick(list_viewport(), Qt::LeftButton, Qt::ControlModifier, centre(1));
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"beta", "beta", "gamma", "beta", "beta"}));
}

// A callback that refills the list when an entry is picked (the chooser
// entering a directory) must not pick again from the new entries because
// the mouse button is still down, moves, or the click was a double click.
TEST_F(DialogTest, RefillInsideTheCallbackIsNotPickedByTheSameGesture) {
  fill({"alpha", "beta", "gamma"});
  std::vector<std::string> seen;
  int level = 0;
  ui.DIALOG_SET_CALLBACK(dialog, kList, [&](Dialog& d, int32_t, int32_t) {
    seen.push_back(trim_right(ui.DIALOG_GET_TEXT(d, kList, 60, SELECTED_TEXT)));
    const std::string sub = "sub" + std::to_string(++level);
    fill({sub + "a", sub + "b", sub + "c"});
  });
  run(dialog, [&](QDialog&) {
    QTest::mouseClick(list_viewport(), Qt::LeftButton, {}, centre(1));
    QTest::mouseDClick(list_viewport(), Qt::LeftButton, {}, centre(1));
    QApplication::processEvents();
    // Press on "sub1b", drag down over the next entry, release there.
    QTest::mousePress(list_viewport(), Qt::LeftButton, {}, centre(1));
    QMouseEvent move(QEvent::MouseMove, QPointF(centre(2)), list_viewport()->mapToGlobal(QPointF(centre(2))),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list_viewport(), &move);
    QTest::mouseRelease(list_viewport(), Qt::LeftButton, {}, centre(2));
    click(IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"beta", "sub1c"}));
}

// Names that are not UTF-8 (file names on Linux are bytes) come back from
// a control byte for byte; UTF-8 names are shown as their characters.
TEST_F(DialogTest, EntriesComeBackByteForByte) {
  const std::vector<std::string> names{"Donn\xE9" "es", "Gr\xC3\xBC" "n", "cut\xC3", "\xFF\xFE", "plain"};
  fill(names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kList, 60, static_cast<int32_t>(i + 1)), pad_field(names[i], 60));
  }
  std::vector<std::string> picked;
  record(kList, picked, SELECTED_TEXT);
  run(dialog, [&](QDialog&) {
    QTest::mouseClick(list_viewport(), Qt::LeftButton, {}, centre(0));
    click(IDCANCEL);
  });
  EXPECT_EQ(picked, std::vector<std::string>{names[0]});
  EXPECT_EQ(control<QListWidget>(kList)->item(1)->text(), QString::fromUtf8("Gr\xC3\xBC" "n"));
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, kLabel, "C:\\Donn\xE9" "es\\"));
  EXPECT_EQ(ui.DIALOG_GET_TEXT(dialog, kLabel, 12), "C:\\Donn\xE9" "es\\ ");
}

// DIALOG_EXIT ends the run only once the callback has returned; a callback
// may even release its own dialog, whose widgets then outlive the signal
// that runs it and go afterwards. The object can be loaded again.
TEST_F(DialogTest, ExitAndReleaseFromInsideACallback) {
  bool visible_inside_callback = false;
  ui.DIALOG_SET_CALLBACK(dialog, kCheck, [&](Dialog& d, int32_t, int32_t) {
    ui.DIALOG_SET_RETURN(d, 7);
    ui.DIALOG_EXIT(d);
    visible_inside_callback = ui.dialog_widget(d)->isVisible();
  });
  EXPECT_EQ(run(dialog, [&](QDialog&) { click(kCheck); }), 7);
  EXPECT_TRUE(visible_inside_callback);

  QPointer<QDialog> widget = ui.dialog_widget(dialog);
  ui.DIALOG_SET_CALLBACK(dialog, kCheck, [&](Dialog& d, int32_t, int32_t) {
    ui.DIALOG_SET_RETURN(d, 31);
    ui.DIALOG_RELEASE(d);
    EXPECT_EQ(d.state, nullptr);
    EXPECT_FALSE(widget.isNull());
  });
  auto* check = control<QPushButton>(kCheck);
  QTimer::singleShot(0, check, [check] { QTest::mouseClick(check, Qt::LeftButton); });
  EXPECT_EQ(ui.DIALOG_RUN_MODAL(dialog), 31);
  EXPECT_EQ(dialog.state, nullptr);
  QApplication::processEvents();
  EXPECT_TRUE(widget.isNull());
  ASSERT_TRUE(ui.DIALOG_INIT(kFull, dialog));
  EXPECT_EQ(run(dialog, [&](QDialog&) { click(IDOK); }), IDOK);
}

}  // namespace
}  // namespace kavlin::testing
