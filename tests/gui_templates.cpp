// The six program dialogs on real widgets: every control's id, kind, text
// and geometry (from dialog units of the dialog's own font) against a table
// of the dialogs kept here, tab order and first focus, Enter and Escape,
// upper-case fields, and labels that show their whole text.
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
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/gui_support.h"
#include "base/dialog_templates.h"

namespace kavlin::testing {
namespace {

// The six dialogs as the user must see them, written out here on their
// own (not read from the program's registry): caption, size in dialog
// units, font size, and every control in template order with its id, name,
// kind, text, position and size.
struct ExpectedControl {
  int32_t id;
  const char* name;
  ControlKind kind;
  const char* text;
  int x, y, w, h;
};
struct ExpectedDialog {
  int32_t id;
  const char* name;
  const char* caption;
  int width, height, font_size;
  std::vector<ExpectedControl> controls;
};

using K = ControlKind;
const std::vector<ExpectedDialog> kDialogs{
    {101, "DATA_SELECTION", "KAVLIN_MODIFIER selection", 262, 179, 12,
     {
         {1027, "MODE_POINT", K::AutoRadio, "Modify a single co-ordinate", 22, 76, 233, 10},
         {1028, "MODE_RECTANGLE", K::AutoRadio, "Modify a rectangle", 22, 89, 233, 10},
         {1029, "MODE_POLYGON", K::AutoRadio, "Modify an closed area defined by polygons layed down in a text file", 22, 102, 233, 10},
         {1, "IDOK", K::DefaultPushButton, "OK", 205, 158, 50, 14},
         {2, "IDCANCEL", K::PushButton, "Cancel", 7, 158, 50, 14},
         {-1, "", K::Static, "KAVLIN_MODIFIER", 61, 16, 120, 8},
         {1005, "VERSION_LABEL", K::Static, "??.??", 189, 16, 34, 8},
         {-1, "", K::Static, "Please select the kind of modification", 19, 39, 225, 8},
     }},
    {102, "DATA_INPUT_POINT", "KAVLIN_MODIFIER point input", 296, 179, 12,
     {
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
     }},
    {103, "DATA_INPUT_RECTANGLE", "KAVLIN_MODIFIER rectangle input", 296, 179, 12,
     {
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
     }},
    {106, "POLY", "Information", 329, 174, 12,
     {
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
     }},
    {107, "MODIFICATION", "Kind of modification", 334, 182, 12,
     {
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
     }},
    {119, "F_S_Box", "File selection", 376, 250, 10,
     {
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
     }},
};

const ExpectedDialog& expected_dialog(int32_t id) {
  for (const ExpectedDialog& d : kDialogs) {
    if (d.id == id) return d;
  }
  throw std::out_of_range("no expected dialog " + std::to_string(id));
}

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

// Kind, id, geometry, text, name, accessible name and alignment of every
// control, against the table above.
TEST_P(TemplateTest, EveryControlFollowsItsTemplate) {
  const ExpectedDialog& t = expected_dialog(GetParam());
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
    const ExpectedControl& c = t.controls[i];
    const std::string text = c.text;
    QWidget* w = ws[i];
    SCOPED_TRACE(std::string(t.name) + " control " + std::to_string(i) + " " + text + c.name);
    EXPECT_TRUE(kind_matches(c.kind, w));
    if (c.id != -1) {
      EXPECT_EQ(ui.control_widget(dialog, c.id), w);
    }
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
    EXPECT_EQ(shown_text(w).toStdString(), text);
    EXPECT_EQ(w->objectName().toStdString(), c.name);
    EXPECT_EQ(w->accessibleName().toStdString(), text.empty() ? std::string(c.name) : text);
    if (auto* label = qobject_cast<QLabel*>(w)) {
      const bool right = c.kind == ControlKind::StaticRight;
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
                           return std::string(expected_dialog(info.param).name);
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
