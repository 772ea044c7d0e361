// The six program dialogs on real widgets: geometry from dialog units of the
// dialog's own font, exact texts, tab order and first focus, Enter and
// Escape, upper-case fields, and labels that show their whole text.
#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <cmath>
#include <map>
#include <tuple>
#include <string>
#include <vector>

#include "tests/gui_support.h"
#include "ui/dialog_templates.h"

namespace kavlin::testing {
namespace {

const std::vector<int32_t> kTemplates{DATA_SELECTION, DATA_INPUT_POINT, DATA_INPUT_RECTANGLE,
                                      POLY,           MODIFICATION,     F_S_Box};

// Pixels per dialog unit, measured here on their own: a quarter of the
// average advance of the 52 letters, an eighth of the font height.
struct Units {
  explicit Units(const QFont& font) {
    const QFontMetrics m(font);
    const double letters = m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    hbase = static_cast<int>(std::lround(letters / 52.0));
    vbase = m.height();
  }
  int x(int du) const { return static_cast<int>(std::lround(du * hbase / 4.0)); }
  int y(int du) const { return static_cast<int>(std::lround(du * vbase / 8.0)); }
  int hbase;
  int vbase;
};

QFont template_font(int points) {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(points);
  return font;
}

// The widgets of a dialog in the order they were made: template order.
std::vector<QWidget*> widgets_of(QDialog& dialog) {
  std::vector<QWidget*> out;
  for (QWidget* w : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) out.push_back(w);
  return out;
}

QString shown_text(QWidget* w) {
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  return QString();
}

bool kind_matches(ControlKind kind, QWidget* w) {
  switch (kind) {
    case ControlKind::AutoRadio:
      return qobject_cast<QRadioButton*>(w) != nullptr;
    case ControlKind::DefaultPushButton:
    case ControlKind::PushButton: {
      auto* b = qobject_cast<QPushButton*>(w);
      return b != nullptr && b->isDefault() == (kind == ControlKind::DefaultPushButton);
    }
    case ControlKind::Edit:
    case ControlKind::EditUpper:
      return qobject_cast<QLineEdit*>(w) != nullptr;
    case ControlKind::Static:
    case ControlKind::StaticRight:
      return qobject_cast<QLabel*>(w) != nullptr;
    case ControlKind::ListBox:
      return qobject_cast<QListWidget*>(w) != nullptr;
  }
  return false;
}

class ProgramDialog : public GuiTest {
 protected:
  void TearDown() override {
    if (dialog.state) ui.DIALOG_RELEASE(dialog);
  }
  void load(int32_t id) {
    ASSERT_TRUE(ui.DIALOG_INIT(id, dialog));
    widget = ui.dialog_widget(dialog);
    ASSERT_NE(widget, nullptr);
  }
  // The control with the keyboard focus, once the dialog is the active
  // window.
  static std::string focus_name(QDialog& shown) {
    if (!QTest::qWaitForWindowActive(&shown)) return "(inactive)";
    QWidget* f = QApplication::focusWidget();
    return f != nullptr ? f->objectName().toStdString() : "(none)";
  }
  Dialog dialog;
  QDialog* widget = nullptr;
};

class TemplateTest : public ProgramDialog, public ::testing::WithParamInterface<int32_t> {};

// Kind, geometry, text, name, accessible name and alignment of every control.
TEST_P(TemplateTest, EveryControlFollowsItsTemplate) {
  const DialogTemplate& t = *find_template(GetParam());
  load(t.id);
  // The template's face, at the template's size or smaller where the
  // screen is too small for that (see gui_screen.cpp); positions and sizes
  // in dialog units of the dialog's own font.
  const QFont font = template_font(t.font_size);
  EXPECT_LE(QFontInfo(widget->font()).pixelSize(), QFontInfo(font).pixelSize());
  EXPECT_EQ(widget->font().family(), font.family());
  const Units u(widget->font());
  EXPECT_EQ(widget->size(), QSize(u.x(t.width), u.y(t.height)));
  EXPECT_EQ(widget->windowTitle().toStdString(), t.caption);
  const std::vector<QWidget*> ws = widgets_of(*widget);
  ASSERT_EQ(ws.size(), t.controls.size());
  for (std::size_t i = 0; i < ws.size(); ++i) {
    const ControlTemplate& c = t.controls[i];
    QWidget* w = ws[i];
    SCOPED_TRACE(t.name + " control " + std::to_string(i) + " " + c.text + c.name);
    EXPECT_TRUE(kind_matches(c.kind, w));
    EXPECT_EQ(w->pos(), QPoint(u.x(c.x), u.y(c.y)));
    EXPECT_EQ(w->height(), u.y(c.h));
    if (c.kind == ControlKind::Static) {
      // A label may grow to the right to show its whole text.
      EXPECT_GE(w->width(), u.x(c.w));
    } else {
      EXPECT_EQ(w->width(), u.x(c.w));
    }
    EXPECT_TRUE(w->isVisibleTo(widget));
    EXPECT_TRUE(w->isEnabled());
    EXPECT_EQ(shown_text(w).toStdString(), c.text);
    EXPECT_EQ(w->objectName().toStdString(), c.name);
    EXPECT_EQ(w->accessibleName().toStdString(), c.text.empty() ? c.name : c.text);
    if (auto* label = qobject_cast<QLabel*>(w)) {
      const bool right = c.text == "Longitude" || c.text == "Latitude";
      EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, right ? Qt::AlignRight : Qt::AlignLeft);
    }
  }
}

// Every label shows its whole text in the substitute font, and a widened
// label covers no other control.
TEST_P(TemplateTest, LabelsShowTheirWholeTextAndOverlapNothing) {
  load(GetParam());
  const std::vector<QWidget*> ws = widgets_of(*widget);
  for (QWidget* w : ws) {
    auto* label = qobject_cast<QLabel*>(w);
    if (label == nullptr || label->text().isEmpty()) continue;
    SCOPED_TRACE(label->text().toStdString());
    const int needed = QFontMetrics(label->font()).horizontalAdvance(label->text());
    EXPECT_LE(needed, label->width());
    EXPECT_LE(label->geometry().right(), widget->width() - 1);
    for (QWidget* other : ws) {
      if (other == w) continue;
      EXPECT_FALSE(label->geometry().intersects(other->geometry())) << shown_text(other).toStdString();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ProgramDialogs, TemplateTest, ::testing::ValuesIn(kTemplates),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return find_template(info.param)->name;
                         });

// Texts whose exact form matters, typing errors and blanks included, as
// the widgets show them.
TEST_F(ProgramDialog, ShowTheirExactTexts) {
  const std::pair<int32_t, const char*> cases[] = {
      {DATA_SELECTION, "Modify an closed area defined by polygons layed down in a text file"},
      {DATA_SELECTION, "Please select the kind of modification"},
      {DATA_INPUT_POINT, "Only in case where the co-ordinates of the point is located on a"},
      {DATA_INPUT_POINT, "(Latitude seconds are 0, 3, 6, 9, 12, ... 57, longitude seconds also, but"},
      {DATA_INPUT_RECTANGLE, "Modifications are only done, if the difference in latitude is > 3 seconds and in "},
      {DATA_INPUT_RECTANGLE, "Corner in the North / West"},
      {POLY, "describes the border of the  area."},
      {POLY, "You have to choose a file containing pairs of co-ordinates (polygon points). This points"},
      {MODIFICATION, "Set to 'costal area'"},
      {MODIFICATION, "Clear 'costal area'"},
      {MODIFICATION, "You only can modify one morphological type at once!"},
      {F_S_Box, "Directories of "},
      {F_S_Box, "Files in "},
  };
  for (const auto& [id, text] : cases) {
    load(id);
    int found = 0;
    for (QWidget* w : widgets_of(*widget)) found += shown_text(w) == QString::fromUtf8(text);
    EXPECT_EQ(found, 1) << "\"" << text << "\"";
    ui.DIALOG_RELEASE(dialog);
  }
}

// Focus starts on the first tab stop; Tab walks the tab stops in template
// order, round to the first again, and never stops on a radio button.
TEST_F(ProgramDialog, FocusStartsOnTheFirstTabStopAndTabFollowsTemplateOrder) {
  const std::map<int32_t, std::vector<std::string>> orders{
      {DATA_INPUT_POINT,
       {"LON1_DEG", "LON1_EW", "LON1_MIN", "LON1_SEC", "LAT1_DEG", "LAT1_NS", "LAT1_MIN", "LAT1_SEC", "POINT_OK",
        "IDCANCEL", "LON1_DEG"}},
      {DATA_INPUT_RECTANGLE, {"LON1_DEG"}},
      {F_S_Box, {"IDOK", "BACK_BUTTON", "FILE_LISTBOX", "IDCANCEL", "DRIVE_LISTBOX", "DIR_LISTBOX", "IDOK"}},
      {DATA_SELECTION, {"IDOK", "IDCANCEL", "IDOK", "IDCANCEL"}},
      {MODIFICATION, {"IDOK", "IDCANCEL", "IDOK", "IDCANCEL"}},
      {POLY, {"IDOK"}},
  };
  for (const auto& [id, order] : orders) {
    load(id);
    std::vector<std::string> seen;
    run(dialog, [&](QDialog& w) {
      seen.push_back(focus_name(w));
      for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen.push_back(focus_name(w));
      }
      w.reject();
    });
    EXPECT_EQ(seen, order) << id;
    ui.DIALOG_RELEASE(dialog);
  }
}

// Enter ends a dialog as its default button does, whichever control has
// the focus (a radio button just clicked, a list); the point dialog has no
// default button and stays open, for the keypad Enter too.
TEST_F(ProgramDialog, EnterEndsTheDialogAsItsDefaultButtonDoes) {
  const std::tuple<int32_t, const char*, int32_t> cases[] = {  // dialog, focus, result (0: stays open)
      {F_S_Box, "IDOK", 1},          {F_S_Box, "FILE_LISTBOX", 1},          {F_S_Box, "DIR_LISTBOX", 1},
      {DATA_SELECTION, "IDOK", 1},   {DATA_SELECTION, "MODE_POLYGON", 1},   {POLY, "IDOK", 1},
      {MODIFICATION, "IDOK", 1},     {MODIFICATION, "CLEAR_TOWN", 1},       {DATA_INPUT_RECTANGLE, "LON1_DEG", RECT_OK},
      {DATA_INPUT_RECTANGLE, "LAT2_SEC", RECT_OK}, {DATA_INPUT_POINT, "LON1_DEG", 0}, {DATA_INPUT_POINT, "LAT1_SEC", 0}};
  for (const auto& [id, focus, expected] : cases) {
    SCOPED_TRACE(std::string(find_template(id)->name) + " " + focus);
    load(id);
    if (id == F_S_Box) {
      ui.DIALOG_SET_INT(dialog, FILE_LISTBOX, 1, ITEM_COUNT);
      ui.DIALOG_SET_TEXT(dialog, FILE_LISTBOX, "A.TXT", 1);
    }
    bool open_after_enter = false;
    const int32_t result = run(dialog, [&](QDialog& w) {
      auto* target = w.findChild<QWidget*>(QString::fromLatin1(focus));
      if (auto* radio = qobject_cast<QRadioButton*>(target)) {
        QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
      }
      EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
      target->setFocus(Qt::TabFocusReason);
      EXPECT_EQ(QApplication::focusWidget(), target);
      QTest::keyClick(target, Qt::Key_Return);
      QApplication::processEvents();
      open_after_enter = w.isVisible();
      if (open_after_enter) QTest::keyClick(target, Qt::Key_Enter);
      QApplication::processEvents();
      if (w.isVisible()) w.done(0);
    });
    EXPECT_EQ(result, expected);
    EXPECT_EQ(open_after_enter, expected == 0);
    ui.DIALOG_RELEASE(dialog);
  }
}

// Enter in the rectangle dialog is a click on RECT_OK: its handler runs
// and decides.
TEST_F(ProgramDialog, EnterRunsTheRectangleOkHandler) {
  load(DATA_INPUT_RECTANGLE);
  int calls = 0;
  ui.DIALOG_SET_CALLBACK(dialog, RECT_OK, [&](Dialog& d, int32_t id, int32_t) {
    EXPECT_EQ(id, RECT_OK);
    if (++calls == 2) {
      ui.DIALOG_SET_RETURN(d, 1);
      ui.DIALOG_EXIT(d);
    }
  });
  const int32_t result = run(dialog, [&](QDialog& w) {
    QWidget* edit = ui.control_widget(dialog, LON2_MIN);
    EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
    edit->setFocus(Qt::TabFocusReason);
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Return);
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(result, 1);
}

// Typed letters become capitals in the letter fields, one callback per
// key; a digit field takes any character (the program refuses non-digits).
TEST_F(ProgramDialog, LetterFieldsTurnTypedLettersIntoCapitals) {
  for (int32_t id : {DATA_INPUT_POINT, DATA_INPUT_RECTANGLE}) {
    load(id);
    std::vector<std::string> seen;
    ui.DIALOG_SET_CALLBACK(dialog, LON1_EW, [&](Dialog& d, int32_t, int32_t) {
      seen.push_back(ui.DIALOG_GET_TEXT(d, LON1_EW, 2));
    });
    QStringList shown;
    run(dialog, [&](QDialog& w) {
      for (const auto& [field, keys] : {std::pair{LON1_EW, "e"}, std::pair{LAT1_NS, "s"}, std::pair{LON1_DEG, "1e"}}) {
        auto* edit = qobject_cast<QLineEdit*>(ui.control_widget(dialog, field));
        QTest::keyClicks(edit, keys);
        shown << edit->text();
      }
      w.reject();
    });
    EXPECT_EQ(shown, (QStringList{"E", "S", "1e"})) << id;
    EXPECT_EQ(seen, (std::vector<std::string>{"E "})) << id;
    ui.DIALOG_RELEASE(dialog);
  }
}

// An ampersand in a button text is shown as itself and makes no mnemonic.
TEST_F(ProgramDialog, AmpersandsMakeNoMnemonic) {
  load(DATA_SELECTION);
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, IDCANCEL, "Stop &go"));
  ASSERT_TRUE(ui.DIALOG_SET_TEXT(dialog, MODE_POINT, "One &point"));
  auto* cancel = qobject_cast<QPushButton*>(ui.control_widget(dialog, IDCANCEL));
  EXPECT_EQ(cancel->text(), "Stop &&go");
  EXPECT_EQ(cancel->accessibleName(), "Stop &go");
  EXPECT_EQ(qobject_cast<QRadioButton*>(ui.control_widget(dialog, MODE_POINT))->text(), "One &&point");
  const int32_t result = run(dialog, [&](QDialog& w) {
    QTest::keyClick(&w, Qt::Key_G, Qt::AltModifier);
    QApplication::processEvents();
    if (w.isVisible()) QTest::mouseClick(ui.control_widget(dialog, IDOK), Qt::LeftButton);
  });
  EXPECT_EQ(result, IDOK);
}

}  // namespace
}  // namespace kavlin::testing
