// The modification driver on the scripted fake: the dialog sequence, the
// handlers attached, Cancel and missing templates everywhere, and areas
// refused before the kind of modification is asked for.
#include "app/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tiles/engine.h"
#include "base/dialog_templates.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::ShownMessage;
using testing::TileDb;
using Script = FakeUiServices::DialogScript;

// A fake that also records which dialogs ran, which texts were set before
// the run and which controls got a handler, in order.
class RecordingUi : public FakeUiServices {
 public:
  bool DIALOG_INIT(int32_t template_id, Dialog& dialog) override {
    log.push_back("INIT " + std::to_string(template_id));
    return FakeUiServices::DIALOG_INIT(template_id, dialog);
  }
  bool DIALOG_SET_CALLBACK(Dialog& dialog, int32_t control, DialogCallback callback) override {
    log.push_back("CALLBACK " + std::to_string(control));
    return FakeUiServices::DIALOG_SET_CALLBACK(dialog, control, std::move(callback));
  }
  bool DIALOG_SET_TEXT(Dialog& dialog, int32_t control, const std::string& text, int32_t index) override {
    log.push_back("TEXT " + std::to_string(control) + " [" + text + "]");
    return FakeUiServices::DIALOG_SET_TEXT(dialog, control, text, index);
  }
  int32_t DIALOG_RUN_MODAL(Dialog& dialog) override {
    log.push_back("RUN " + std::to_string(dialog.template_id));
    return FakeUiServices::DIALOG_RUN_MODAL(dialog);
  }
  void DIALOG_RELEASE(Dialog& dialog) override {
    log.push_back("RELEASE " + std::to_string(dialog.template_id));
    FakeUiServices::DIALOG_RELEASE(dialog);
  }
  std::vector<std::string> log;
  // The controls given a handler in the dialog of that template.
  std::vector<std::string> callbacks(int32_t template_id) const {
    std::vector<std::string> out;
    bool inside = false;
    for (const auto& line : log) {
      if (line.rfind("INIT ", 0) == 0) inside = line == "INIT " + std::to_string(template_id);
      if (line.rfind("RUN ", 0) == 0) inside = false;
      if (inside && line.rfind("CALLBACK ", 0) == 0) out.push_back(line.substr(9));
    }
    return out;
  }
  std::vector<std::string> runs() const {
    std::vector<std::string> out;
    for (const auto& line : log) {
      if (line.rfind("RUN ", 0) == 0) out.push_back(line.substr(4));
    }
    return out;
  }
};

// User actions, one dialog each.
Script click(int32_t control) {
  return [control](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    ui.click(d, control);
    return std::nullopt;
  };
}
// Clicks a choice button, then OK.
Script choose(int32_t control) {
  return [control](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    ui.click(d, control);
    ui.click(d, IDOK);
    return std::nullopt;
  };
}
Script cancel() {
  return [](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    ui.escape(d);
    return std::nullopt;
  };
}
// Fills fields (id, text) in order, then presses `ok`.
Script enter(std::vector<std::pair<int32_t, std::string>> fields, int32_t ok) {
  return [fields, ok](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    for (const auto& [id, text] : fields) ui.type(d, id, text);
    ui.click(d, ok);
    return std::nullopt;
  };
}
Script point(const std::string& lon, const std::string& ew, const std::string& lat, const std::string& ns) {
  return enter({{LON1_DEG, lon}, {LON1_EW, ew}, {LAT1_DEG, lat}, {LAT1_NS, ns}}, POINT_OK);
}

struct DriverRun {
  RecordingUi ui;
  ProgramValues values;
  std::optional<int32_t> stopped;
  void go(FileServices& files, std::vector<Script> scripts) {
    for (auto& s : scripts) ui.dialog_scripts.push_back(std::move(s));
    values.VERSION_TEXT = " 1.01";
    values.DRIVE_LETTER = 'C';
    try {
      MODIFICATION_DRIVER(ui, files, values);
    } catch (const ProgramStopped& stop) {
      stopped = stop.code;
    }
  }
};

void make_four_tiles(TileDb& db) {
  for (int32_t lon : {6, 7}) {
    for (int32_t lat : {46, 47}) db.make_tile(lon, lat);
  }
}

