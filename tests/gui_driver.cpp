// The whole editor run on real widgets, driven as a user would: keys and
// clicks on the controls of each dialog as it comes up, on a temporary
// database. Every finished run must leave the tiles exactly as the engine
// leaves them for the same area.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/driver.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/test_support.h"
#include "tiles/engine.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin::testing {
namespace {

// The Qt services, except that the program stop comes back to the test.
class StoppableUi : public QtUiServices {
 public:
  using QtUiServices::QtUiServices;
  [[noreturn]] void STOP_PROGRAM(int32_t code) override { throw ProgramStopped{code}; }
};

// Acts on each modal dialog as it appears, in order, and answers every
// message box with OK after noting it.
class User {
 public:
  using Act = std::function<void(QWidget&)>;
  struct Step {
    QString caption;
    Act act;
  };

  explicit User(QtUiServices& ui) {
    ui.set_message_box_observer([this](QMessageBox& box) {
      messages.push_back({box.text().toStdString(), box.windowTitle().toStdString(), 0});
      QTest::mouseClick(box.buttons().front(), Qt::LeftButton);
    });
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    timer_.start(10);
  }

  std::deque<Step> steps;
  std::vector<ShownMessage> messages;
  std::vector<std::string> problems;

 private:
  void tick() {
    if (busy_) return;
    QWidget* w = QApplication::activeModalWidget();
    if (w == nullptr || !w->isVisible() || qobject_cast<QMessageBox*>(w) != nullptr ||
        w->property("kavlin_user_acted").toBool()) {
      return;
    }
    w->setProperty("kavlin_user_acted", true);
    if (steps.empty() || steps.front().caption != w->windowTitle()) {
      problems.push_back("unexpected dialog \"" + w->windowTitle().toStdString() + "\"");
      QTest::keyClick(w, Qt::Key_Escape);
      return;
    }
    const Step step = steps.front();
    steps.pop_front();
    busy_ = true;
    step.act(*w);
    busy_ = false;
  }

  QTimer timer_;
  bool busy_ = false;
};

QAbstractButton* button(QWidget& dialog, const QString& text) {
  for (auto* b : dialog.findChildren<QAbstractButton*>()) {
    if (b->text() == text) return b;
  }
  ADD_FAILURE() << "no button " << text.toStdString();
  return nullptr;
}

// Clicks a button; a radio button on its indicator, where a click counts.
User::Act press(const QString& text) {
  return [text](QWidget& d) {
    QAbstractButton* b = button(d, text);
    if (b == nullptr) return;
    QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(std::min(8, b->width() - 1), b->height() / 2));
  };
}

// Names of the files that differ between two snapshots of the database.
std::vector<std::string> differing(const std::map<std::string, std::string>& a,
                                   const std::map<std::string, std::string>& b) {
  std::vector<std::string> out;
  for (const auto& [path, bytes] : a) {
    const auto other = b.find(path);
    if (other == b.end() || other->second != bytes) out.push_back(path);
  }
  for (const auto& [path, bytes] : b) {
    if (a.find(path) == a.end()) out.push_back(path);
  }
  return out;
}

// Types into the named fields, then clicks the button.
User::Act fill(std::vector<std::pair<const char*, const char*>> fields, const QString& ok) {
  return [fields, ok](QWidget& d) {
    for (const auto& [name, text] : fields) {
      auto* edit = d.findChild<QLineEdit*>(name);
      if (edit == nullptr) {
        ADD_FAILURE() << "no field " << name;
        continue;
      }
      QTest::keyClicks(edit, text);
    }
    press(ok)(d);
  };
}

