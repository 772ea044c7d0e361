// MANAGEINPUT on the scripted fake: the choice buttons, the form checks of
// the coordinate fields, and OK in the point and rectangle dialogs.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "coords/MANAGEINPUT.h"
#include "tests/fake_ui_services.h"
#include "base/dialog_templates.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ShownMessage;

// Every control the driver hands to MANAGEINPUT, in any of its dialogs.
constexpr int32_t HANDLED[] = {
    MODE_POINT, MODE_RECTANGLE, MODE_POLYGON, SET_SEA,  CLEAR_SEA, SET_INLAND_WATER, CLEAR_INLAND_WATER,
    SET_COASTAL_AREA, CLEAR_COASTAL_AREA, SET_TOWN, CLEAR_TOWN, SET_TREES, CLEAR_TREES, LON1_DEG,
    LON1_EW,  LON1_MIN, LON1_SEC, LAT1_DEG, LAT1_NS, LAT1_MIN, LAT1_SEC, LON2_DEG, LON2_EW, LON2_MIN,
    LON2_SEC, LAT2_DEG, LAT2_NS, LAT2_MIN, LAT2_SEC, POINT_OK, RECT_OK,
};

constexpr std::array<int32_t, 8> FIRST_SET{LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC,
                                           LAT1_DEG, LAT1_NS, LAT1_MIN, LAT1_SEC};
constexpr std::array<int32_t, 8> SECOND_SET{LON2_DEG, LON2_EW, LON2_MIN, LON2_SEC,
                                            LAT2_DEG, LAT2_NS, LAT2_MIN, LAT2_SEC};
// Texts of one set of fields, in the order of FIRST_SET / SECOND_SET.
using SetTexts = std::array<const char*, 8>;

// Values no OK ever produces: a result that still holds one was not written.
constexpr double UNSET1 = 111.0, UNSET2 = 222.0, UNSET3 = 333.0, UNSET4 = 444.0;

// One dialog on the fake with MANAGEINPUT attached as the driver attaches it.
struct Session {
  explicit Session(int32_t template_id) {
    values.LON1 = UNSET1;
    values.LAT1 = UNSET2;
    values.LON2 = UNSET3;
    values.LAT2 = UNSET4;
    values.AREA_MODE = 0;
    values.MOD_KIND = 0;
    EXPECT_TRUE(fake.DIALOG_INIT(template_id, dialog));
    for (int32_t id : HANDLED) fake.DIALOG_SET_CALLBACK(dialog, id, manageinput_callback(fake, values));
  }
  // Puts texts into fields as the program would, without running a check:
  // they stand for whatever the change checks left in the fields.
  void fill(const std::array<int32_t, 8>& ids, const SetTexts& texts) {
    for (std::size_t i = 0; i < ids.size(); ++i) fake.DIALOG_SET_TEXT(dialog, ids[i], texts[i], NO_INDEX);
  }
  std::string text(int32_t id) { return fake.control(dialog, id).text; }
  FakeUiServices::FakeDialog& state() { return dynamic_cast<FakeUiServices::FakeDialog&>(*dialog.state); }
  bool closed() { return state().exit_requested; }

  FakeUiServices fake;
  ProgramValues values;
  Dialog dialog;
};

// ----------------------------------------------------------- choice buttons

struct ChoiceCase {
  int32_t dialog;
  std::vector<int32_t> clicks;
  int32_t area_mode;  // 0: untouched
  int32_t mod_kind;   // 0: untouched
};

