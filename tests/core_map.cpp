// What the map is told: the tiles the folders list, the grid words inside
// an area (the engine's count), the status line, and when the driver
// tells it, on the scripted fake.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/map_source.h"
#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tiles/change_mask.h"
#include "tiles/engine.h"
#include "base/dialog_templates.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::TileDb;

struct AreaCase {
  const char* what;
  std::vector<double> lon, lat;
};

ProgramValues values_of(const AreaCase& c) {
  ProgramValues values;
  values.AREA_MODE = c.lon.size() == 1 ? AREA_POINT : c.lon.size() == 5 ? AREA_RECTANGLE : AREA_POLYGON;
  for (std::size_t v = 0; v < c.lon.size(); ++v) values.AREA.add_vertex(c.lon[v], c.lat[v]);
  return values;
}

// The count on the status line is the number of words a run changes when
// its flag is clear in every word: the engine's own count.
TEST(MapSource, WordsInsideAreTheEnginesCount) {
  TileDb db;
  for (int32_t lon = 4; lon <= 6; ++lon) {
    for (int32_t lat = 48; lat <= 50; ++lat) db.make_tile(lon, lat, 144, 0, [](int32_t, int32_t) -> uint16_t { return 0x0120; });
  }
  const double m40 = 5 + 40 / 60.0, m50 = 5 + 50 / 60.0, n40 = 49 + 40 / 60.0, n50 = 49 + 50 / 60.0;
  const AreaCase cases[] = {
      {"the rectangle of the README", {m40, m50, m50, m40, m40}, {n50, n50, n40, n40, n50}},
      {"whole degrees, four tiles and their edges", {5, 6, 6, 5, 5}, {50, 50, 49, 49, 50}},
      {"across the 50-degree seam", {5.5, 6.5, 6.5, 5.5, 5.5}, {50.5, 50.5, 49.5, 49.5, 50.5}},
      {"a point on a tile corner", {5}, {49}},
      {"a point on block edges", {5.5}, {49.5}},
      {"a point on the seam's corner", {6}, {50}},
      {"a triangle", {5.2, 6.7, 5.9}, {49.2, 49.4, 50.6}},
      // Its west edge holds the corner of E006N49, which E006N48's west
      // edge copies west as well: one word, counted once.
      {"a triangle along 6 degrees east", {6.0, 6.5, 6.0}, {48.5, 49.0, 49.5}},
  };
  for (const AreaCase& c : cases) {
    const ProgramValues values = values_of(c);
    const Extent extent = AREA_EXTENT(values.AREA);
    EngineOptions dry;
    dry.dry_run = true;
    const EngineResult engine = apply_modification(db.files(), 'C', values.AREA, 1, dry);
    ASSERT_EQ(engine.outcome, EngineOutcome::Done) << c.what << ": " << engine.notice.text;
    EXPECT_EQ(words_inside(values.AREA, extent), engine.words_changed) << c.what;
    const AreaShown shown = describe_area(values, extent, {});
    EXPECT_EQ(shown.words_in_area, engine.words_changed) << c.what;
    EXPECT_EQ(shown.count_points(), compute_change_masks(db.files(), 'C', values.AREA, 1).changed_points) << c.what;
    std::vector<std::string> names;
    for (const MapTile& tile : shown.tiles) names.push_back(tile.name);
    EXPECT_EQ(names, engine.listed_tiles) << c.what;
  }
}

TEST(MapSource, StatusLine) {
  const double m40 = 5 + 40 / 60.0, m50 = 5 + 50 / 60.0, n40 = 49 + 40 / 60.0, n50 = 49 + 50 / 60.0;
  const ProgramValues values = values_of({"", {m40, m50, m50, m40, m40}, {n50, n50, n40, n40, n50}});
  const Extent extent = AREA_EXTENT(values.AREA);
  EXPECT_EQ(describe_area(values, extent, {}).status,
            "Extent 5\u00B040'00\"E to 5\u00B050'00\"E, 49\u00B040'00\"N to 49\u00B050'00\"N; tiles touched: 1; "
            "grid words inside: " + std::to_string(words_inside(values.AREA, extent)));
  const AreaShown refused = describe_area(values, extent, area_too_big_notice());
  EXPECT_TRUE(refused.refused);
  EXPECT_EQ(refused.words_in_area, -1);
  EXPECT_TRUE(refused.tiles.empty());
  EXPECT_FALSE(refused.mask);
  EXPECT_FALSE(refused.count_points);
  EXPECT_NE(refused.status.find("; tiles touched: 1; refused: Area is too big! Modification is not possible!"),
            std::string::npos);
}

