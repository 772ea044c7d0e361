// The file chooser on the scripted fake, over a temporary drive table.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "filesel/File_select.h"
#include "tests/fake_ui_services.h"
#include "tests/test_support.h"
#include "base/dialog_templates.h"
#include "base/fixed_text.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using kavlin::testing::FakeUiServices;
using kavlin::testing::ProgramStopped;
using kavlin::testing::ShownMessage;
using kavlin::testing::TempDir;
using kavlin::testing::write_file;
using Names = std::vector<std::string>;

const std::string kTitle = "Select the file containing the polygons";

// What the dialog shows.
struct View {
  std::string dir_label;
  std::string file_label;
  Names drives;
  Names dirs;
  Names files;
  bool operator==(const View&) const = default;
};

// Drive C is a folder of the drives folder, D a link to a folder elsewhere,
// F a dangling link (a drive that is not ready).
//   C:\.hidden  C:\NODOT  C:\.hiddendir\  C:\A\a.txt  C:\A\B\deep.txt
//   C:\DATA\AREA.TXT  C:\DATA\B.TXT  C:\DATA\LONGNAME.TXT  C:\DATA\SUB\X.TXT
//   D:\POLY\P.TXT
class FileSelectTest : public ::testing::Test {
 protected:
  FileSelectTest() {
    fs::create_directories(c_ / "DATA" / "SUB");
    fs::create_directories(c_ / "A" / "B");
    fs::create_directories(c_ / ".hiddendir");
    fs::create_directories(tmp_ / "other" / "POLY");
    fs::create_directory_symlink(tmp_ / "other", drives_ / "D:");
    fs::create_directory_symlink(tmp_ / "gone", drives_ / "f:");
    for (const fs::path& p : {c_ / ".hidden", c_ / "NODOT", c_ / "A" / "a.txt", c_ / "A" / "B" / "deep.txt",
                              c_ / "DATA" / "AREA.TXT", c_ / "DATA" / "B.TXT", c_ / "DATA" / "LONGNAME.TXT",
                              c_ / "DATA" / "SUB" / "X.TXT", tmp_ / "other" / "POLY" / "P.TXT"}) {
      write_file(p, "1 2\n");
    }
  }

  View view(FakeUiServices& f, Dialog& d) {
    return {f.control(d, DIR_PATH_LABEL).text, f.control(d, FILE_PATH_LABEL).text,
            f.control(d, DRIVE_LISTBOX).items, f.control(d, DIR_LISTBOX).items, f.control(d, FILE_LISTBOX).items};
  }

  // Selects the entry of a list that shows `name`.
  static void pick(FakeUiServices& f, Dialog& d, int32_t control, const std::string& name) {
    const Names& items = f.control(d, control).items;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i] == name) {
        f.select(d, control, static_cast<int>(i + 1));
        return;
      }
    }
    throw std::logic_error("no entry " + name + " in list " + std::to_string(control));
  }

  // One user action: "drive C", "dir DATA", "file AREA.TXT", "back",
  // "ok", "cancel", "escape", "rm DATA" (removes C:\DATA behind the
  // chooser's back), "raw 1005" (the handler called with that id).
  void act(FakeUiServices& f, Dialog& d, const std::string& action) {
    const std::size_t space = action.find(' ');
    const std::string verb = action.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : action.substr(space + 1);
    if (verb == "drive") {
      pick(f, d, DRIVE_LISTBOX, arg);
    } else if (verb == "dir") {
      pick(f, d, DIR_LISTBOX, arg);
    } else if (verb == "file") {
      pick(f, d, FILE_LISTBOX, arg);
    } else if (verb == "back") {
      f.click(d, BACK_BUTTON);
    } else if (verb == "ok") {
      f.click(d, IDOK);
    } else if (verb == "cancel") {
      f.click(d, IDCANCEL);
    } else if (verb == "escape") {
      f.escape(d);
    } else if (verb == "rm") {
      fs::remove_all(c_ / arg);
    } else if (verb == "raw") {
      MANAGE_F_S_INPUT(f, files_, state_, d, std::stoi(arg), CALLBACK_CLICKED);
    } else {
      throw std::logic_error("unknown action " + action);
    }
  }

  // One call of the chooser with the user's actions; views_ holds what the
  // dialog showed when it opened and after each action that left it open,
  // states_ the chooser's state at the same moments.
  bool choose(const Names& actions) {
    views_.clear();
    states_.clear();
    ui_.dialog_scripts.push_back([this, actions](FakeUiServices& f, Dialog& d) -> std::optional<int32_t> {
      EXPECT_EQ(f.control(d, TITLE_LABEL).text, kTitle);
      views_.push_back(view(f, d));
      states_.push_back(state_);
      for (const std::string& action : actions) {
        act(f, d, action);
        views_.push_back(view(f, d));
        states_.push_back(state_);
      }
      return std::nullopt;
    });
    bool cancelled = true;
    FILE_SELECT(ui_, files_, values_, state_, cancelled, kTitle);
    EXPECT_TRUE(ui_.dialog_scripts.empty());
    EXPECT_EQ(text_chars(values_.POLY_FILE_NAME), PATH_LENGTH);
    return cancelled;
  }

  std::string result() const { return trim_right(values_.POLY_FILE_NAME); }

  TempDir tmp_;
  fs::path drives_ = (fs::create_directories(tmp_ / "drives" / "c:"), tmp_ / "drives");
  fs::path c_ = drives_ / "c:";
  HostFileServices files_{DriveTable(drives_.string())};
  FakeUiServices ui_;
  ProgramValues values_;
  FileSelectState state_;
  std::vector<View> views_;
  std::vector<FileSelectState> states_;
};