TEST(ManageInputChoices, ClickStoresTheChoiceAndTheLastClickCounts) {
  const ChoiceCase cases[] = {
      {DATA_SELECTION, {MODE_POINT}, 1, 0},
      {DATA_SELECTION, {MODE_RECTANGLE}, 2, 0},
      {DATA_SELECTION, {MODE_POLYGON}, 3, 0},
      {DATA_SELECTION, {MODE_POLYGON, MODE_RECTANGLE}, 2, 0},
      {MODIFICATION, {SET_SEA}, 0, 1},
      {MODIFICATION, {CLEAR_SEA}, 0, 2},
      {MODIFICATION, {SET_INLAND_WATER}, 0, 3},
      {MODIFICATION, {CLEAR_INLAND_WATER}, 0, 4},
      {MODIFICATION, {SET_COASTAL_AREA}, 0, 5},
      {MODIFICATION, {CLEAR_COASTAL_AREA}, 0, 6},
      {MODIFICATION, {SET_TOWN}, 0, 7},
      {MODIFICATION, {CLEAR_TOWN}, 0, 8},
      {MODIFICATION, {SET_TREES}, 0, 9},
      {MODIFICATION, {CLEAR_TREES}, 0, 10},
      {MODIFICATION, {CLEAR_TOWN, SET_TREES}, 0, 9},
      {MODIFICATION, {SET_TREES, CLEAR_SEA, CLEAR_TREES}, 0, 10},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "dialog " << c.dialog << ", last click " << c.clicks.back());
    Session s(c.dialog);
    for (int32_t id : c.clicks) s.fake.click(s.dialog, id);
    EXPECT_EQ(s.values.AREA_MODE, c.area_mode);
    EXPECT_EQ(s.values.MOD_KIND, c.mod_kind);
    EXPECT_TRUE(s.fake.messages.empty());
    EXPECT_FALSE(s.closed());  // only OK ends these dialogs
  }
}

// Ids outside the dispatch table, Cancel among them, change nothing,
// whatever the event kind.
TEST(ManageInputChoices, OtherIdsDoNothing) {
  for (int32_t dialog_id : {DATA_INPUT_POINT, DATA_INPUT_RECTANGLE}) {
    Session s(dialog_id);
    s.fill(FIRST_SET, {"5", "W", "1", "2", "50", "N", "3", "4"});
    for (int32_t id : {IDOK, IDCANCEL, VERSION_LABEL, 1011, 1030, 1052, 1053, 1056, -1}) {
      for (int32_t kind : {CALLBACK_CLICKED, CALLBACK_CHANGED, 0, 77}) MANAGEINPUT(s.fake, s.values, s.dialog, id, kind);
    }
    EXPECT_TRUE(s.fake.messages.empty());
    EXPECT_FALSE(s.closed());
    EXPECT_EQ(s.values.AREA_MODE, 0);
    EXPECT_EQ(s.values.MOD_KIND, 0);
    EXPECT_EQ(s.values.LON1, UNSET1);
    EXPECT_EQ(s.text(LON1_DEG), "5");
    EXPECT_EQ(s.text(LAT1_SEC), "4");
  }
}

// ------------------------------------------------------------ field checks

struct FieldCase {
  int32_t dialog;
  int32_t field;
  std::string typed;    // the field's whole new text (typed or pasted)
  std::string message;  // empty: no message
  std::string caption;
  std::string after;    // what the field shows afterwards
};

const std::string THREE = "Only 3 numbers are permissible!";
const std::string TWO = "Only 2 numbers are permissible!";
const std::string NUMBERS = "Only numbers are permissible!";
const std::string ONE_LETTER = "Only one letter is permissible!";
const std::string EW = "Only 'E' or 'W' is permissible!";
const std::string NS = "Only 'N' or 'S' is permissible!";