using Ids = std::vector<std::string>;

TEST(Driver, PointRunAttachesTheHandlersInOrderAndShowsTheVersion) {
  TileDb db;
  make_four_tiles(db);
  // The point is a tile corner: its copies go west, south and south-west.
  DriverRun run;
  run.go(db.files(), {click(IDOK), point("7", "E", "47", "N"), click(IDOK)});
  EXPECT_FALSE(run.stopped.has_value());
  const Ids expected{"INIT 101", "TEXT 1005 [V    1.01]", "CALLBACK 1027", "CALLBACK 1028", "CALLBACK 1029",
                     "RUN 101",  "RELEASE 101",           "INIT 102",      "TEXT 1005 [V    1.01]"};
  ASSERT_GE(run.ui.log.size(), expected.size());
  EXPECT_EQ(Ids(run.ui.log.begin(), run.ui.log.begin() + expected.size()), expected);
  EXPECT_EQ(run.ui.callbacks(DATA_INPUT_POINT), (Ids{"1000", "1001", "1002", "1033", "1003", "1026", "1004", "1039", "1043"}));
  EXPECT_EQ(run.ui.runs(), (Ids{"101", "102", "107"}));
  EXPECT_EQ(run.values.AREA.NREC, 1);
  EXPECT_EQ(run.values.AREA.AREA_LON[1], 7.0);
  EXPECT_EQ(run.values.AREA.AREA_LAT[1], 47.0);
  EXPECT_EQ(run.ui.messages, (std::vector<ShownMessage>{{"All modifications are done!", "Info", 0}}));
  // One step per file written (the tile and its three neighbours), and the
  // display gone before the closing message.
  EXPECT_EQ(run.ui.progress, (Ids{"1/4", "2/4", "3/4", "4/4", "end"}));
}

TEST(Driver, RectangleAndModificationHandlers) {
  TileDb db;
  make_four_tiles(db);
  DriverRun run;
  run.go(db.files(), {choose(MODE_RECTANGLE),
                      enter({{LON1_DEG, "7"}, {LAT1_DEG, "47"}, {LAT1_MIN, "30"}, {LON2_DEG, "7"}, {LON2_MIN, "30"},
                             {LAT2_DEG, "47"}},
                            RECT_OK),
                      choose(CLEAR_TREES)});
  EXPECT_FALSE(run.stopped.has_value());
  EXPECT_EQ(run.values.MOD_KIND, 10);
  EXPECT_EQ(run.values.AREA.NREC, 5);
  const double lon[] = {7.0, 7.5, 7.5, 7.0, 7.0};
  const double lat[] = {47.5, 47.5, 47.0, 47.0, 47.5};
  for (int v = 0; v < 5; ++v) {
    EXPECT_EQ(run.values.AREA.AREA_LON[v + 1], lon[v]) << v;
    EXPECT_EQ(run.values.AREA.AREA_LAT[v + 1], lat[v]) << v;
  }
  EXPECT_EQ(run.ui.callbacks(DATA_INPUT_RECTANGLE), (Ids{"1000", "1001", "1002", "1033", "1003", "1026", "1004", "1039",
                                                         "1006", "1007", "1008", "1034", "1009", "1042", "1010", "1040",
                                                         "1041"}));
  EXPECT_EQ(run.ui.callbacks(MODIFICATION),
            (Ids{"1044", "1045", "1046", "1047", "1048", "1049", "1050", "1051", "1054", "1055"}));
}

