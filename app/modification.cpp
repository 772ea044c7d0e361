#include "app/modification.h"

#include <functional>
#include <string>

#include "tiles/engine.h"
#include "tiles/safe_run.h"

namespace kavlin {

void RECOVER_AT_START(UiServices& ui, FileServices& files, char drive) {
  // A modification running now owns its journal; should it not end, the
  // next run takes the lock and rolls the journal back. The lock is held
  // until the user has read the outcome.
  const DatabaseLock lock(files, drive, false);
  const Recovery recovery = recover_at_start(files, drive, lock);
  if (recovery.state == Recovery::State::None) return;
  ui.MESSAGE_BOX(recovery.notice.text, recovery.notice.caption, 0);
  if (recovery.state == Recovery::State::Failed) ui.STOP_PROGRAM(0);
}

void APPLY_MODIFICATION_SAFELY(UiServices& ui, FileServices& files, ProgramValues& values) {
  const char drive = values.DRIVE_LETTER;
  // The map's reading under the shared lock ends before the run waits for
  // the database: the run must never wait for its own map.
  ui.SHOW_RUN_START();
  const DatabaseAccess access(files, drive, Access::Modify, [&ui](const std::function<bool()>& try_again) {
    ui.WAIT_UNTIL(WAITING_TEXT, try_again);
  });
  for (const Notice& notice : access.notices()) ui.MESSAGE_BOX(notice.text, notice.caption, 0);
  if (!access.ok()) ui.STOP_PROGRAM(0);
  // The progress display shows itself only when the work lasts; it is gone
  // before the closing message.
  EngineOptions options;
  options.progress = [&ui](int32_t done, int32_t total) { ui.SHOW_PROGRESS(done, total); };
  options.writing = [&ui](const std::string& tile) { ui.SHOW_TILE_AT_WORK(tile); };
  const SafeRunResult result = run_journaled(files, drive, values.AREA, values.MOD_KIND, options);
  ui.END_PROGRESS();
  // The changed points stand out behind the completion message.
  if (result.engine.outcome == EngineOutcome::Done) ui.SHOW_CHANGES(values.MOD_KIND);
  for (const Notice& notice : result.notices) ui.MESSAGE_BOX(notice.text, notice.caption, 0);
  if (result.engine.outcome == EngineOutcome::Done) return;
  ui.STOP_PROGRAM(0);
}

}  // namespace kavlin