const Names kDrives{"C", "D", "F"};

TEST_F(FileSelectTest, FirstCallShowsOnlyTheDrives) {
  values_.POLY_FILE_NAME = pad_field("C:\\OLD.TXT", PATH_LENGTH);
  EXPECT_FALSE(choose({"back", "raw 1005", "raw 1", "ok"}));
  const View empty{"", "", kDrives, {}, {}};
  ASSERT_EQ(views_.size(), 5u);
  for (const View& v : views_) EXPECT_EQ(v, empty);
  EXPECT_EQ(values_.POLY_FILE_NAME, std::string(PATH_LENGTH, ' '));
  EXPECT_EQ(trim_right(state_.CURRENT_DIR), "");
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(FileSelectTest, ListsHiddenEntriesAndNoDots) {
  choose({"drive C", "ok"});
  EXPECT_EQ(views_.back(), (View{"C:\\", "C:\\", kDrives, {".hiddendir", "A", "DATA"}, {".hidden", "NODOT"}}));
}

// Each case starts afresh: no directory, no file. "raw" ids (the list of
// a path label, a label) are ignored.
TEST_F(FileSelectTest, NavigationGivesThePathOfTheChosenFile) {
  const std::tuple<Names, std::string, bool> cases[] = {  // actions, result, cancelled
      {{"drive C", "dir DATA", "file AREA.TXT", "ok"}, "C:\\DATA\\AREA.TXT", false},
      {{"drive C", "dir DATA", "file AREA.TXT", "dir SUB", "ok"}, "", false},
      {{"drive C", "dir DATA", "file LONGNAME.TXT", "file B.TXT", "ok"}, "C:\\DATA\\B.TXT", false},
      {{"drive C", "dir DATA", "file AREA.TXT", "back", "ok"}, "", false},
      {{"drive C", "dir DATA", "file AREA.TXT", "drive C", "ok"}, "", false},
      {{"drive C", "dir DATA", "file AREA.TXT", "cancel"}, "C:\\DATA\\AREA.TXT", true},
      {{"drive C", "dir DATA", "escape"}, "", true},
      {{"drive D", "dir POLY", "file P.TXT", "ok"}, "D:\\POLY\\P.TXT", false},
      {{"drive C", "dir DATA", "dir SUB", "file X.TXT", "ok"}, "C:\\DATA\\SUB\\X.TXT", false},
      {{"drive C", "dir DATA", "back", "dir A", "dir B", "file deep.txt", "ok"}, "C:\\A\\B\\deep.txt", false},
      {{"drive C", "dir A", "file a.txt", "raw 1005", "raw 1003", "ok"}, "C:\\A\\a.txt", false}};
  const fs::path cwd = fs::current_path();
  for (const auto& [actions, path, cancelled] : cases) {
    SCOPED_TRACE(actions[actions.size() - 2] + " " + path);
    state_ = FileSelectState{};
    EXPECT_EQ(choose(actions), cancelled);
    EXPECT_EQ(values_.POLY_FILE_NAME, pad_field(path, PATH_LENGTH));
  }
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(fs::current_path(), cwd);
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(FileSelectTest, SecondCallOpensWhereTheFirstWasLeft) {
  choose({"drive C", "dir DATA", "file AREA.TXT", "ok"});
  ASSERT_EQ(result(), "C:\\DATA\\AREA.TXT");
  const View data{"C:\\DATA\\", "C:\\DATA\\", kDrives, {"SUB"}, {"AREA.TXT", "B.TXT", "LONGNAME.TXT"}};
  // No file is chosen at the start of a call.
  EXPECT_FALSE(choose({"ok"}));
  EXPECT_EQ(views_.front(), data);
  EXPECT_EQ(result(), "");
  // The directory part is the reopened directory.
  write_file(c_ / "DATA" / "NEW.TXT", "");
  EXPECT_FALSE(choose({"file NEW.TXT", "ok"}));
  EXPECT_EQ(result(), "C:\\DATA\\NEW.TXT");
  EXPECT_TRUE(ui_.messages.empty());
}

// The driver's call keeps its state in the run's one instance.
TEST_F(FileSelectTest, TheRunKeepsOneState) {
  file_select_state() = FileSelectState{};
  bool cancelled = true;
  ui_.dialog_scripts.push_back([](FakeUiServices& f, Dialog& d) -> std::optional<int32_t> {
    pick(f, d, DRIVE_LISTBOX, "C");
    pick(f, d, DIR_LISTBOX, "A");
    f.click(d, IDOK);
    return std::nullopt;
  });
  Names opened;
  ui_.dialog_scripts.push_back([&](FakeUiServices& f, Dialog& d) -> std::optional<int32_t> {
    opened = f.control(d, DIR_LISTBOX).items;
    opened.push_back(f.control(d, DIR_PATH_LABEL).text);
    return 2;  // the close box
  });
  FILE_SELECT(ui_, files_, values_, cancelled, kTitle);
  EXPECT_FALSE(cancelled);
  FILE_SELECT(ui_, files_, values_, cancelled, kTitle);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(opened, (Names{"B", "C:\\A\\"}));
  EXPECT_EQ(trim_right(file_select_state().CURRENT_DIR), "C:\\A\\");
  file_select_state() = FileSelectState{};
}

TEST_F(FileSelectTest, BackGoesUpToTheParentAndFromARootToNothing) {
  EXPECT_FALSE(choose({"drive C", "dir A", "dir B", "back", "back", "back", "back", "ok"}));
  ASSERT_EQ(views_.size(), 9u);
  EXPECT_EQ(views_[4], (View{"C:\\A\\", "C:\\A\\", kDrives, {"B"}, {"a.txt"}}));
  EXPECT_EQ(views_[5], views_[1]);  // C:\ again
  EXPECT_EQ(views_[6], (View{"", "", kDrives, {}, {}}));
  EXPECT_EQ(views_[7], views_[6]);
  EXPECT_EQ(states_[6].SELECTED_LEN, 0);
  EXPECT_EQ(states_[6].SELECTED_PATH, std::string(PATH_LENGTH, ' '));
  EXPECT_EQ(states_[6].CURRENT_DIR, std::string(PATH_LENGTH, ' '));
  EXPECT_EQ(result(), "");
}

TEST_F(FileSelectTest, VanishedDirectoryGivesEmptyListsWithoutMessage) {
  choose({"drive C", "rm DATA", "dir DATA", "ok"});
  EXPECT_EQ(views_.back(), (View{"C:\\DATA\\", "C:\\DATA\\", kDrives, {}, {}}));
  EXPECT_TRUE(ui_.messages.empty());
  // Reopened there: still empty, and Back works.
  choose({"back", "ok"});
  EXPECT_EQ(views_.front(), (View{"C:\\DATA\\", "C:\\DATA\\", kDrives, {}, {}}));
  EXPECT_EQ(views_.back().dirs, (Names{".hiddendir", "A"}));
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(FileSelectTest, DriveNotReadyChangesNothing) {
  choose({"drive C", "dir DATA", "file AREA.TXT", "drive F", "file B.TXT", "ok"});
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{"Drive not ready!", "Error", 0}}));
  ASSERT_EQ(views_.size(), 7u);
  EXPECT_EQ(views_[4], views_[3]);
  EXPECT_EQ(states_[4].CURRENT_DIR, states_[3].CURRENT_DIR);
  EXPECT_EQ(states_[4].SELECTED_LEN, states_[3].SELECTED_LEN);
  EXPECT_TRUE(states_[3].FILE_CHOSEN);
  EXPECT_FALSE(states_[4].FILE_CHOSEN);
  // The directory part still holds: the next file gives a whole path.
  EXPECT_EQ(result(), "C:\\DATA\\B.TXT");
}