// Every dialog's template missing in turn: its message, then the end,
// with no later dialog and no tile touched.
TEST(Driver, MissingTemplates) {
  struct Case {
    int32_t missing;
    std::vector<Script> before;
    std::string message;
  };
  const std::vector<Case> cases = {
      {DATA_SELECTION, {}, "Dialog: 'DATA_SELECTION' not found!"},
      {DATA_INPUT_POINT, {click(IDOK)}, "Dialog: 'DATA_INPUT_POINT' not found!"},
      {DATA_INPUT_RECTANGLE, {choose(MODE_RECTANGLE)}, "Dialog: 'DATA_INPUT_RECTANGLE' not found!"},
      {POLY, {choose(MODE_POLYGON)}, "Dialog: 'POLY' not found!"},
      {MODIFICATION, {click(IDOK), point("7", "", "47", "")}, "Dialog: 'MODIFICATION' not found!"},
      {F_S_Box, {choose(MODE_POLYGON), click(IDOK)}, "Dialog: F_S_Box not found!"},
  };
  for (const Case& c : cases) {
    TileDb db;
    db.make_tile(7, 47);
    const auto before = db.snapshot();
    DriverRun run;
    run.ui.missing_templates.insert(c.missing);
    run.go(db.files(), c.before);
    EXPECT_EQ(run.stopped, 0) << c.message;
    EXPECT_EQ(run.ui.messages, (std::vector<ShownMessage>{{c.message, "Error", 0}}));
    EXPECT_TRUE(run.ui.dialog_scripts.empty()) << c.message;
    EXPECT_TRUE(db.snapshot() == before) << c.message;
  }
}

// Cancel in each dialog of each path ends the program silently and leaves
// every file as it was.
TEST(Driver, CancelAnywhere) {
  const std::vector<std::vector<Script>> paths = {
      {cancel()},
      {click(IDOK), cancel()},
      {choose(MODE_RECTANGLE), cancel()},
      {choose(MODE_POLYGON), cancel()},
      {choose(MODE_POLYGON), click(IDOK), cancel()},
      {click(IDOK), point("7", "E", "47", "N"), cancel()},
  };
  for (std::size_t p = 0; p < paths.size(); ++p) {
    TileDb db;
    db.make_tile(7, 47);
    const auto before = db.snapshot();
    DriverRun run;
    run.go(db.files(), paths[p]);
    EXPECT_EQ(run.stopped, 0) << p;
    EXPECT_TRUE(run.ui.messages.empty()) << p;
    EXPECT_EQ(run.ui.runs().size(), paths[p].size()) << p;
    EXPECT_TRUE(db.snapshot() == before) << p;
  }
}

// Points and rectangles are refused right after they are entered, before
// the kind of modification is asked for. 36 whole-degree cells pass on, 42
// do not; a longitude of 0 30 W lies in column W001, so 0 30 W to 4 30 E
// spans six columns and 0 30 W to 5 30 E seven.
TEST(Driver, AreasRefusedBeforeTheKindIsChosen) {
  const std::string too_big = "Area is too big! Modification is not possible!";
  const std::string south = "Area reaches south of the equator! Modification is not possible!";
  const auto six_rows_to = [](const std::string& east) {
    return enter({{LON1_DEG, "0"}, {LON1_EW, "W"}, {LON1_MIN, "30"}, {LAT1_DEG, "49"}, {LON2_DEG, east},
                  {LON2_MIN, "30"}, {LAT2_DEG, "44"}},
                 RECT_OK);
  };
  const std::vector<std::pair<std::vector<Script>, std::string>> cases = {
      {{click(IDOK), point("7", "E", "1", "S")}, south},
      {{choose(MODE_RECTANGLE), enter({{LON1_DEG, "5"}, {LAT1_DEG, "50"}, {LON2_DEG, "10"}, {LAT2_DEG, "44"}}, RECT_OK)},
       too_big},
      {{choose(MODE_RECTANGLE),
        enter({{LON1_DEG, "5"}, {LAT1_DEG, "1"}, {LON2_DEG, "6"}, {LAT2_DEG, "0"}, {LAT2_NS, "S"}, {LAT2_MIN, "30"}},
              RECT_OK)},
       south},
      {{choose(MODE_RECTANGLE), six_rows_to("5")}, too_big},
      // 36 cells pass; no tiles here: the engine reports the first.
      {{choose(MODE_RECTANGLE), six_rows_to("4"), click(IDOK)}, "Error opening file W001N44.33M!"},
  };
  for (const auto& [scripts, message] : cases) {
    TileDb db;  // no tile at all: a refused area never opens one
    DriverRun run;
    run.go(db.files(), scripts);
    EXPECT_EQ(run.stopped, 0) << message;
    EXPECT_EQ(run.ui.messages, (std::vector<ShownMessage>{{message, "Error", 0}})) << message;
    EXPECT_EQ(run.ui.runs().size(), scripts.size()) << message;
  }
}

}  // namespace
}  // namespace kavlin