TEST(ManageInputFields, EveryChangeIsCheckedForItsForm) {
  constexpr int32_t P = DATA_INPUT_POINT, R = DATA_INPUT_RECTANGLE;
  const FieldCase cases[] = {
      // Digits within the limit pass, whatever their value.
      {P, LON1_DEG, "181", "", "", "181"},
      {P, LON1_DEG, "000", "", "", "000"},
      {P, LAT1_DEG, "99", "", "", "99"},
      {R, LON2_DEG, "999", "", "", "999"},
      {P, LON1_MIN, "", "", "", ""},  // emptying a digit field
      // Length first: 3 for longitude degrees, 2 for all others.
      {P, LON1_DEG, "1234", THREE, "Longitude degrees", "123"},
      {P, LON1_DEG, "1a345", THREE, "Longitude degrees", "1a3"},
      {P, LON1_DEG, "-51x", THREE, "Longitude degrees", "-51"},
      {P, LAT1_DEG, "123", TWO, "Latitude degrees", "12"},
      {R, LON2_DEG, "1800", THREE, "Longitude degrees lower right corner", "180"},
      {R, LAT2_DEG, "901", TWO, "Latitude degrees lower right corner", "90"},
      {R, LON1_MIN, "123", TWO, "Longitude minutes", "12"},
      {R, LAT2_SEC, "6 0", TWO, "Latitude seconds lower right corner", "6"},  // "6 " loses its blank
      // Then the characters: everything from the first non-digit goes.
      {P, LAT1_MIN, "5x", NUMBERS, "Latitude minutes", "5"},
      {P, LAT1_MIN, " 5", NUMBERS, "Latitude minutes", ""},
      {P, LON1_DEG, "1 2", NUMBERS, "Longitude degrees", "1"},
      {P, LON1_DEG, "a", NUMBERS, "Longitude degrees", ""},
      {P, LON1_DEG, "-51", NUMBERS, "Longitude degrees", ""},
      {P, LON1_SEC, "5.", NUMBERS, "Longitude seconds", "5"},
      {P, LAT1_SEC, "+1", NUMBERS, "Latitude seconds", ""},
      {R, LON2_MIN, "0/", NUMBERS, "Longitude minutes lower right corner", "0"},
      {R, LON2_SEC, "\t1", NUMBERS, "Longitude seconds lower right corner", ""},
      {R, LAT2_MIN, "1,", NUMBERS, "Latitude minutes lower right corner", "1"},
      // Letters: one of the field's two, in capitals.
      {P, LON1_EW, "e", "", "", "E"},
      {P, LON1_EW, "W", "", "", "W"},
      {R, LAT2_NS, "s", "", "", "S"},
      {P, LON1_EW, "EW", ONE_LETTER, "Co-ordinates E/W", "E"},
      {P, LON1_EW, "XY", ONE_LETTER, "Co-ordinates E/W", "X"},
      {P, LON1_EW, "", EW, "Co-ordinates E/W", ""},
      {P, LON1_EW, "N", EW, "Co-ordinates E/W", ""},
      {P, LAT1_NS, "E", NS, "Co-ordinates N/S", ""},
      {P, LAT1_NS, "", NS, "Co-ordinates N/S", ""},
      {R, LON2_EW, "sw", ONE_LETTER, "Co-ordinates E/W lower right corner", "S"},
      {R, LON2_EW, "1", EW, "Co-ordinates E/W lower right corner", ""},
      {R, LAT2_NS, "X", NS, "Co-ordinates N/S lower right corner", ""},
      {R, LAT2_NS, "NS", ONE_LETTER, "Co-ordinates N/S lower right corner", "N"},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "field " << c.field << " typed '" << c.typed << "'");
    Session s(c.dialog);
    s.fake.DIALOG_SET_TEXT(s.dialog, LAT1_MIN, "7", NO_INDEX);
    if (c.field == LAT1_MIN) s.fake.DIALOG_SET_TEXT(s.dialog, LON1_MIN, "7", NO_INDEX);
    // Emptying a field is a change only when it held something: the user
    // deletes its only character.
    if (c.typed.empty()) s.fake.DIALOG_SET_TEXT(s.dialog, c.field, "Q", NO_INDEX);
    s.fake.type(s.dialog, c.field, c.typed);
    std::vector<ShownMessage> expected;
    if (!c.message.empty()) expected.push_back({c.message, c.caption, 0});
    EXPECT_EQ(s.fake.messages, expected);
    EXPECT_EQ(s.text(c.field), c.after);
    // No other field and no value is touched, and the dialog keeps running.
    EXPECT_EQ(s.text(c.field == LAT1_MIN ? LON1_MIN : LAT1_MIN), "7");
    EXPECT_EQ(s.values.LON1, UNSET1);
    EXPECT_FALSE(s.closed());
  }
}

