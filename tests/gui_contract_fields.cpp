// The dialog-services contract (see gui_contract.cpp) on lists, fields and
// radio buttons, run on the scripted fake and on the Qt services: lists
// filled and refilled, the selected entry, edit fields read back
// blank-padded, an emptied field, radio buttons on their preset, and values
// set before the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gui_contract_support.h"
#include "base/dialog_templates.h"
#include "base/fixed_text.h"

namespace kavlin::testing {
namespace {

TYPED_TEST_SUITE(Contract, Backends, BackendNames);

TYPED_TEST(Contract, ListsAreFilledThroughItemCountAndEntriesAndRefilledQuietly) {
  Dialog& d = this->load(F_S_Box);
  std::vector<std::string> picked;
  int callbacks = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, DIR_LISTBOX, [&](Dialog& dialog, int32_t, int32_t) {
    ++callbacks;
    picked.push_back(this->text(dialog, DIR_LISTBOX, 60, SELECTED_TEXT));
    // Entering a directory refills the list from inside its callback.
    this->ui().DIALOG_SET_INT(dialog, DIR_LISTBOX, 0, ITEM_COUNT);
    this->fill(dialog, DIR_LISTBOX, {"..", "SUB", "THIRD"});
  }));
  this->fill(d, DIR_LISTBOX, {"gamma   ", "alpha", "beta"});
  EXPECT_EQ(this->backend.entries(d, DIR_LISTBOX), (std::vector<std::string>{"gamma", "alpha", "beta"}));
  EXPECT_EQ(this->text(d, DIR_LISTBOX, 8, 1), "gamma   ");
  EXPECT_EQ(this->text(d, DIR_LISTBOX, 60, SELECTED_TEXT), std::string(60, ' '));  // nothing selected
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta", 4));
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta", 0));
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(d, DIR_LISTBOX, "delta"));
  ASSERT_TRUE(this->ui().DIALOG_SET_INT(d, DIR_LISTBOX, 0, ITEM_COUNT));
  EXPECT_TRUE(this->backend.entries(d, DIR_LISTBOX).empty());
  ASSERT_TRUE(this->ui().DIALOG_SET_INT(d, DIR_LISTBOX, 2, ITEM_COUNT));
  EXPECT_EQ(this->backend.entries(d, DIR_LISTBOX), (std::vector<std::string>{"", ""}));
  this->fill(d, DIR_LISTBOX, {"E006", "E007", "POLYGONS"});
  std::vector<std::string> after_refill;
  std::string selected_after_refill;
  this->backend.run(d, [&] {
    this->backend.select(d, DIR_LISTBOX, 3);
    this->backend.settle();
    after_refill = this->backend.entries(d, DIR_LISTBOX);
    selected_after_refill = this->text(d, DIR_LISTBOX, 60, SELECTED_TEXT);
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(picked, (std::vector<std::string>{pad_field("POLYGONS", 60)}));
  EXPECT_EQ(after_refill, (std::vector<std::string>{"..", "SUB", "THIRD"}));
  EXPECT_EQ(selected_after_refill, std::string(60, ' '));
}

TYPED_TEST(Contract, SelectedTextIsTheSelectedEntryBlankPadded) {
  Dialog& d = this->load(F_S_Box);
  this->fill(d, DRIVE_LISTBOX, {"A", "C", "D"});
  this->fill(d, FILE_LISTBOX, {"AREA1.TXT", "LUXEMBOURG_BORDER.TXT"});
  std::vector<std::string> seen;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, FILE_LISTBOX, [&](Dialog& dialog, int32_t, int32_t) {
    seen.push_back(this->text(dialog, FILE_LISTBOX, 60, SELECTED_TEXT));
  }));
  const int32_t result = this->backend.run(d, [&] {
    this->backend.select(d, FILE_LISTBOX, 2);
    this->backend.select(d, DRIVE_LISTBOX, 2);
    this->backend.click(d, IDOK);
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(seen, (std::vector<std::string>{pad_field("LUXEMBOURG_BORDER.TXT", 60)}));
  EXPECT_EQ(this->text(d, DRIVE_LISTBOX, 1, SELECTED_TEXT), "C");
  EXPECT_EQ(this->text(d, FILE_LISTBOX, 10, SELECTED_TEXT), "LUXEMBOURG");  // cut to the field
}

TYPED_TEST(Contract, EditFieldsReadBackBlankPaddedAndUpperCaseFieldsHoldCapitals) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  std::vector<std::string> seen;
  for (int32_t id : {LON1_DEG, LON1_EW, LAT1_NS}) {
    ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, [&](Dialog& dialog, int32_t control, int32_t) {
      seen.push_back(this->text(dialog, control, 4));
    }));
  }
  EXPECT_FALSE(this->ui().DIALOG_SET_INT(d, LON1_DEG, 3, ITEM_COUNT));  // not a list
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_NS, "s"));  // the program's own write, too
  EXPECT_EQ(this->text(d, LAT1_NS, 2), "S ");
  this->backend.run(d, [&] {
    this->backend.type(d, LON1_DEG, "e12");  // any character: the handler refuses, not the field
    this->backend.type(d, LON1_EW, "e");
    this->backend.type(d, LAT1_NS, "n");
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"e12 ", "E   ", "N   "}));
  EXPECT_EQ(this->text(d, LON1_DEG, 5), "e12  ");
  EXPECT_EQ(this->text(d, LON1_DEG, 2), "e1");
  EXPECT_EQ(this->backend.shown(d, LON1_EW), "E");
  EXPECT_EQ(this->text(d, LAT1_NS, 1), "N");
  EXPECT_EQ(this->text(d, LAT1_SEC, 3), "   ");
}

