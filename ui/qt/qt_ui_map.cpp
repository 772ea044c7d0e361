// What the main window's map shows: the database, the area, the tile at
// work and the changes.
#include "ui/qt/map_view.h"
#include "ui/qt/qt_ui_services.h"

namespace kavlin {

void QtUiServices::SHOW_DATABASE(const DatabaseShown& database) {
  window_.textArea()->map()->showDatabase(database);
  window_.textArea()->setStatus(to_qt(database.status));
}

void QtUiServices::SHOW_AREA(const AreaShown& area) {
  window_.textArea()->map()->showArea(area);
  window_.textArea()->setStatus(to_qt(area.status), area.count_points);
}

void QtUiServices::SHOW_RUN_START() { window_.textArea()->map()->showRunStart(); }

void QtUiServices::SHOW_TILE_AT_WORK(const std::string& name) { window_.textArea()->map()->showTileAtWork(name); }

void QtUiServices::SHOW_CHANGES(int32_t mod_kind) { window_.textArea()->map()->showChanges(mod_kind); }

}  // namespace kavlin