// ---------------------------------------------------------- OK of the point

struct PointCase {
  const char* name;
  SetTexts fields;
  const char* message;  // nullptr: accepted
  const char* caption;
  double lon = 0.0;
  double lat = 0.0;
};

const char* const MISSING = "Co-ordinates are missing";
const char* const ERROR = "Error in co-ordinates";

TEST(ManageInputPoint, OkReadsConvertsAndChecksTheFields) {
  const PointCase cases[] = {
      {"degrees only", {"5", "", "", "", "50", "", "", ""}, nullptr, nullptr, 5.0, 50.0},
      {"west and south", {"7", "W", "30", "0", "45", "S", "15", "36"}, nullptr, nullptr, -7.5, -45.26},
      {"east and north", {"7", "E", "30", "0", "45", "N", "15", "36"}, nullptr, nullptr, 7.5, 45.26},
      // (1 + 1/60) + 3/3600 rounds below 1.0175; 1 + (1/60 + 3/3600) would not.
      {"order of the sum", {"1", "", "1", "3", "1", "S", "1", "3"}, nullptr, nullptr, 1.0174999999999998,
       -1.0174999999999998},
      {"largest values", {"180", "", "59", "59", "90", "", "59", "59"}, nullptr, nullptr,
       (180.0 + 59.0 / 60.0) + 59.0 / 3600.0, (90.0 + 59.0 / 60.0) + 59.0 / 3600.0},
      {"180 59", {"180", "W", "59", "", "0", "", "", ""}, nullptr, nullptr, -180.98333333333332, 0.0},
      {"90 30", {"0", "", "", "", "90", "", "30", ""}, nullptr, nullptr, 0.0, 90.5},
      {"leftover letters", {"3", "X", "", "", "4", "E", "", ""}, nullptr, nullptr, 3.0, 4.0},
      {"leading zeros", {"007", "W", "05", "00", "00", "S", "", "09"}, nullptr, nullptr,
       -((7.0 + 5.0 / 60.0) + 0.0 / 3600.0), -((0.0 + 0.0 / 60.0) + 9.0 / 3600.0)},
      {"plus sign", {"+51", "", "", "", "1", "", "", ""}, nullptr, nullptr, 51.0, 1.0},
      // Completeness.
      {"no longitude degrees", {"", "", "", "", "50", "", "", ""}, "Longitude (degrees) is missing!", MISSING},
      {"no latitude degrees", {"5", "", "", "", "", "", "", ""}, "Latitude (degrees) is missing!", MISSING},
      {"first failure wins", {"", "W", "77", "", "95", "", "60", ""}, "Longitude (degrees) is missing!", MISSING},
      // Texts that are no whole number.
      {"1a3", {"1a3", "", "", "", "50", "", "", ""}, "Error in longitude (degrees)!", ERROR},
      {"lon minutes", {"5", "", "1.", "", "50", "", "", ""}, "Error in longitude (minutes)!", ERROR},
      {"lon seconds", {"5", "", "", "x", "50", "", "", ""}, "Error in longitude (seconds)!", ERROR},
      {"lat degrees", {"5", "", "", "", "-", "", "", ""}, "Error in latitude (degrees)!", ERROR},
      {"lat minutes", {"5", "", "", "", "50", "", "1e", ""}, "Error in latitude (minutes)!", ERROR},
      {"lat seconds", {"5", "", "", "", "50", "", "", "+"}, "Error in latitude (seconds)!", ERROR},
      // Ranges, each value alone.
      {"181", {"181", "", "", "", "50", "", "", ""}, "Only longitudes from 0 to 180 degrees are permissible!", ERROR},
      {"-51", {"-51", "", "", "", "50", "", "", ""}, "Only longitudes from 0 to 180 degrees are permissible!", ERROR},
      {"lon minutes 60", {"5", "", "60", "", "50", "", "", ""},
       "Only longitude minutes from 0 to 59 are permissible!", ERROR},
      {"lon minutes -1", {"5", "", "-1", "", "50", "", "", ""},
       "Only longitude minutes from 0 to 59 are permissible!", ERROR},
      {"lon seconds 60", {"5", "", "", "60", "50", "", "", ""},
       "Only longitude seconds from 0 to 59 are permissible!", ERROR},
      {"lat degrees 91", {"5", "", "", "", "91", "", "", ""},
       "Only latitudes from 0 to 90 degreees are permissible!", ERROR},
      {"lat degrees -1", {"5", "", "", "", "-1", "", "", ""},
       "Only latitudes from 0 to 90 degreees are permissible!", ERROR},
      {"lat minutes 60", {"5", "", "", "", "50", "", "60", ""},
       "Only latitude minutes from 0 to 59 are permissible!", ERROR},
      {"lat seconds 60", {"5", "", "", "", "50", "", "", "60"},
       "Only latitude seconds from 0 to 59 are permissible!", ERROR},
      {"lon range before lat error", {"200", "", "", "", "x", "", "", ""},
       "Only longitudes from 0 to 180 degrees are permissible!", ERROR},
  };
  for (const PointCase& c : cases) {
    SCOPED_TRACE(c.name);
    Session s(DATA_INPUT_POINT);
    s.fill(FIRST_SET, c.fields);
    s.fake.click(s.dialog, POINT_OK);
    if (c.message == nullptr) {
      EXPECT_TRUE(s.fake.messages.empty());
      EXPECT_TRUE(s.closed());
      EXPECT_EQ(s.state().return_value, 1);
      EXPECT_EQ(s.values.LON1, c.lon);
      EXPECT_EQ(s.values.LAT1, c.lat);
    } else {
      EXPECT_EQ(s.fake.messages, (std::vector<ShownMessage>{{c.message, c.caption, 0}}));
      EXPECT_FALSE(s.closed());
      EXPECT_EQ(s.values.LON1, UNSET1);
      EXPECT_EQ(s.values.LAT1, UNSET2);
    }
    // The point dialog never writes the second corner.
    EXPECT_EQ(s.values.LON2, UNSET3);
    EXPECT_EQ(s.values.LAT2, UNSET4);
  }
}