TEST_F(FileSelectTest, MissingTemplateEndsTheProgram) {
  ui_.missing_templates.insert(F_S_Box);
  ui_.dialog_scripts.push_back([](FakeUiServices&, Dialog&) -> std::optional<int32_t> { return 1; });
  bool cancelled = true;
  try {
    FILE_SELECT(ui_, files_, values_, state_, cancelled, kTitle);
    ADD_FAILURE() << "the program went on";
  } catch (const ProgramStopped& stop) {
    EXPECT_EQ(stop.code, 0);
  }
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{"Dialog: F_S_Box not found!", "Error", 0}}));
  EXPECT_EQ(ui_.dialog_scripts.size(), 1u);  // no dialog ran
}

// Names are cut to their first 60 characters, never inside a UTF-8
// character; a byte that starts no character counts as one and stays the
// byte it is.
struct NameCase {
  std::string name;
  std::string listed;
};

TEST_F(FileSelectTest, NamesAreCutToSixtyCharacters) {
  const std::string a59(59, 'a');
  std::string e70;
  for (int i = 0; i < 70; ++i) e70 += "\xC3\xA9";
  const std::vector<NameCase> cases{
      {std::string(60, 'L') + "0123456789", std::string(60, 'L')},
      {e70, e70.substr(0, 120)},
      {a59 + "\xC3\xA9" "b", a59 + "\xC3\xA9"},
      {a59 + "\xF0\x9F\x98\x80" "bc", a59 + "\xF0\x9F\x98\x80"},
      {a59 + "\xFF" "zz", a59 + "\xFF"},
      {a59 + "\xC3" "zz", a59 + "\xC3"},  // a lead byte without its follower
      {std::string(58, 'c') + "\xE0\x80\x80", std::string(58, 'c') + "\xE0\x80"},  // overlong: three bytes
  };
  fs::create_directory(c_ / "LONG");
  for (const NameCase& c : cases) write_file(c_ / "LONG" / c.name, "");
  fs::create_directory(c_ / "LONG" / (std::string(60, 'D') + "IRECTORY70"));
  for (const NameCase& c : cases) {
    ui_.messages.clear();
    EXPECT_FALSE(choose({"drive C", "dir LONG", "file " + c.listed, "ok"})) << c.listed;
    EXPECT_EQ(result(), "C:\\LONG\\" + c.listed);
    EXPECT_TRUE(ui_.messages.empty());
  }
  choose({"drive C", "dir LONG", "dir " + std::string(60, 'D'), "ok"});
  EXPECT_EQ(views_.back().dir_label, "C:\\LONG\\" + std::string(60, 'D') + "\\");
  EXPECT_EQ(views_[2].dirs, Names{std::string(60, 'D')});
  EXPECT_EQ(views_[2].files.size(), cases.size());
}

