#include "app/driver.h"

#include <memory>

#include "app/map_source.h"
#include "app/modification.h"
#include "app/testfile.h"
#include "coords/MANAGEINPUT.h"
#include "filesel/File_select.h"
#include "polygon/area_rules.h"
#include "polygon/rectangle.h"
#include "base/dialog_templates.h"
#include "base/fixed_text.h"

namespace kavlin {

namespace {

// The controls that get MANAGEINPUT, in the order they are attached.
const std::vector<int32_t> SELECTION_CONTROLS = {MODE_POINT, MODE_RECTANGLE, MODE_POLYGON};
const std::vector<int32_t> POINT_CONTROLS = {LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC, LAT1_DEG,
                                             LAT1_NS,  LAT1_MIN, LAT1_SEC, POINT_OK};
const std::vector<int32_t> RECTANGLE_CONTROLS = {LON1_DEG, LON1_EW, LON1_MIN, LON1_SEC, LAT1_DEG, LAT1_NS,
                                                 LAT1_MIN, LAT1_SEC, LON2_DEG, LON2_EW, LON2_MIN, LON2_SEC,
                                                 LAT2_DEG, LAT2_NS,  LAT2_MIN, LAT2_SEC, RECT_OK};
const std::vector<int32_t> MODIFICATION_CONTROLS = {SET_SEA,  CLEAR_SEA,  SET_INLAND_WATER, CLEAR_INLAND_WATER,
                                                    SET_COASTAL_AREA, CLEAR_COASTAL_AREA, SET_TOWN, CLEAR_TOWN,
                                                    SET_TREES, CLEAR_TREES};

// Shows a refusal and ends the program.
void refuse(UiServices& ui, const Notice& notice) {
  ui.MESSAGE_BOX(notice.text, notice.caption, 0);
  ui.STOP_PROGRAM(0);
}

// A point or rectangle is refused at the same moment as a polygon: before
// the kind of modification is asked for. The cell count comes first, then
// the equator. The map shows the area, refused or not, before the verdict.
void check_entered_area(UiServices& ui, ProgramValues& values) {
  const Extent extent = AREA_EXTENT(values.AREA);
  const Notice refusal = check_area(extent);
  ui.SHOW_AREA(describe_area(values, extent, refusal));
  if (!refusal.empty()) refuse(ui, refusal);
}

// A rectangle refused for its size is shown as its ring.
void show_too_big_rectangle(UiServices& ui, const ProgramValues& values, const Notice& too_big) {
  auto shown = std::make_unique<ProgramValues>(values);
  fill_rectangle_ring(shown->AREA, values.LON1, values.LAT1, values.LON2, values.LAT2);
  ui.SHOW_AREA(describe_area(*shown, AREA_EXTENT(shown->AREA), too_big));
}

}  // namespace

int32_t RUN_DIALOG(UiServices& ui, ProgramValues& values, int32_t template_id, const std::vector<int32_t>& controls) {
  Dialog dialog;
  if (!ui.DIALOG_INIT(template_id, dialog)) {
    refuse(ui, dialog_not_found(template_id));
  }
  if (template_id != POLY) ui.DIALOG_SET_TEXT(dialog, VERSION_LABEL, "V   " + values.VERSION_TEXT);
  for (const int32_t control : controls) ui.DIALOG_SET_CALLBACK(dialog, control, manageinput_callback(ui, values));
  const int32_t result = ui.DIALOG_RUN_MODAL(dialog);
  ui.DIALOG_RELEASE(dialog);
  if (result == IDCANCEL) ui.STOP_PROGRAM(0);
  return result;
}

void MODIFICATION_DRIVER(UiServices& ui, FileServices& files, ProgramValues& values) {
  ui.SHOW_DATABASE(describe_database(files, values.DRIVE_LETTER));
  values.AREA_MODE = AREA_POINT;
  RUN_DIALOG(ui, values, DATA_SELECTION, SELECTION_CONTROLS);

  if (values.AREA_MODE == AREA_POINT) {
    RUN_DIALOG(ui, values, DATA_INPUT_POINT, POINT_CONTROLS);
    fill_point(values.AREA, values.LON1, values.LAT1);
    check_entered_area(ui, values);
  } else if (values.AREA_MODE == AREA_RECTANGLE) {
    RUN_DIALOG(ui, values, DATA_INPUT_RECTANGLE, RECTANGLE_CONTROLS);
    const Notice too_big = rectangle_size_notice(values.LON1, values.LAT1, values.LON2, values.LAT2);
    if (!too_big.empty()) {
      show_too_big_rectangle(ui, values, too_big);
      refuse(ui, too_big);
    }
    fill_rectangle_ring(values.AREA, values.LON1, values.LAT1, values.LON2, values.LAT2);
    check_entered_area(ui, values);
  } else if (values.AREA_MODE == AREA_POLYGON) {
    RUN_DIALOG(ui, values, POLY, {});
    bool cancelled = false;
    FILE_SELECT(ui, files, values, cancelled, pad_field(POLYGON_CHOOSER_TITLE, CHOOSER_TITLE_LENGTH));
    if (cancelled) ui.STOP_PROGRAM(0);
    Extent extent;
    TESTFILE(ui, files, values, extent.LON_MIN, extent.LON_MAX, extent.LAT_MIN, extent.LAT_MAX,
             [&](const PolygonCheck& check) { ui.SHOW_AREA(describe_area(values, check.extent, check.notice)); });
  }

  values.MOD_KIND = 1;
  RUN_DIALOG(ui, values, MODIFICATION, MODIFICATION_CONTROLS);
  APPLY_MODIFICATION_SAFELY(ui, files, values);
}

}  // namespace kavlin