// In a modal run a refused OK keeps the dialog open and Cancel leaves the
// values; each OK starts again from the fields, and success closes with 1.
TEST(ManageInputPoint, RefusedOkKeepsTheDialogAndTheNextOkStartsAgain) {
  Session s(DATA_INPUT_POINT);
  s.fake.dialog_scripts.push_back([](FakeUiServices& fake, Dialog& d) -> std::optional<int32_t> {
    fake.type(d, LON1_DEG, "1a345");  // pasted: the check leaves "1a3"
    fake.type(d, LAT1_DEG, "5");
    fake.click(d, POINT_OK);
    fake.click(d, IDCANCEL);
    return std::nullopt;
  });
  EXPECT_EQ(s.fake.DIALOG_RUN_MODAL(s.dialog), IDCANCEL);
  EXPECT_EQ(s.fake.messages, (std::vector<ShownMessage>{{THREE, "Longitude degrees", 0},
                                                         {"Error in longitude (degrees)!", ERROR, 0}}));
  EXPECT_EQ(s.values.LON1, UNSET1);
  EXPECT_EQ(s.values.LAT1, UNSET2);
  s.fake.dialog_scripts.push_back([](FakeUiServices& fake, Dialog& d) -> std::optional<int32_t> {
    fake.type(d, LON1_DEG, "18");
    fake.click(d, POINT_OK);
    return std::nullopt;
  });
  EXPECT_EQ(s.fake.DIALOG_RUN_MODAL(s.dialog), 1);
  EXPECT_EQ(s.fake.messages.size(), 2u);
  EXPECT_EQ(s.values.LON1, 18.0);
  EXPECT_EQ(s.values.LAT1, 5.0);
}