TYPED_TEST(Contract, EmptyingAnEmptyFieldIsNoChange) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  std::vector<int32_t> fired;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, LON1_MIN, this->record(fired)));
  this->backend.run(d, [&] {
    this->backend.type(d, LON1_MIN, "");
    this->backend.type(d, LON1_MIN, "5");
    this->backend.type(d, LON1_MIN, "");
    this->backend.settle();
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(fired, (std::vector<int32_t>{LON1_MIN, LON1_MIN}));
}

// The first radio button of a group shows the preset without calling a
// handler; a click leaves only that button selected, the preset one again
// included, and calls its handler.
TYPED_TEST(Contract, RadioButtonsStartOnThePresetAndAClickLeavesOnlyThatOne) {
  struct Case {
    int32_t dialog;
    std::vector<int32_t> radios;
    std::vector<int32_t> clicks;
  };
  const std::vector<int32_t> kinds{SET_SEA,  CLEAR_SEA,  SET_COASTAL_AREA, CLEAR_COASTAL_AREA, SET_INLAND_WATER,
                                   CLEAR_INLAND_WATER, SET_TOWN, CLEAR_TOWN, SET_TREES, CLEAR_TREES};
  for (const Case& c : {Case{DATA_SELECTION, {MODE_POINT, MODE_RECTANGLE, MODE_POLYGON}, {MODE_POLYGON, MODE_POINT}},
                        Case{MODIFICATION, kinds,
                             {CLEAR_TREES, SET_SEA, SET_TOWN, CLEAR_SEA, CLEAR_TREES, SET_INLAND_WATER,
                              CLEAR_COASTAL_AREA, SET_TREES, CLEAR_INLAND_WATER, SET_COASTAL_AREA, CLEAR_TOWN,
                              SET_TOWN}}}) {
    Dialog& d = this->load(c.dialog);
    std::vector<int32_t> fired;
    for (int32_t id : c.radios) ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, this->record(fired)));
    auto selected = [&] {
      std::vector<int32_t> now;
      for (int32_t r : c.radios) {
        if (this->backend.checked(d, r)) now.push_back(r);
      }
      return now;
    };
    std::vector<std::vector<int32_t>> seen;
    this->backend.run(d, [&] {
      this->backend.settle();
      seen.push_back(selected());
      for (int32_t id : c.clicks) {
        this->backend.click(d, id);
        seen.push_back(selected());
      }
      this->backend.click(d, IDOK);
    });
    ASSERT_EQ(seen.size(), c.clicks.size() + 1);
    EXPECT_EQ(seen[0], (std::vector<int32_t>{c.radios.front()})) << c.dialog;
    for (std::size_t i = 0; i < c.clicks.size(); ++i) {
      EXPECT_EQ(seen[i + 1], (std::vector<int32_t>{c.clicks[i]})) << c.dialog << " click " << i;
    }
    EXPECT_EQ(fired, c.clicks);
  }
}

TYPED_TEST(Contract, ValuesSetBeforeTheRunAreShownWithoutTrailingBlanks) {
  Dialog& d = this->load(DATA_SELECTION);
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, VERSION_LABEL, " 1.01   "));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, IDCANCEL, "Stop & go"));
  std::string version, cancel;
  this->backend.run(d, [&] {
    version = this->backend.shown(d, VERSION_LABEL);
    cancel = this->backend.shown(d, IDCANCEL);
    this->backend.click(d, IDOK);
  });
  EXPECT_EQ(version, " 1.01");
  EXPECT_EQ(cancel, "Stop & go");
  EXPECT_EQ(this->text(d, VERSION_LABEL, 8), " 1.01   ");
  EXPECT_EQ(this->text(d, IDCANCEL, 10), "Stop & go ");
}

}  // namespace
}  // namespace kavlin::testing
