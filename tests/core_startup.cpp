// Start-up: the window and menus the user gets, the screen check and the
// drive letter from DRIVE.DAT.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tiles/tile_files.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::ShownMessage;
using testing::ScopedCwd;
using testing::TempDir;

// One start-up in a fresh working folder on the fake window and host
// files that remember which text files were opened.
struct StartupRun {
  StartupRun() { files.log_calls(testing::call::OPEN_TEXT_FILE); }
  TempDir dir;
  FakeUiServices ui;
  testing::FaultFiles files{DriveTable("/nonexistent-kavlin-drives")};
  ProgramValues values;
  void write_drive_file(const std::string& content) { testing::write_file(dir / "DRIVE.DAT", content); }
  // KAVLIN_STARTUP with `dir` as the working folder.
  void run() {
    ScopedCwd cwd(dir.path());
    KAVLIN_STARTUP(ui, files, values);
  }
};

const ShownMessage kOpenError{"Error opening DRIVE.DAT. Drive 'C' is used.", "Info", 0};
const ShownMessage kReadError{"Error reading DRIVE.DAT. Drive 'C' is used.", "Info", 0};
const ShownMessage kResolution{"This program requires at least a 800 x 600 pixels screen!", "Resolution", 0};

TEST(Startup, VersionText) {
  EXPECT_EQ(version_text(PROGRAM_VERSION), " 1.01");
  EXPECT_EQ(version_text(12.5f), "12.50");
  // Too wide for five characters.
  EXPECT_EQ(version_text(123.0f), "??.??");
  EXPECT_EQ(version_text(-12.5f), "??.??");
}

TEST(Startup, AboutTextHasFourLines) {
  const std::string text = about_text();
  EXPECT_EQ(text.rfind("KAVLIN_MODIFIER program by\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_LE(text.size(), 512u);
  EXPECT_NE(text.back(), '\n');
}

// What the user has in front of them once the start-up is done, put
// together from the window calls it made: the menu bar (a menu 0 item is a
// title, deleting it deletes the whole menu), and the window's last title,
// sizes, font, cursor, colours and close mode.
struct Screen {
  struct Item {
    std::string text;
    std::string action;
    std::vector<Item> items;
    bool operator==(const Item&) const = default;
  };
  std::vector<Item> menu_bar;
  std::map<std::string, std::string> window;  // call name -> its last arguments
  bool cleared_after_colours = false;
};

Screen screen_of(const FakeUiServices& ui) {
  Screen screen;
  bool coloured = false;
  for (const std::string& call : ui.calls) {
    std::istringstream in(call);
    std::string name;
    in >> name;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (name == "MENU_DELETE" || name == "MENU_INSERT") {
      std::size_t menu = 0, item = 0;
      int flags = 0, action = 0;
      std::istringstream args(rest);
      args >> menu >> item;
      auto& bar = screen.menu_bar;
      if (name == "MENU_DELETE") {
        if (menu < 1 || menu > bar.size()) continue;
        if (item == 0) {
          bar.erase(bar.begin() + static_cast<std::ptrdiff_t>(menu - 1));
        } else if (item <= bar[menu - 1].items.size()) {
          bar[menu - 1].items.erase(bar[menu - 1].items.begin() + static_cast<std::ptrdiff_t>(item - 1));
        }
        continue;
      }
      args >> flags;
      std::string text;
      std::getline(args >> std::ws, text);
      const std::size_t last = text.rfind(' ');
      action = std::stoi(text.substr(last + 1));
      text.resize(last);
      const char* actions[] = {"none", "exit", "print", "save", "about"};
      Screen::Item entry{text + (flags == MENU_ENABLED ? "" : " (disabled)"), actions[action], {}};
      auto& list = item == 0 ? bar : bar.at(menu - 1).items;
      const std::size_t at = std::min(item == 0 ? menu - 1 : item - 1, list.size());
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), entry);
      continue;
    }
    if (name == "SET_TEXT_RGB" || name == "SET_BACKGROUND_RGB") coloured = true;
    if (name == "CLEAR_WINDOW") screen.cleared_after_colours = coloured;
    if (name == "SET_WINDOW_SIZE") {
      name += " " + rest.substr(0, rest.find(' '));
      rest = rest.substr(rest.find(' ') + 1);
    }
    screen.window[name] = rest;
  }
  return screen;
}