// Clicks the list entry with that text.
void pick(QWidget& d, const char* list_name, const QString& entry) {
  auto* list = d.findChild<QListWidget*>(list_name);
  ASSERT_NE(list, nullptr) << list_name;
  const auto found = list->findItems(entry, Qt::MatchExactly);
  ASSERT_EQ(found.size(), 1) << entry.toStdString();
  const QRect rect = list->visualItemRect(found.front());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

// Picks the polygon mode in the selection dialog and confirms it.
User::Act polygon_mode() {
  return [](QWidget& d) {
    press("Modify an closed area defined by polygons layed down in a text file")(d);
    press("OK")(d);
  };
}

// Walks the chooser to C:\POLY\<name> with clicks, then ends it with `end`.
User::Act choose_file(const QString& name, const User::Act& end) {
  return [name, end](QWidget& d) {
    pick(d, "DRIVE_LISTBOX", "C");
    pick(d, "DIR_LISTBOX", "POLY");
    pick(d, "FILE_LISTBOX", name);
    end(d);
  };
}

const QString kSelection = "KAVLIN_MODIFIER selection";
const QString kPoint = "KAVLIN_MODIFIER point input";
const QString kRectangle = "KAVLIN_MODIFIER rectangle input";
const QString kInformation = "Information";
const QString kChooser = "File selection";
const QString kKind = "Kind of modification";

class DriverGui : public ::testing::Test {
 protected:
  DriverGui() : files(DriveTable::from_environment()), ui(window, files), user(ui) {
    for (int lon = 6; lon <= 7; ++lon) {
      for (int lat = 49; lat <= 50; ++lat) db.make_tile(lon, lat);
    }
    values.VERSION_TEXT = " 1.01";
    values.DRIVE_LETTER = 'C';
    window.show();
  }

  // Runs the editor's dialog sequence; the stop code when it ended the
  // program, nothing when it returned after a finished modification.
  // A dialog that stays open long after the user acted (a key or click
  // that did nothing) is ended by force and the run counts as failed, so a
  // broken dialog fails the test instead of hanging it.
  std::optional<int32_t> run(std::deque<User::Step> steps) {
    user.steps = std::move(steps);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [this] {
      if (auto* stuck = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        user.problems.push_back("dialog \"" + stuck->windowTitle().toStdString() + "\" did not end");
        stuck->done(IDCANCEL);
      }
    });
    watchdog.start(10000);
    try {
      MODIFICATION_DRIVER(ui, files, values);
    } catch (const ProgramStopped& stop) {
      return stop.code;
    }
    return std::nullopt;
  }

  // The database as the engine alone leaves it for the same area and kind.
  std::map<std::string, std::string> engine_result(const std::map<std::string, std::string>& before) {
    const auto after = db.snapshot();
    for (const auto& [path, bytes] : before) write_file(db.drive_root() / path, bytes);
    HostFileServices own(DriveTable::from_environment());
    const EngineResult r = apply_modification(own, 'C', values.AREA, values.MOD_KIND);
    EXPECT_EQ(r.outcome, EngineOutcome::Done);
    auto expected = db.snapshot();
    for (const auto& [path, bytes] : after) write_file(db.drive_root() / path, bytes);
    return expected;
  }

  TileDb db;
  MainWindow window;
  HostFileServices files;
  StoppableUi ui;
  User user;
  ProgramValues values;
};

const ShownMessage kDone{"All modifications are done!", "Info", 0};

const User::Act rectangle_mode = [](QWidget& d) {
  press("Modify a rectangle")(d);
  press("OK")(d);
};

