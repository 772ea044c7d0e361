// The file chooser on real widgets: mouse clicks on list entries, arrow
// keys in the directory list, Enter and Escape.
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "filesel/File_select.h"
#include "tests/gui_support.h"
#include "tests/test_support.h"
#include "ui/fixed_text.h"

namespace kavlin::testing {
namespace {

namespace fs = std::filesystem;

// The widgets of the running chooser, told apart by their places: the
// lists from left to right (drives, directories, files), the path labels
// the lowest two labels, the buttons by their texts.
struct Chooser {
  QDialog* dialog = nullptr;
  QListWidget* drives = nullptr;
  QListWidget* dirs = nullptr;
  QListWidget* files = nullptr;
  QLabel* dir_label = nullptr;
  QLabel* file_label = nullptr;
  QPushButton* back = nullptr;

  static Chooser find() {
    Chooser c;
    c.dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (c.dialog == nullptr) return c;
    auto lists = c.dialog->findChildren<QListWidget*>();
    std::sort(lists.begin(), lists.end(), [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
    if (lists.size() == 3) c.drives = lists[0], c.dirs = lists[1], c.files = lists[2];
    auto labels = c.dialog->findChildren<QLabel*>();
    std::sort(labels.begin(), labels.end(), [](QWidget* a, QWidget* b) {
      return a->y() != b->y() ? a->y() < b->y() : a->x() < b->x();
    });
    if (labels.size() >= 2) c.dir_label = labels[labels.size() - 2], c.file_label = labels.back();
    for (auto* b : c.dialog->findChildren<QPushButton*>()) {
      if (b->text() == "Back") c.back = b;
    }
    return c;
  }
  bool complete() const { return dialog && drives && dirs && files && dir_label && file_label && back; }
};

QStringList entries(const QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

// A click on the entry of `list` that shows `name`.
void click_entry(QListWidget* list, const QString& name) {
  const auto found = list->findItems(name, Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << name.toStdString();
  list->scrollToItem(found.front());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.front()).center());
}

//   C:\A\a.txt  C:\A\B\deep.txt  C:\DATA\AREA.TXT  C:\DATA\B.TXT
// and drive F, a dangling link.
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
  bool choose(std::function<void(Chooser&)> script) {
    QTimer::singleShot(0, [script] {
      Chooser c = Chooser::find();
      if (!c.complete()) {
        ADD_FAILURE() << "the chooser's widgets were not found";
        if (c.dialog) c.dialog->reject();
        return;
      }
      script(c);
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
  QStringList drives, root_dirs, data_files, labels;
  EXPECT_FALSE(choose([&](Chooser& c) {
    drives = entries(c.drives);
    click_entry(c.drives, "C");
    root_dirs = entries(c.dirs);
    click_entry(c.dirs, "DATA");
    data_files = entries(c.files);
    labels << c.dir_label->text() << c.file_label->text();
    click_entry(c.files, "AREA.TXT");
    QTest::keyClick(c.files, Qt::Key_Return);
  }));
  EXPECT_EQ(drives, (QStringList{"C", "F"}));
  EXPECT_EQ(root_dirs, (QStringList{"A", "DATA"}));
  EXPECT_EQ(data_files, (QStringList{"AREA.TXT", "B.TXT"}));
  EXPECT_EQ(labels, (QStringList{"C:\\DATA\\", "C:\\DATA\\"}));
  EXPECT_EQ(result(), "C:\\DATA\\AREA.TXT");
  EXPECT_EQ(values_.POLY_FILE_NAME.size(), PATH_LENGTH);
}

// An arrow key in the directory list enters the newly selected directory
// at once and refills both lists.
TEST_F(FileSelectGuiTest, ArrowKeyInTheDirectoryListEntersTheDirectory) {
  QStringList seen;
  EXPECT_TRUE(choose([&](Chooser& c) {
    click_entry(c.drives, "C");
    c.dirs->setFocus();
    QTest::keyClick(c.dirs, Qt::Key_Down);
    seen << c.dir_label->text() << entries(c.dirs).join(",") << entries(c.files).join(",");
    QTest::keyClick(c.dirs, Qt::Key_Down);
    seen << c.dir_label->text() << entries(c.dirs).join(",") << entries(c.files).join(",");
    QTest::mouseClick(c.back, Qt::LeftButton);
    seen << c.file_label->text();
    QTest::keyClick(c.dirs, Qt::Key_Escape);
  }));
  EXPECT_EQ(seen, (QStringList{"C:\\A\\", "B", "a.txt", "C:\\A\\B\\", "", "deep.txt", "C:\\A\\"}));
}

TEST_F(FileSelectGuiTest, EscapeCancels) {
  EXPECT_TRUE(choose([&](Chooser& c) {
    click_entry(c.drives, "C");
    click_entry(c.dirs, "DATA");
    click_entry(c.files, "B.TXT");
    QTest::keyClick(c.dialog, Qt::Key_Escape);
  }));
  EXPECT_EQ(result(), "C:\\DATA\\B.TXT");
}

TEST_F(FileSelectGuiTest, EnterWithoutAFileGivesBlanks) {
  EXPECT_FALSE(choose([&](Chooser& c) {
    click_entry(c.drives, "C");
    QTest::keyClick(c.dirs, Qt::Key_Enter);
  }));
  EXPECT_EQ(values_.POLY_FILE_NAME, std::string(PATH_LENGTH, ' '));
}

TEST_F(FileSelectGuiTest, DriveNotReadyLeavesTheListsAsTheyWere) {
  std::vector<std::string> boxes;
  ui.set_message_box_observer([&](QMessageBox& box) {
    boxes.push_back(box.windowTitle().toStdString() + ": " + box.text().toStdString());
    box.accept();
  });
  QStringList before, after;
  choose([&](Chooser& c) {
    click_entry(c.drives, "C");
    click_entry(c.dirs, "A");
    before << c.dir_label->text() << entries(c.dirs) << entries(c.files);
    click_entry(c.drives, "F");
    after << c.dir_label->text() << entries(c.dirs) << entries(c.files);
    QTest::keyClick(c.dialog, Qt::Key_Escape);
  });
  EXPECT_EQ(boxes, std::vector<std::string>{"Error: Drive not ready!"});
  EXPECT_EQ(before, (QStringList{"C:\\A\\", "B", "a.txt"}));
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace kavlin::testing