TEST(Startup, ShowsTheProgramsWindowAndMenus) {
  StartupRun start;
  start.write_drive_file("D\n");
  start.run();
  const auto& [dir, ui, files, values] = start;
  const Screen screen = screen_of(ui);

  const std::vector<Screen::Item> menus{
      {"Exit Program", "exit", {}},
      {"Screen", "none", {{"Print screen", "print", {}}, {"Save screen as", "save", {}}}},
      {"About", "about", {}},
  };
  EXPECT_EQ(screen.menu_bar, menus);
  const std::map<std::string, std::string> window{
      {"SET_EXIT_MODE", "2"},  // closes without asking
      {"SET_WINDOW_CONFIG", "KAVLIN_MODIFIER program"},
      {"SET_WINDOW_SIZE frame", "2"},  // maximised
      {"SET_WINDOW_SIZE text", "2"},
      {"INIT_FONTS", ""},
      {"SELECT_FONT", "t'MS Sans Serif'H24w18eb"},
      {"SET_TEXT_CURSOR", "0"},  // no cursor
      {"SET_ABOUT_TEXT", ""},
      {"SET_TEXT_RGB", "0"},  // black on white
      {"SET_BACKGROUND_RGB", "16777215"},
      {"CLEAR_WINDOW", "0"},
  };
  EXPECT_EQ(screen.window, window);
  EXPECT_TRUE(screen.cleared_after_colours);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(ui.about_text, about_text());
  EXPECT_EQ(values.VERSION_TEXT, " 1.01");
  EXPECT_EQ(values.DRIVE_LETTER, 'D');
  EXPECT_EQ(files.paths(testing::call::OPEN_TEXT_FILE), std::vector<std::string>{"DRIVE.DAT"});
  EXPECT_EQ(files.open_count(), 0u);
}

struct ScreenCase {
  int32_t width;
  int32_t height;
  bool passes;
};

class ScreenCheck : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenCheck, ThresholdsAre776By576) {
  const ScreenCase c = GetParam();
  StartupRun start;
  start.write_drive_file("E\n");
  auto& [dir, ui, files, values] = start;
  ui.reported_window.numxpixels = c.width;
  ui.reported_window.numypixels = c.height;
  if (c.passes) {
    start.run();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(values.DRIVE_LETTER, 'E');
  } else {
    try {
      start.run();
      FAIL() << "the start-up went on with a " << c.width << " x " << c.height << " window";
    } catch (const ProgramStopped& stop) {
      EXPECT_EQ(stop.code, 0);
    }
    EXPECT_EQ(ui.messages, std::vector<ShownMessage>{kResolution});
    // The stop comes right after the window set-up; DRIVE.DAT is untouched.
    ASSERT_GE(ui.calls.size(), 2u);
    EXPECT_EQ(ui.calls[ui.calls.size() - 2], "CLEAR_WINDOW 0");
    EXPECT_EQ(ui.calls.back(), "STOP_PROGRAM 0");
    EXPECT_TRUE(files.paths(testing::call::OPEN_TEXT_FILE).empty());
    EXPECT_EQ(values.DRIVE_LETTER, 'C');
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScreenCheck,
                         ::testing::Values(ScreenCase{776, 576, true}, ScreenCase{800, 600, true},
                                           ScreenCase{1920, 1080, true}, ScreenCase{775, 576, false},
                                           ScreenCase{776, 575, false}, ScreenCase{775, 575, false},
                                           ScreenCase{640, 480, false}));

struct DriveCase {
  const char* name;
  std::optional<std::string> content;  // nothing: no DRIVE.DAT at all
  char letter;
  std::vector<ShownMessage> messages;
};

class DriveFile : public ::testing::TestWithParam<DriveCase> {};

TEST_P(DriveFile, FirstCharacterOfFirstLine) {
  const DriveCase& c = GetParam();
  StartupRun start;
  if (c.content) start.write_drive_file(*c.content);
  start.run();
  EXPECT_EQ(start.values.DRIVE_LETTER, c.letter);
  EXPECT_EQ(start.ui.messages, c.messages);
  EXPECT_EQ(start.files.open_count(), 0u) << "DRIVE.DAT left open";
}

INSTANTIATE_TEST_SUITE_P(
    Contents, DriveFile,
    ::testing::Values(
        DriveCase{"DriveWithColonAndBackslash", std::string("E:\\\n"), 'E', {}},
        DriveCase{"LowerCaseKept", std::string("d\n"), 'd', {}},
        DriveCase{"NoLineEnd", std::string("F"), 'F', {}},
        DriveCase{"CrLf", std::string("G\r\nH\r\n"), 'G', {}},
        DriveCase{"OnlyFirstLineCounts", std::string("\nD\n"), ' ', {}},
        DriveCase{"LeadingBlankTakenUnchanged", std::string(" X\n"), ' ', {}},
        DriveCase{"BinaryGarbage", std::string("\xFF\x01\x00zz", 5), '\xFF', {}},
        DriveCase{"EmptyFileIsAReadError", std::string(), 'C', {kReadError}},
        DriveCase{"MissingFileIsAnOpenError", std::nullopt, 'C', {kOpenError}}),
    [](const ::testing::TestParamInfo<DriveCase>& info) { return std::string(info.param.name); });

TEST(DriveFileFolder, FolderNamedDriveDatIsAnOpenError) {
  StartupRun start;
  std::filesystem::create_directory(start.dir / "DRIVE.DAT");
  start.run();
  EXPECT_EQ(start.values.DRIVE_LETTER, 'C');
  EXPECT_EQ(start.ui.messages, std::vector<ShownMessage>{kOpenError});
}

TEST(DriveFileFolder, LowerCaseLetterReachesTilePaths) {
  StartupRun start;
  start.write_drive_file("d\n");
  start.run();
  EXPECT_EQ(TILE_PATH(start.values.DRIVE_LETTER, "E006N49.33M"), "d:\\KAVLIN\\E006\\E006N49.33M");
}

}  // namespace
}  // namespace kavlin