struct CapCase {
  int dirs;
  int files;
  Names listed_dirs;  // first and last
  Names listed_files;
  std::size_t dir_count;
  std::size_t file_count;
};

std::string numbered(char prefix, int n) {
  std::string digits = std::to_string(n);
  return prefix + std::string(4 - digits.size(), '0') + digits;
}

// At most 1000 names per list: the entry that would be the 1001st and
// every entry after it, of either kind, are left out, and the search is
// ended (no handle stays open).
TEST_F(FileSelectTest, ListsStopAtOneThousandEntries) {
  const std::vector<CapCase> cases{
      {0, 1200, {"ADIR"}, {"F0000", "F0999"}, 1, 1000},
      {1001, 0, {"D0000", "D0999"}, {"A.TXT"}, 1000, 1},
  };
  for (const CapCase& c : cases) {
    const fs::path big = c_ / "BIG";
    fs::remove_all(big);
    fs::create_directory(big);
    for (int i = 0; i < c.dirs; ++i) fs::create_directory(big / numbered('D', i));
    for (int i = 0; i < c.files; ++i) write_file(big / numbered('F', i), "");
    // One before and one after the numbered names.
    fs::create_directory(big / "ADIR");
    fs::create_directory(big / "ZDIR");
    write_file(big / "A.TXT", "");
    write_file(big / "Z.TXT", "");
    if (c.dirs > 0) fs::remove(big / "ADIR");
    if (c.files > 0) fs::remove(big / "A.TXT");
    choose({"drive C", "dir BIG", "ok"});
    const View& v = views_.back();
    ASSERT_EQ(v.dirs.size(), c.dir_count) << c.dirs << " " << c.files;
    ASSERT_EQ(v.files.size(), c.file_count);
    EXPECT_EQ(v.dirs.front(), c.listed_dirs.front());
    EXPECT_EQ(v.dirs.back(), c.listed_dirs.back());
    EXPECT_EQ(v.files.front(), c.listed_files.front());
    EXPECT_EQ(v.files.back(), c.listed_files.back());
    EXPECT_EQ(files_.open_count(), 0u);
  }
}

