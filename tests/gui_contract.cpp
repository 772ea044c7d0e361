// One contract for the dialog services, run on both implementations: the
// scripted fake that the handler tests use and the Qt services on real
// widgets. A user action is a real click, key press or paste on the Qt side
// and the fake's click/type/select/escape on the other, so a handler test
// written on the fake relies on nothing the real dialogs do not do. Here:
// how dialogs end and what acts in them (push buttons, other controls,
// callbacks, unknown ids, the program's own writes, Escape, the map's calls,
// the release); lists, fields and radio buttons are in
// gui_contract_fields.cpp, the backends in gui_contract_support.h.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/fake_ui_services.h"
#include "tests/gui_contract_support.h"
#include "base/dialog_templates.h"

namespace kavlin::testing {
namespace {

TYPED_TEST_SUITE(Contract, Backends, BackendNames);

TYPED_TEST(Contract, PushButtonsWithoutCallbackEndTheDialogWithTheirId) {
  struct Case {
    int32_t dialog;
    int32_t button;
  };
  for (const Case c : {Case{DATA_SELECTION, IDOK}, Case{DATA_SELECTION, IDCANCEL}, Case{DATA_INPUT_POINT, POINT_OK},
                       Case{DATA_INPUT_RECTANGLE, RECT_OK}, Case{POLY, IDOK}, Case{MODIFICATION, IDCANCEL},
                       Case{F_S_Box, BACK_BUTTON}, Case{F_S_Box, IDOK}}) {
    Dialog& d = this->load(c.dialog);
    bool open_after_click = true;
    const int32_t result = this->backend.run(d, [&] {
      this->backend.click(d, c.button);
      open_after_click = this->backend.open(d);
    });
    EXPECT_EQ(result, c.button) << c.dialog;
    EXPECT_FALSE(open_after_click) << c.dialog;
  }
}

TYPED_TEST(Contract, OtherControlsHaveNoActionOfTheirOwn) {
  auto& b = this->backend;
  Dialog& selection = this->load(DATA_SELECTION);
  Dialog& point = this->load(DATA_INPUT_POINT);
  Dialog& chooser = this->load(F_S_Box);
  this->fill(chooser, FILE_LISTBOX, {"A.TXT", "B.TXT"});
  const std::vector<std::pair<Dialog*, std::function<void()>>> acts{
      {&selection, [&] { b.click(selection, MODE_POLYGON); }},
      {&point, [&] { b.type(point, LON1_DEG, "12"); }},
      {&chooser, [&] { b.select(chooser, FILE_LISTBOX, 2); }}};
  for (const auto& [d, act] : acts) {
    bool open = false;
    EXPECT_EQ(b.run(*d,
                    [&] {
                      act();
                      b.settle();
                      open = b.open(*d);
                      b.click(*d, IDCANCEL);
                    }),
              IDCANCEL);
    EXPECT_TRUE(open) << d->template_id;
  }
}

TYPED_TEST(Contract, ACallbackOnAPushButtonEndsTheDialogOnlyThroughReturnAndExit) {
  Dialog& d = this->load(DATA_INPUT_POINT);
  int clicks = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, POINT_OK, [&](Dialog& dialog, int32_t control, int32_t) {
    EXPECT_EQ(control, POINT_OK);
    if (++clicks == 2) {
      this->ui().DIALOG_SET_RETURN(dialog, 1);
      this->ui().DIALOG_EXIT(dialog);
    }
  }));
  bool open_after_first = false;
  bool open_after_second = true;
  const int32_t result = this->backend.run(d, [&] {
    this->backend.click(d, POINT_OK);
    this->backend.settle();
    open_after_first = this->backend.open(d);
    this->backend.click(d, POINT_OK);
    open_after_second = this->backend.open(d);
  });
  EXPECT_TRUE(open_after_first);
  EXPECT_FALSE(open_after_second);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(result, 1);
}

