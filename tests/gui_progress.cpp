// The progress display of a long modification: hidden for fast work,
// modal and without Cancel once the work has lasted half a second.
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>

#include "tests/gui_support.h"

namespace kavlin::testing {
namespace {

using ProgressTest = GuiTest;

TEST_F(ProgressTest, FastWorkShowsNothing) {
  for (int32_t done = 0; done <= 4; ++done) ui.SHOW_PROGRESS(done, 4);
  ASSERT_NE(ui.progress_dialog(), nullptr);
  EXPECT_FALSE(ui.progress_dialog()->isVisible());
  ui.END_PROGRESS();
  EXPECT_EQ(ui.progress_dialog(), nullptr);
}

TEST_F(ProgressTest, SlowWorkShowsWhichTileOfHowManyWithoutCancel) {
  // Half of the work took 600 ms: the rest will take as long, more than
  // the half second after which the display shows (a longer minimum
  // duration would keep it hidden here).
  ui.SHOW_PROGRESS(0, 2);
  QTest::qWait(600);
  ui.SHOW_PROGRESS(1, 2);
  QProgressDialog* shown = ui.progress_dialog();
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(shown->isVisible());
  EXPECT_TRUE(shown->isModal());
  EXPECT_EQ(shown->labelText(), "Modifying tile 2 of 2");
  EXPECT_EQ(shown->value(), 1);
  EXPECT_EQ(shown->findChild<QPushButton*>(), nullptr);
  // Escape and the close box do not end it.
  QTest::keyClick(shown, Qt::Key_Escape);
  shown->close();
  EXPECT_TRUE(shown->isVisible());
  ui.END_PROGRESS();
  EXPECT_EQ(ui.progress_dialog(), nullptr);
}

TEST_F(ProgressTest, WaitShowsItsTextUntilReadyAndNothingWhenReadyAtOnce) {
  int asked = 0;
  ui.WAIT_UNTIL("Waiting", [&] { return ++asked > 0; });
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ui.wait_dialog(), nullptr);

  // Ready on the fifth question; meanwhile the display shows the text, is
  // modal and offers no Cancel.
  asked = 0;
  bool seen = false;
  ui.WAIT_UNTIL("Another modification of the database is running. Waiting until it is done...", [&] {
    if (QProgressDialog* shown = ui.wait_dialog()) {
      seen = shown->isVisible() && shown->isModal() && shown->findChild<QPushButton*>() == nullptr &&
             shown->labelText() == "Another modification of the database is running. Waiting until it is done...";
      QTest::keyClick(shown, Qt::Key_Escape);  // does not end the wait
    }
    return ++asked >= 5;
  });
  EXPECT_EQ(asked, 5);
  EXPECT_TRUE(seen);
  EXPECT_EQ(ui.wait_dialog(), nullptr);
}

}  // namespace
}  // namespace kavlin::testing