// ------------------------------------------------------ OK of the rectangle

struct RectangleCase {
  const char* name;
  SetTexts upper_left;
  SetTexts lower_right;
  const char* message;  // nullptr: accepted
  const char* caption;
  bool stored;  // LON1..LAT2 hold the corners below
  double lon1 = 0.0, lat1 = 0.0, lon2 = 0.0, lat2 = 0.0;
};

const char* const MISSING_UL = "Co-ordinates are missing (upper left corner)";
const char* const MISSING_LR = "Co-ordinates are missing (lower right corner)";
const char* const ERROR_UL = "Error in co-ordinates upper left corner";
const char* const ERROR_LR = "Error in co-ordinates lower right corner";
const char* const NOT_EAST = "Lower right corner is not east of upper left corner!";
const char* const NOT_SOUTH = "Lower right corner is not south of upper left corner!";

TEST(ManageInputRectangle, OkReadsBothCornersAndChecksTheirOrder) {
  const RectangleCase cases[] = {
      {"10 W to 5 E", {"10", "W", "", "", "50", "N", "", ""}, {"5", "E", "", "", "45", "", "", ""}, nullptr,
       nullptr, true, -10.0, 50.0, 5.0, 45.0},
      {"seconds apart", {"6", "", "", "0", "49", "", "59", "57"}, {"6", "", "", "3", "49", "", "59", "54"},
       nullptr, nullptr, true, 6.0, (49.0 + 59.0 / 60.0) + 57.0 / 3600.0, 6.0 + 3.0 / 3600.0,
       (49.0 + 59.0 / 60.0) + 54.0 / 3600.0},
      // Corner order: refused, but the corners are stored already.
      {"equal longitudes", {"5", "", "", "", "50", "", "", ""}, {"5", "", "", "", "49", "", "", ""}, NOT_EAST,
       ERROR, true, 5.0, 50.0, 5.0, 49.0},
      {"equal latitudes", {"5", "", "", "", "50", "", "", ""}, {"6", "", "", "", "50", "", "", ""}, NOT_SOUTH,
       ERROR, true, 5.0, 50.0, 6.0, 50.0},
      {"wrong both ways", {"6", "", "", "", "49", "", "", ""}, {"5", "", "", "", "50", "", "", ""}, NOT_EAST,
       ERROR, true, 6.0, 49.0, 5.0, 50.0},
      {"170 E to 170 W", {"170", "E", "", "", "10", "", "", ""}, {"170", "W", "", "", "9", "", "", ""}, NOT_EAST,
       ERROR, true, 170.0, 10.0, -170.0, 9.0},
      {"north of the equator to south", {"5", "", "", "", "1", "N", "", ""}, {"6", "", "", "", "1", "S", "", ""},
       nullptr, nullptr, true, 5.0, 1.0, 6.0, -1.0},
      // Field failures of each corner, with that corner's captions.
      {"upper left missing", {"", "", "", "", "50", "", "", ""}, {"6", "", "", "", "49", "", "", ""},
       "Longitude (degrees) is missing!", MISSING_UL, false},
      {"lower right missing", {"5", "", "", "", "50", "", "", ""}, {"6", "", "", "", "", "", "", ""},
       "Latitude (degrees) is missing!", MISSING_LR, false},
      {"upper left range", {"5", "", "", "", "50", "", "", "77"}, {"6", "", "", "", "49", "", "", ""},
       "Only latitude seconds from 0 to 59 are permissible!", ERROR_UL, false},
      {"lower right reading", {"5", "", "", "", "50", "", "", ""}, {"6", "", "2a", "", "49", "", "", ""},
       "Error in longitude (minutes)!", ERROR_LR, false},
      {"lower right range", {"5", "", "", "", "50", "", "", ""}, {"181", "", "", "", "49", "", "", ""},
       "Only longitudes from 0 to 180 degrees are permissible!", ERROR_LR, false},
      {"upper left before lower right", {"5", "", "", "", "50", "", "", "x"}, {"", "", "", "", "", "", "", ""},
       "Error in latitude (seconds)!", ERROR_UL, false},
      {"fields before order", {"6", "", "", "", "49", "", "", ""}, {"5", "", "", "60", "50", "", "", ""},
       "Only longitude seconds from 0 to 59 are permissible!", ERROR_LR, false},
  };
  for (const RectangleCase& c : cases) {
    SCOPED_TRACE(c.name);
    Session s(DATA_INPUT_RECTANGLE);
    s.fill(FIRST_SET, c.upper_left);
    s.fill(SECOND_SET, c.lower_right);
    s.fake.click(s.dialog, RECT_OK);
    if (c.message == nullptr) {
      EXPECT_TRUE(s.fake.messages.empty());
      EXPECT_TRUE(s.closed());
      EXPECT_EQ(s.state().return_value, 1);
    } else {
      EXPECT_EQ(s.fake.messages, (std::vector<ShownMessage>{{c.message, c.caption, 0}}));
      EXPECT_FALSE(s.closed());
    }
    if (c.stored) {
      EXPECT_EQ(s.values.LON1, c.lon1);
      EXPECT_EQ(s.values.LAT1, c.lat1);
      EXPECT_EQ(s.values.LON2, c.lon2);
      EXPECT_EQ(s.values.LAT2, c.lat2);
    } else {
      EXPECT_EQ(s.values.LON1, UNSET1);
      EXPECT_EQ(s.values.LAT1, UNSET2);
      EXPECT_EQ(s.values.LON2, UNSET3);
      EXPECT_EQ(s.values.LAT2, UNSET4);
    }
  }
}

