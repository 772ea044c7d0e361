// The file chooser on real widgets: mouse clicks on list entries, arrow
// keys in the directory list, Back, Enter and Escape. What the chooser
// shows and refuses is checked on the fake (core_filesel.cpp).
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>

#include "filesel/File_select.h"
#include "tests/gui_support.h"
#include "tests/test_support.h"
#include "base/fixed_text.h"

namespace kavlin::testing {
namespace {

namespace fs = std::filesystem;

// The running chooser's widgets, found by their control names.
struct Chooser {
  QDialog* dialog;
  template <typename W>
  W* get(const char* name) const {
    return dialog->findChild<W*>(name);
  }
  QListWidget* list(const char* name) const { return get<QListWidget>(name); }
  QString label(const char* name) const { return get<QLabel>(name)->text(); }
  QString entries(const char* name) const {
    QStringList out;
    for (int i = 0; i < list(name)->count(); ++i) out << list(name)->item(i)->text();
    return out.join(",");
  }
  // A click on the entry that shows `entry`.
  void pick(const char* name, const QString& entry) const {
    QListWidget* l = list(name);
    const auto found = l->findItems(entry, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << entry.toStdString();
    QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualItemRect(found.front()).center());
  }
};

//   C:\A\a.txt  C:\A\B\deep.txt  C:\DATA\AREA.TXT  C:\DATA\B.TXT, drive F a
// dangling link.
class FileSelectGuiTest : public GuiTest {
 protected:
  FileSelectGuiTest() {
    fs::create_directories(c_ / "A" / "B");
    fs::create_directories(c_ / "DATA");
    fs::create_directory_symlink(tmp_ / "gone", tmp_ / "drives" / "f:");
    for (const fs::path& p : {c_ / "A" / "a.txt", c_ / "A" / "B" / "deep.txt", c_ / "DATA" / "AREA.TXT",
                              c_ / "DATA" / "B.TXT"}) {
      write_file(p, "1 2\n");
    }
  }

  // Runs the chooser; `script` acts on it once it is on the screen. A
  // chooser left open is closed after a few seconds and the test fails.
  bool choose(std::function<void(const Chooser&)> script) {
    QTimer::singleShot(0, [script] {
      auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) {
        ADD_FAILURE() << "no chooser";
        return;
      }
      script(Chooser{dialog});
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
      if (auto* w = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ADD_FAILURE() << "the chooser was still open";
        w->done(-99);
      }
    });
    watchdog.start(5000);
    bool cancelled = false;
    FILE_SELECT(ui, drive_files_, values_, state_, cancelled, "Select the file containing the polygons");
    return cancelled;
  }

  std::string result() const { return trim_right(values_.POLY_FILE_NAME); }

  TempDir tmp_;
  fs::path c_ = (fs::create_directories(tmp_ / "drives" / "c:"), tmp_ / "drives" / "c:");
  HostFileServices drive_files_{DriveTable((tmp_ / "drives").string())};
  ProgramValues values_;
  FileSelectState state_;
};

TEST_F(FileSelectGuiTest, ClicksOnDriveDirectoryAndFileThenEnter) {
  QStringList seen;
  EXPECT_FALSE(choose([&](const Chooser& c) {
    seen << c.entries("DRIVE_LISTBOX");
    c.pick("DRIVE_LISTBOX", "C");
    seen << c.entries("DIR_LISTBOX");
    c.pick("DIR_LISTBOX", "DATA");
    seen << c.entries("FILE_LISTBOX") << c.label("DIR_PATH_LABEL") << c.label("FILE_PATH_LABEL");
    c.pick("FILE_LISTBOX", "AREA.TXT");
    QTest::keyClick(c.list("FILE_LISTBOX"), Qt::Key_Return);
  }));
  EXPECT_EQ(seen, (QStringList{"C,F", "A,DATA", "AREA.TXT,B.TXT", "C:\\DATA\\", "C:\\DATA\\"}));
  EXPECT_EQ(values_.POLY_FILE_NAME, pad_field("C:\\DATA\\AREA.TXT", PATH_LENGTH));
}

// An arrow key in the directory list enters the newly selected directory
// at once and refills both lists; Back goes up again; Escape cancels.
TEST_F(FileSelectGuiTest, ArrowKeysEnterDirectoriesBackGoesUpEscapeCancels) {
  QStringList seen;
  EXPECT_TRUE(choose([&](const Chooser& c) {
    c.pick("DRIVE_LISTBOX", "C");
    c.list("DIR_LISTBOX")->setFocus();
    for (int i = 0; i < 2; ++i) {
      QTest::keyClick(c.list("DIR_LISTBOX"), Qt::Key_Down);
      seen << c.label("DIR_PATH_LABEL") << c.entries("DIR_LISTBOX") << c.entries("FILE_LISTBOX");
    }
    QTest::mouseClick(c.get<QPushButton>("BACK_BUTTON"), Qt::LeftButton);
    seen << c.label("FILE_PATH_LABEL");
    QTest::keyClick(c.list("DIR_LISTBOX"), Qt::Key_Escape);
  }));
  EXPECT_EQ(seen, (QStringList{"C:\\A\\", "B", "a.txt", "C:\\A\\B\\", "", "deep.txt", "C:\\A\\"}));
}

// Escape after a file was picked cancels but keeps the name; Enter without
// a file gives blanks.
TEST_F(FileSelectGuiTest, EscapeKeepsTheNameAndEnterWithoutAFileGivesBlanks) {
  EXPECT_TRUE(choose([&](const Chooser& c) {
    c.pick("DRIVE_LISTBOX", "C");
    c.pick("DIR_LISTBOX", "DATA");
    c.pick("FILE_LISTBOX", "B.TXT");
    QTest::keyClick(c.dialog, Qt::Key_Escape);
  }));
  EXPECT_EQ(result(), "C:\\DATA\\B.TXT");
  EXPECT_FALSE(choose([&](const Chooser& c) { QTest::keyClick(c.list("DIR_LISTBOX"), Qt::Key_Enter); }));
  EXPECT_EQ(values_.POLY_FILE_NAME, std::string(PATH_LENGTH, ' '));
}

}  // namespace
}  // namespace kavlin::testing