TEST(MapSource, DegreesMinutesSeconds) {
  struct Case {
    double value;
    bool longitude;
    const char* text;
  } cases[] = {
      {5.5, true, "5\u00B030'00\"E"},
      {-0.5, true, "0\u00B030'00\"W"},
      {49 + 1 / 3600.0, false, "49\u00B000'01\"N"},
      {50 + 59 / 60.0 + 59.996 / 3600.0, false, "51\u00B000'00\"N"},  // rounds up through every unit
      {7 + 12.25 / 3600.0, true, "7\u00B000'12.25\"E"},
  };
  for (const Case& c : cases) EXPECT_EQ(dms_text(c.value, c.longitude), c.text) << c.value;
}

// Only names that name their own degrees, in their own longitude folder.
TEST(MapSource, TilesFromTheFolderListingAlone) {
  TileDb db;
  const auto root = db.drive_root() / "KAVLIN";
  auto touch = [&](const std::string& folder, const std::string& name) {
    std::filesystem::create_directories(root / folder);
    std::ofstream(root / folder / name) << "";  // empty: never opened
  };
  touch("E006", "E006N49.33M");
  touch("E006", "e006n50.63m");
  touch("W001", "W001N10.33M");
  touch("E006", "E007N49.33M");  // in another longitude's folder
  touch("E006", "E006N49.63M");  // wrong spacing for N49
  touch("E006", "E006N49.33X");
  touch("E006", "README.TXT");
  std::filesystem::create_directories(root / "E006" / "E006N48.33M");  // a folder
  FakeUiServices ui;
  const DatabaseShown database = describe_database(db.files(), 'C');
  std::vector<std::string> names;
  for (const MapTile& tile : database.tiles) names.push_back(tile.name + "/" + std::to_string(tile.spacing));
  EXPECT_EQ(names, (std::vector<std::string>{"W001N10.33M/3", "E006N49.33M/3", "E006N50.63M/6"}));
  EXPECT_EQ(database.status, "Database on drive C: 3 tiles (2 of 3 seconds, 1 of 6 seconds)");
  EXPECT_TRUE(database.start_reading);
}

FakeUiServices::DialogScript click_ok(int32_t choice) {
  return [choice](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    if (choice != 0) ui.click(d, choice);
    ui.click(d, IDOK);
    return std::nullopt;
  };
}
FakeUiServices::DialogScript rectangle(std::vector<std::pair<int32_t, std::string>> fields) {
  return [fields](FakeUiServices& ui, Dialog& d) -> std::optional<int32_t> {
    for (const auto& [id, text] : fields) ui.type(d, id, text);
    ui.click(d, RECT_OK);
    return std::nullopt;
  };
}

// The map hears of the database first, of the area before the kind dialog
// (one script, the kind's, still waiting), of the run's start before its
// lock, of each tile as it is written, and of the changes before "All
// modifications are done!".
TEST(MapDriver, TellsTheMapInOrder) {
  TileDb db;
  for (int32_t lat : {46, 47}) db.make_tile(7, lat);
  FakeUiServices ui;
  ProgramValues values;
  for (auto s : {click_ok(MODE_RECTANGLE),
                 rectangle({{LON1_DEG, "7"}, {LON1_MIN, "10"}, {LAT1_DEG, "47"}, {LAT1_MIN, "30"}, {LON2_DEG, "7"},
                            {LON2_MIN, "30"}, {LAT2_DEG, "47"}, {LAT2_MIN, "10"}}),
                 click_ok(SET_TOWN)}) {
    ui.dialog_scripts.push_back(s);
  }
  MODIFICATION_DRIVER(ui, db.files(), values);
  ASSERT_EQ(ui.map.size(), 5u);
  EXPECT_EQ(ui.map[0], "DATABASE C 2");
  EXPECT_EQ(ui.map[1], "AREA@1 " + ui.shown_area.status);
  EXPECT_EQ(ui.map[2], "RUN");
  EXPECT_EQ(ui.map[3], "TILE E007N47.33M");
  EXPECT_EQ(ui.map[4], "CHANGES 7");
  EXPECT_EQ(ui.shown_area.area_mode, AREA_RECTANGLE);
  const double west = 7 + 10 / 60.0;
  EXPECT_EQ(ui.shown_area.lon, (std::vector<double>{west, 7.5, 7.5, west, west}));
  EXPECT_EQ(ui.shown_area.lat, (std::vector<double>{47.5, 47.5, 47 + 10 / 60.0, 47 + 10 / 60.0, 47.5}));
}