TYPED_TEST(Contract, UnknownControlIdsAreIgnored) {
  Dialog& selection = this->load(DATA_SELECTION);
  Dialog& poly = this->load(POLY);
  // 1000 is a field of the coordinate dialogs, not of DATA_SELECTION; POLY
  // has no version label.
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(selection, LON1_DEG, "12"));
  EXPECT_FALSE(this->ui().DIALOG_SET_INT(selection, LON1_DEG, 3, ITEM_COUNT));
  EXPECT_FALSE(this->ui().DIALOG_SET_CALLBACK(selection, LON1_DEG, [](Dialog&, int32_t, int32_t) {}));
  EXPECT_EQ(this->text(selection, LON1_DEG, 5), "     ");
  EXPECT_FALSE(this->ui().DIALOG_SET_TEXT(poly, VERSION_LABEL, " 1.01"));
  EXPECT_EQ(this->text(poly, VERSION_LABEL, 3), "   ");
  // The dialogs still work.
  EXPECT_EQ(this->backend.run(poly, [&] { this->backend.click(poly, IDOK); }), IDOK);
}

TYPED_TEST(Contract, TheProgramsOwnWritesCallNoHandler) {
  Dialog& d = this->load(DATA_INPUT_RECTANGLE);
  std::vector<int32_t> fired;
  for (int32_t id : {LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC, LAT1_DEG, LAT1_NS, LAT1_MIN, LAT1_SEC, LON2_DEG,
                     LON2_EW, LAT2_NS, RECT_OK}) {
    ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, id, this->record(fired)));
  }
  // A field's own callback rewrites it and others, as the coordinate
  // checks do with a wrong character.
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, LON1_DEG, [&](Dialog& dialog, int32_t control, int32_t) {
    fired.push_back(control);
    this->ui().DIALOG_SET_TEXT(dialog, LON1_DEG, "1");
    this->ui().DIALOG_SET_TEXT(dialog, LON1_EW, "E");
    this->ui().DIALOG_SET_TEXT(dialog, LAT1_NS, "");
    this->ui().DIALOG_SET_TEXT(dialog, VERSION_LABEL, "changed");
  }));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_NS, "N"));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LON1_MIN, "30"));
  ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, RECT_OK, "OK"));
  std::vector<int32_t> fired_before_cancel;
  this->backend.run(d, [&] {
    this->backend.settle();
    this->backend.type(d, LON1_DEG, "1x");
    this->backend.settle();
    ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LAT1_DEG, "45"));
    ASSERT_TRUE(this->ui().DIALOG_SET_TEXT(d, LON2_EW, "W"));
    this->backend.settle();
    fired_before_cancel = fired;
    this->backend.click(d, IDCANCEL);
  });
  EXPECT_EQ(fired_before_cancel, (std::vector<int32_t>{LON1_DEG}));
  EXPECT_EQ(this->backend.shown(d, LON1_DEG), "1");
  EXPECT_EQ(this->backend.shown(d, LON1_EW), "E");
  EXPECT_EQ(this->backend.shown(d, LAT1_NS), "");
  EXPECT_EQ(this->backend.shown(d, VERSION_LABEL), "changed");
  EXPECT_EQ(this->backend.shown(d, LON1_MIN), "30");
  EXPECT_EQ(this->backend.shown(d, LAT1_DEG), "45");
}

TYPED_TEST(Contract, EscapeActsAsCancel) {
  for (int32_t id : {DATA_SELECTION, DATA_INPUT_POINT, DATA_INPUT_RECTANGLE, POLY, MODIFICATION, F_S_Box}) {
    Dialog& d = this->load(id);
    EXPECT_EQ(this->backend.run(d, [&] { this->backend.escape(d); }), IDCANCEL) << id;
  }
  // Escape is a click on Cancel: a callback on Cancel decides.
  Dialog& d = this->load(POLY);
  int calls = 0;
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, IDCANCEL, [&](Dialog& dialog, int32_t control, int32_t) {
    ++calls;
    EXPECT_EQ(control, IDCANCEL);
    this->ui().DIALOG_SET_RETURN(dialog, 55);
    this->ui().DIALOG_EXIT(dialog);
  }));
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.escape(d); }), 55);
  EXPECT_EQ(calls, 1);
}

