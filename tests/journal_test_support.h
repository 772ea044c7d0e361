// The run journal's tests on the four corner tiles: the editor's
// modification on any file services, with the messages it shows, and
// record writes one by one so that each can fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "app/modification.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"

namespace kavlin::testing {

class JournalTest : public CornerTilesTest {
 protected:
  ProgramValues values(int32_t kind = 1) const {
    ProgramValues v;
    v.DRIVE_LETTER = 'C';
    v.MOD_KIND = kind;
    v.AREA = corner_rectangle();
    return v;
  }
  std::filesystem::path kavlin_folder() const { return db.drive_root() / "KAVLIN"; }
  bool journal_left() const { return std::filesystem::exists(kavlin_folder() / "JOURNAL"); }

  // The editor's modification on `files`; the messages it shows and
  // whether it stopped the program.
  std::vector<ShownMessage> editor_run(FileServices& files, bool& stopped, int32_t kind = 1) {
    FakeUiServices ui;
    ProgramValues v = values(kind);
    stopped = false;
    try {
      APPLY_MODIFICATION_SAFELY(ui, files, v);
    } catch (const ProgramStopped& stop) {
      stopped = stop.code == 0;
    }
    return ui.messages;
  }
};

// Record writes one by one, so that each can fail.
inline constexpr unsigned BY_RECORD = FaultFiles::RECORD_BY_RECORD;

}  // namespace kavlin::testing