// A refused area is shown (outline and refusal) before its unchanged
// message, and nothing is said of a run.
TEST(MapDriver, RefusedAreasAreShownBeforeTheirMessage) {
  struct Case {
    const char* what;
    std::vector<std::pair<int32_t, std::string>> fields;
    const char* message;
  } cases[] = {
      {"seven by six degrees", {{LON1_DEG, "1"}, {LAT1_DEG, "47"}, {LON2_DEG, "6"}, {LAT2_DEG, "41"}},
       "Area is too big! Modification is not possible!"},
      {"south of the equator", {{LON1_DEG, "1"}, {LAT1_DEG, "1"}, {LON2_DEG, "2"}, {LAT2_DEG, "1"}, {LAT2_NS, "S"}},
       "Area reaches south of the equator! Modification is not possible!"},
  };
  for (const Case& c : cases) {
    TileDb db;
    FakeUiServices ui;
    ProgramValues values;
    ui.dialog_scripts.push_back(click_ok(MODE_RECTANGLE));
    ui.dialog_scripts.push_back(rectangle(c.fields));
    try {
      MODIFICATION_DRIVER(ui, db.files(), values);
      ADD_FAILURE() << c.what << ": not refused";
    } catch (const ProgramStopped&) {
    }
    ASSERT_EQ(ui.messages.size(), 1u) << c.what;
    EXPECT_EQ(ui.messages[0].text, c.message) << c.what;
    ASSERT_EQ(ui.map.size(), 2u) << c.what;
    EXPECT_TRUE(ui.shown_area.refused) << c.what;
    EXPECT_EQ(ui.shown_area.lon.size(), 5u) << c.what;
    EXPECT_NE(ui.shown_area.status.find(std::string("refused: ") + c.message), std::string::npos) << c.what;
  }
}

// A polygon file that is read but refused shows its own vertices first.
TEST(MapDriver, RefusedPolygonIsShownBeforeItsMessage) {
  TileDb db;
  std::filesystem::create_directories(db.drive_root() / "POLY");
  std::ofstream(db.drive_root() / "POLY" / "BIG.TXT") << "1 41\n8 41\n8 48\n";
  auto pick = [](FakeUiServices& ui, Dialog& d, int32_t list, const std::string& name) {
    const auto& items = ui.control(d, list).items;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i] == name) return ui.select(d, list, static_cast<int>(i + 1));
    }
    throw std::logic_error("no entry " + name);
  };
  FakeUiServices ui;
  ProgramValues values;
  ui.dialog_scripts.push_back(click_ok(MODE_POLYGON));
  ui.dialog_scripts.push_back(click_ok(0));
  ui.dialog_scripts.push_back([pick](FakeUiServices& f, Dialog& d) -> std::optional<int32_t> {
    pick(f, d, DRIVE_LISTBOX, "C");
    pick(f, d, DIR_LISTBOX, "POLY");
    pick(f, d, FILE_LISTBOX, "BIG.TXT");
    f.click(d, IDOK);
    return std::nullopt;
  });
  EXPECT_THROW(MODIFICATION_DRIVER(ui, db.files(), values), ProgramStopped);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Area is too big! Modification is not possible!");
  ASSERT_EQ(ui.map.size(), 2u);
  EXPECT_EQ(ui.shown_area.area_mode, AREA_POLYGON);
  EXPECT_TRUE(ui.shown_area.refused);
  EXPECT_EQ(ui.shown_area.lon, (std::vector<double>{1, 8, 8}));
  EXPECT_EQ(ui.shown_area.lat, (std::vector<double>{41, 41, 48}));
}

}  // namespace
}  // namespace kavlin