// The map's calls draw and return: they open nothing, and a dialog run
// between them (the kind dialog after SHOW_AREA) behaves as without them.
TYPED_TEST(Contract, MapCallsLeaveTheDialogsAlone) {
  DatabaseShown database;
  database.tiles = {{7, 49, 3, "E007N49.33M"}, {7, 50, 6, "E007N50.63M"}};
  this->ui().SHOW_DATABASE(database);
  AreaShown area;
  area.lon = {7.5};
  area.lat = {49.5};
  area.extent = {7.5, 7.5, 49.5, 49.5};
  area.tiles = {database.tiles[0]};
  area.status = "a point";
  this->ui().SHOW_AREA(area);
  Dialog& d = this->load(MODIFICATION);
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.click(d, IDOK); }), IDOK);
  this->ui().SHOW_RUN_START();
  this->ui().SHOW_TILE_AT_WORK("E007N49.33M");
  this->ui().SHOW_CHANGES(1);
  Dialog& next = this->load(DATA_SELECTION);
  EXPECT_EQ(this->backend.run(next, [&] { this->backend.escape(next); }), IDCANCEL);
}

TYPED_TEST(Contract, ReleaseFreesTheDialogAlsoFromInsideItsOwnCallback) {
  Dialog d;
  ASSERT_TRUE(this->ui().DIALOG_INIT(DATA_SELECTION, d));
  this->ui().DIALOG_RELEASE(d);
  EXPECT_EQ(d.state, nullptr);
  EXPECT_EQ(d.template_id, 0);
  // Loaded again, and released by a callback during the run.
  ASSERT_TRUE(this->ui().DIALOG_INIT(MODIFICATION, d));
  EXPECT_EQ(d.template_id, MODIFICATION);
  ASSERT_TRUE(this->ui().DIALOG_SET_CALLBACK(d, IDOK, [&](Dialog& dialog, int32_t, int32_t) {
    this->ui().DIALOG_SET_RETURN(dialog, 31);
    this->ui().DIALOG_RELEASE(dialog);
  }));
  EXPECT_EQ(this->backend.run(d, [&] { this->backend.click(d, IDOK); }), 31);
  EXPECT_EQ(d.state, nullptr);
  // A missing template is not found.
  EXPECT_FALSE(this->ui().DIALOG_INIT(104, d));
  EXPECT_EQ(d.state, nullptr);
}

// The fake refuses what no user can do: act on a dialog once it has ended.
TEST(FakeDialogs, NoActionAfterTheDialogHasEnded) {
  FakeUiServices ui;
  Dialog d;
  ASSERT_TRUE(ui.DIALOG_INIT(DATA_INPUT_POINT, d));
  ui.dialog_scripts.push_back([](FakeUiServices& fake, Dialog& dialog) -> std::optional<int32_t> {
    fake.click(dialog, POINT_OK);
    EXPECT_THROW(fake.type(dialog, LON1_DEG, "5"), std::logic_error);
    EXPECT_THROW(fake.click(dialog, IDCANCEL), std::logic_error);
    EXPECT_THROW(fake.escape(dialog), std::logic_error);
    return std::nullopt;
  });
  EXPECT_EQ(ui.DIALOG_RUN_MODAL(d), POINT_OK);
  EXPECT_THROW(ui.click(d, IDCANCEL), std::logic_error);
  // What the dialog shows can still be read.
  EXPECT_EQ(ui.control(d, POINT_OK).text, "OK");
}

}  // namespace
}  // namespace kavlin::testing
