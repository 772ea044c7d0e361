// MANAGEINPUT on real widgets: keys typed into the coordinate fields, the
// message boxes they raise and a whole point entry. The messages and
// captions of every field are checked on the fake (core_coords.cpp).
#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "coords/MANAGEINPUT.h"
#include "tests/gui_support.h"
#include "base/dialog_templates.h"

namespace kavlin::testing {
namespace {

struct SeenBox {
  std::string text;
  std::string caption;
  QStringList buttons;
};

class CoordsGuiTest : public GuiTest {
 protected:
  void open(int32_t template_id) {
    ASSERT_TRUE(ui.DIALOG_INIT(template_id, dialog));
    for (const ControlTemplate& c : find_template(template_id)->controls) {
      if (c.id >= 1000 && c.id != VERSION_LABEL) ui.DIALOG_SET_CALLBACK(dialog, c.id, manageinput_callback(ui, values));
    }
    // Every box is read and answered with its first button.
    ui.set_message_box_observer([this](QMessageBox& box) {
      SeenBox seen{box.text().toStdString(), box.windowTitle().toStdString(), {}};
      for (QAbstractButton* b : box.buttons()) seen.buttons << b->text();
      boxes.push_back(seen);
      if (!box.buttons().isEmpty()) QTest::mouseClick(box.buttons().front(), Qt::LeftButton);
    });
  }
  void TearDown() override {
    ui.set_message_box_observer({});
    if (dialog.state) ui.DIALOG_RELEASE(dialog);
  }

  QLineEdit* edit(int32_t id) { return qobject_cast<QLineEdit*>(ui.control_widget(dialog, id)); }
  QAbstractButton* button(int32_t id) { return qobject_cast<QAbstractButton*>(ui.control_widget(dialog, id)); }
  void click(int32_t id) {
    QAbstractButton* b = button(id);
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(4, b->height() / 2));
  }

  ProgramValues values;
  Dialog dialog;
  std::vector<SeenBox> boxes;
};

// One box with an OK button; the field is written back without firing
// its handler again (that would show a second box).
TEST_F(CoordsGuiTest, WrongKeyShowsOneBoxAndTheFieldIsWrittenBack) {
  const std::tuple<int32_t, const char*, const char*, const char*, const char*> cases[] = {
      {LON1_DEG, "1234", "Only 3 numbers are permissible!", "Longitude degrees", "123"},
      {LON1_EW, "ew", "Only one letter is permissible!", "Co-ordinates E/W", "E"},
  };
  for (const auto& [id, keys, message, caption, after] : cases) {
    boxes.clear();
    open(DATA_INPUT_POINT);
    QString shown;
    const int32_t result = run(dialog, [&](QDialog&) {
      QTest::keyClicks(edit(id), keys);
      QTest::qWait(20);
      shown = edit(id)->text();
      click(IDCANCEL);
    });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_EQ(boxes.size(), 1u) << keys;
    EXPECT_EQ(boxes[0].text, message);
    EXPECT_EQ(boxes[0].caption, caption);
    EXPECT_EQ(boxes[0].buttons, QStringList{"OK"});
    EXPECT_EQ(shown.toStdString(), after);
    ui.DIALOG_RELEASE(dialog);
  }
}

TEST_F(CoordsGuiTest, TypedPointEntryClosesWithOne) {
  open(DATA_INPUT_POINT);
  values.LON2 = 333.0;
  const std::vector<std::pair<int32_t, const char*>> keys{
      {LON1_DEG, "7"}, {LON1_EW, "w"}, {LON1_MIN, "30"}, {LON1_SEC, "0"},
      {LAT1_DEG, "45"}, {LAT1_NS, "s"}, {LAT1_MIN, "15"}, {LAT1_SEC, "36"},
  };
  bool open_after_refusal = false;
  const int32_t result = run(dialog, [&](QDialog& w) {
    click(POINT_OK);  // nothing entered yet: refused, the dialog stays
    open_after_refusal = w.isVisible();
    for (const auto& [id, text] : keys) QTest::keyClicks(edit(id), text);
    click(POINT_OK);
  });
  EXPECT_TRUE(open_after_refusal);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Longitude (degrees) is missing!");
  EXPECT_EQ(boxes[0].caption, "Co-ordinates are missing");
  EXPECT_EQ(values.LON1, -7.5);
  EXPECT_EQ(values.LAT1, -45.26);
  EXPECT_EQ(values.LON2, 333.0);
  EXPECT_EQ(edit(LAT1_NS)->text(), "S");
}

}  // namespace
}  // namespace kavlin::testing