// A step that would make the path longer than 255 characters is refused
// with a message and leaves the chooser exactly as it was.
TEST_F(FileSelectTest, LongPathsAreRefused) {
  // C:\ and four names of 60 characters, each with its backslash: 247.
  fs::path deep = c_;
  std::string prefix = "C:\\";
  Names down{"drive C"};
  for (char level : {'P', 'Q', 'R', 'S'}) {
    const std::string name(60, level);
    deep /= name;
    prefix += name + "\\";
    down.push_back("dir " + name);
  }
  ASSERT_EQ(prefix.size(), 247u);
  const std::string e7 = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // 7 characters
  fs::create_directories(deep);
  for (const std::string& dir : {std::string("SEVEN77"), std::string("EIGHT888"), e7}) fs::create_directory(deep / dir);
  for (const char* file : {"FILE8888", "NINE99999"}) write_file(deep / file, "");
  const std::tuple<Names, bool, std::string> cases[] = {  // actions there, refused, file chosen
      {{"file FILE8888"}, false, "FILE8888"},
      {{"file NINE99999"}, true, ""},
      {{"dir SEVEN77"}, false, ""},
      {{"dir " + e7}, false, ""},
      {{"dir EIGHT888"}, true, ""},
      {{"file FILE8888", "dir EIGHT888"}, true, "FILE8888"},
      {{"file FILE8888", "file NINE99999"}, true, "FILE8888"}};
  for (const auto& [there, refused, file] : cases) {
    SCOPED_TRACE(there.back());
    state_ = FileSelectState{};
    ui_.messages.clear();
    Names actions = down;
    actions.insert(actions.end(), there.begin(), there.end());
    actions.push_back("ok");
    choose(actions);
    const std::size_t last = views_.size() - 2;  // after the last step, before OK
    if (refused) {
      EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{"Path is too long!", "Error", 0}}));
      EXPECT_EQ(views_[last], views_[last - 1]);
      EXPECT_EQ(states_[last].SELECTED_PATH, states_[last - 1].SELECTED_PATH);
      EXPECT_EQ(states_[last].SELECTED_LEN, states_[last - 1].SELECTED_LEN);
      EXPECT_EQ(states_[last].CURRENT_DIR, states_[last - 1].CURRENT_DIR);
      EXPECT_EQ(states_[last].FILE_CHOSEN, states_[last - 1].FILE_CHOSEN);
    } else {
      EXPECT_TRUE(ui_.messages.empty());
      EXPECT_EQ(text_chars(views_[last].dir_label), there.back().starts_with("dir") ? 255u : 247u);
    }
    EXPECT_EQ(views_[down.size()].dir_label, prefix);
    EXPECT_EQ(result(), file.empty() ? "" : prefix + file);
    EXPECT_LE(text_chars(trim_right(states_.back().SELECTED_PATH)), PATH_LENGTH);
  }
}

TEST(FileSelectText, CharactersCountCodePointsAndStrayBytes) {
  struct Case {
    std::string text;
    std::size_t chars;
  };
  for (const Case& c : std::vector<Case>{{"", 0},
                                         {"abc", 3},
                                         {"\xC3\xA9", 1},
                                         {"\xF0\x9F\x98\x80", 1},
                                         {"\xC3", 1},
                                         {"\xC0\x80", 2},           // overlong
                                         {"\xED\xA0\x80", 3},       // surrogate
                                         {"\xF4\x90\x80\x80", 4},   // beyond Unicode
                                         {"\xE2\x82", 2},           // cut short
                                         {"\x80\xBF", 2}}) {
    EXPECT_EQ(text_chars(c.text), c.chars) << c.text;
  }
  EXPECT_EQ(cut_chars("a\xC3\xA9" "b", 2), "a\xC3\xA9");
  EXPECT_EQ(pad_chars("\xC3\xA9", 3), "\xC3\xA9  ");
  EXPECT_EQ(pad_chars("abcd", 2), "ab");
}

}  // namespace
}  // namespace kavlin