// Finished runs leave the tiles as the engine does; a polygon file that
// cannot be read ends the run with the reader's message.
TEST_F(DriverGui, WholeRuns) {
  std::filesystem::create_directories(db.drive_root() / "POLY");
  write_file(db.drive_root() / "POLY" / "AREA.TXT", "6.9 49.9\n7.2 49.95\n7.1 50.2\n6.9 49.9\n");
  write_file(db.drive_root() / "POLY" / "BAD.TXT", "6.9 49.9\n7.2\n");
  struct Case {
    const char* name;
    std::deque<User::Step> steps;
    int32_t mod_kind;  // 0: the run ends with the message below
    int32_t vertices;
    ShownMessage message;
  };
  const Case cases[] = {
      {"point",
       {{kSelection, press("OK")},
        {kPoint, fill({{"LON1_DEG", "7"}, {"LON1_EW", "e"}, {"LON1_MIN", "0"}, {"LON1_SEC", "6"}, {"LAT1_DEG", "50"},
                       {"LAT1_NS", "n"}},
                      "OK")},
        {kKind,
         [](QWidget& d) {
           press("Set to 'town'")(d);
           QTest::keyClick(&d, Qt::Key_Return);
         }}},
       7, 1, kDone},
      {"rectangle across the six-second seam",
       {{kSelection, rectangle_mode},
        {kRectangle, fill({{"LON1_DEG", "6"}, {"LON1_MIN", "50"}, {"LAT1_DEG", "50"}, {"LAT1_MIN", "10"},
                           {"LON2_DEG", "7"}, {"LON2_MIN", "10"}, {"LAT2_DEG", "49"}, {"LAT2_MIN", "50"}},
                          "OK")},
        {kKind, press("OK")}},
       1, 5, kDone},
      {"polygon",
       {{kSelection, polygon_mode()},
        {kInformation, press("OK")},
        {kChooser, choose_file("AREA.TXT", press("OK"))},
        {kKind,
         [](QWidget& d) {
           press("Clear 'trees'")(d);
           press("OK")(d);
         }}},
       10, 4, kDone},
      {"bad polygon file",
       {{kSelection, polygon_mode()},
        {kInformation, press("OK")},
        {kChooser, choose_file("BAD.TXT", [](QWidget& d) { QTest::keyClick(&d, Qt::Key_Return); })}},
       0, 0, {"Error reading file. Wrong format.", "Error", 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    user.messages.clear();
    values.MOD_KIND = 0;
    const auto before = db.snapshot();
    const auto stopped = run(c.steps);
    EXPECT_TRUE(user.problems.empty()) << user.problems.front();
    EXPECT_EQ(user.messages, std::vector<ShownMessage>{c.message});
    const auto after = db.snapshot();
    if (c.mod_kind == 0) {
      EXPECT_EQ(stopped, 0);
      EXPECT_EQ(differing(after, before), std::vector<std::string>{});
      continue;
    }
    EXPECT_FALSE(stopped.has_value());
    EXPECT_EQ(values.MOD_KIND, c.mod_kind);
    EXPECT_EQ(values.AREA.NREC, c.vertices);
    EXPECT_FALSE(differing(after, before).empty());
    EXPECT_EQ(differing(after, engine_result(before)), std::vector<std::string>{});
  }
}

// Cancel, Escape or the close box in any dialog, the information box
// included, ends the run silently and leaves every byte as it was.
TEST_F(DriverGui, CancelInEachDialog) {
  const User::Act escape = [](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); };
  const User::Act close_box = [](QWidget& d) { d.close(); };
  const std::vector<std::deque<User::Step>> paths = {
      {{kSelection, press("Cancel")}},
      {{kSelection, press("OK")}, {kPoint, escape}},
      {{kSelection, rectangle_mode}, {kRectangle, close_box}},
      {{kSelection, polygon_mode()}, {kInformation, press("Cancel")}},
      {{kSelection, polygon_mode()}, {kInformation, press("OK")}, {kChooser, press("Cancel")}},
      {{kSelection, press("OK")}, {kPoint, fill({{"LON1_DEG", "7"}, {"LAT1_DEG", "49"}}, "OK")}, {kKind, press("Cancel")}},
  };
  const auto before = db.snapshot();
  for (std::size_t p = 0; p < paths.size(); ++p) {
    EXPECT_EQ(run(paths[p]), 0) << p;
    EXPECT_TRUE(user.steps.empty()) << p;
    EXPECT_TRUE(user.problems.empty()) << p;
    EXPECT_TRUE(user.messages.empty()) << p;
    EXPECT_EQ(differing(db.snapshot(), before), std::vector<std::string>{}) << p;
  }
}

}  // namespace
}  // namespace kavlin::testing