// An accepted point shows "0" in its empty number fields; letters stay
// empty. A refused rectangle shows "0" only in the fields read before the
// failure; the ones behind it stay as they were.
TEST(ManageInputRectangle, OkShowsZeroOnlyInFieldsReadBeforeAFailure) {
  struct Case {
    int32_t dialog;
    SetTexts upper_left, lower_right;
    SetTexts shown_upper_left, shown_lower_right;
  };
  const Case cases[] = {
      {DATA_INPUT_POINT, {"5", "", "", "", "50", "", "", ""}, {}, {"5", "", "0", "0", "50", "", "0", "0"}, {}},
      {DATA_INPUT_RECTANGLE, {"5", "", "", "", "50", "", "", ""}, {"6", "", "", "", "", "", "", ""},
       {"5", "", "0", "0", "50", "", "0", "0"}, {"6", "", "0", "0", "", "", "", ""}},
      {DATA_INPUT_RECTANGLE, {"5", "", "", "", "50", "", "60", ""}, {"", "", "", "", "", "", "", ""},
       {"5", "", "0", "0", "50", "", "60", ""}, {"", "", "", "", "", "", "", ""}},
  };
  for (const Case& c : cases) {
    Session s(c.dialog);
    s.fill(FIRST_SET, c.upper_left);
    const bool rectangle = c.dialog == DATA_INPUT_RECTANGLE;
    if (rectangle) s.fill(SECOND_SET, c.lower_right);
    s.fake.click(s.dialog, rectangle ? RECT_OK : POINT_OK);
    EXPECT_EQ(s.closed(), !rectangle);
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(s.text(FIRST_SET[i]), c.shown_upper_left[i]) << FIRST_SET[i];
      if (rectangle) {
        EXPECT_EQ(s.text(SECOND_SET[i]), c.shown_lower_right[i]) << SECOND_SET[i];
      }
    }
  }
}

}  // namespace
}  // namespace kavlin
