// The run journal: every failure after writing began leaves every tile as
// before, a killed run is rolled back at the next start, a journal that
// cannot be removed is said to stay, held files are written group by group
// after their entries, two names of one file are refused, the editor waits
// while another holds the database, and its runs enter the history.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/modification.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
#include "tests/journal_test_support.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/journaling_files.h"
#include "tiles/rollback.h"
#include "tiles/run_history.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using Rule = FaultFiles::Rule;
namespace call = testing::call;

TEST_F(JournalTest, EveryFailedWriteOrFlushLeavesEveryTileAsBefore) {
  // Writes in an uninterrupted run, and the state it leaves.
  FaultFiles counting(db.files().drives(), BY_RECORD);
  counting.log_calls(call::WRITE_SYNCED);
  bool stopped = false;
  ASSERT_EQ(editor_run(counting, stopped), (std::vector<ShownMessage>{{"All modifications are done!", "Info", 0}}));
  const int writes = counting.count(call::WRITE_RECORD);
  const int flushes = counting.count(call::FLUSH_FILE);
  const int journal_writes = counting.journal_appends();
  // The rectangle changes one record of each tile: only those are written.
  ASSERT_EQ(writes, 4);
  ASSERT_EQ(flushes, 4);
  // The entries of up to JOURNAL_GROUP_FILES files are written together.
  ASSERT_EQ(journal_writes, (4 + JOURNAL_GROUP_FILES - 1) / JOURNAL_GROUP_FILES);
  const Snapshot after = db.snapshot();
  ASSERT_FALSE(after == before);

  // Every 7th write and both ends (a run costs some 30 ms: 2 x 84 runs
  // stay within seconds), every flush, every journal write.
  std::vector<Rule> faults;
  for (int n = 1; n <= writes; n = n == writes ? writes + 1 : std::min(n + 7, writes)) {
    faults.push_back(Rule(call::WRITE_RECORD).nth(n));
    faults.push_back(Rule(call::WRITE_RECORD).nth(n).tear());
  }
  for (int n = 1; n <= flushes; ++n) faults.push_back(Rule(call::FLUSH_FILE).nth(n));
  for (int n = 1; n <= journal_writes; ++n) faults.push_back(Rule(call::WRITE_SYNCED).nth(n));
  for (const Rule& fault : faults) {
    SCOPED_TRACE(fault.text());
    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
    FaultFiles files(db.files().drives(), BY_RECORD, {fault});
    const std::vector<ShownMessage> shown = editor_run(files, stopped);
    ASSERT_TRUE(files.failed_file().has_value());
    EXPECT_TRUE(stopped);
    // The journal's own failure is a failed write of the first file it
    // was for: every tile has changed words, in the order of the tile list.
    const std::vector<std::string> order = {"E004N49.33M", "E004N50.63M", "E005N49.33M", "E005N50.63M"};
    const std::string tile =
        fault.calls == call::WRITE_SYNCED ? order.at((fault.first - 1) * JOURNAL_GROUP_FILES) : *files.failed_file();
    EXPECT_EQ(shown, (std::vector<ShownMessage>{{"Error writing record of file " + tile + "!", "Error", 0},
                                                {RESTORED_TEXT, "Info", 0}}));
    EXPECT_TRUE(db.snapshot() == before);
    EXPECT_FALSE(journal_left());
    EXPECT_EQ(files.open_count(), 0u);
  }
}

TEST_F(JournalTest, KilledRunIsRolledBackAtTheNextStart) {
  for (const int n : {1, 2, 3, 4}) {
    SCOPED_TRACE(n);
    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
    {
      FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).nth(n).kill()});
      ProgramValues v = values();
      FakeUiServices ui;
      EXPECT_THROW(APPLY_MODIFICATION_SAFELY(ui, files, v), Killed);
      files.CLOSE_ALL_FILES();
    }
    ASSERT_TRUE(journal_left());
    ASSERT_FALSE(db.snapshot() == before && n > 1);  // some records are new

    FakeUiServices ui;
    RECOVER_AT_START(ui, db.files(), 'C');
    EXPECT_EQ(ui.messages, (std::vector<ShownMessage>{{RECOVERED_TEXT, "Info", 0}}));
    EXPECT_TRUE(db.snapshot() == before);
    EXPECT_FALSE(journal_left());
    EXPECT_EQ(db.files().open_count(), 0u);
  }
}

TEST_F(JournalTest, EditorStartRollsBackRightAfterDriveDat) {
  {
    FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).nth(3).kill()});
    FakeUiServices ui;
    ProgramValues v = values();
    EXPECT_THROW(APPLY_MODIFICATION_SAFELY(ui, files, v), Killed);
  }
  testing::TempDir work;
  testing::write_file(work / "DRIVE.DAT", "C\n");
  testing::ScopedCwd cwd(work.path());
  FakeUiServices ui;
  ProgramValues v;
  KAVLIN_STARTUP(ui, db.files(), v);
  EXPECT_EQ(v.DRIVE_LETTER, 'C');
  EXPECT_EQ(ui.messages, (std::vector<ShownMessage>{{RECOVERED_TEXT, "Info", 0}}));
  EXPECT_TRUE(db.snapshot() == before);
  EXPECT_FALSE(journal_left());
}

TEST_F(JournalTest, FailedRollbackKeepsTheJournalForTheNextStart) {
  FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).from(3)});
  bool stopped = false;
  const std::vector<ShownMessage> shown = editor_run(files, stopped);
  EXPECT_TRUE(stopped);
  // Write 3 is E005N49's; the rollback fails at the first file it
  // rewrites.
  EXPECT_EQ(shown, (std::vector<ShownMessage>{{"Error writing record of file E005N49.33M!", "Error", 0},
                                              {rollback_failed_notice("E004N49.33M").text, "Error", 0}}));
  ASSERT_TRUE(journal_left());

  // The next run, or the next start, restores first.
  FakeUiServices ui;
  RECOVER_AT_START(ui, db.files(), 'C');
  EXPECT_EQ(ui.messages, (std::vector<ShownMessage>{{RECOVERED_TEXT, "Info", 0}}));
  EXPECT_TRUE(db.snapshot() == before);
}

// Memory that runs out in the middle of a run ends it as a failed write
// does: said, and every tile as before (rolled back at once, or at the
// next start when memory runs out in the rollback too).
TEST_F(JournalTest, MemoryThatRunsOutLeavesEveryTileAsBefore) {
  FaultFiles counting(db.files().drives(), BY_RECORD);
  ASSERT_EQ(run_journaled(counting, 'C', corner_rectangle(), 1).engine.outcome, EngineOutcome::Done);
  const int reads = counting.count(call::READ_RECORD);
  for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
  const ShownMessage no_memory{OUT_OF_MEMORY_TEXT, "Error", 0};
  const struct {
    const char* what;
    int read;  // the record read that runs out
    bool rollback_runs_out;
    bool written;  // tiles were written before it
    std::vector<ShownMessage> shown;
  } cases[] = {
      {"at the first read", 1, false, false, {no_memory}},
      {"at the last read", reads, false, true, {no_memory, {RESTORED_TEXT, "Info", 0}}},
      {"at the last read and in the rollback", reads, true, true,
       {no_memory,
        {"The database could not be restored: there is not enough memory! The journal KAVLIN\\JOURNAL is kept and "
         "rolled back at the next start (or by kavlin-apply --recover).",
         "Error", 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::READ_RECORD).nth(c.read).out_of_memory()});
    // Besides: memory runs out whenever the journal is read whole.
    if (c.rollback_runs_out) files.add(Rule(call::READ_WHOLE_FILE).on_file("JOURNAL").out_of_memory());
    bool stopped = false;
    EXPECT_EQ(editor_run(files, stopped), c.shown);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(files.count_at_fault(call::WRITE_RECORD) > 0, c.written);
    EXPECT_EQ(files.open_count(), 0u);
    EXPECT_EQ(journal_left(), c.rollback_runs_out);
    if (c.rollback_runs_out) {
      EXPECT_FALSE(db.snapshot() == before);
      EXPECT_EQ(recover_journal(db.files(), 'C').state, Recovery::State::Restored);
    }
    EXPECT_TRUE(db.snapshot() == before);
  }
}

TEST_F(JournalTest, StartThatCannotRollBackEndsTheProgram) {
  {
    FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).nth(3).kill()});
    FakeUiServices ui;
    ProgramValues v = values();
    EXPECT_THROW(APPLY_MODIFICATION_SAFELY(ui, files, v), Killed);
  }
  FaultFiles failing(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD)});
  FakeUiServices ui;
  EXPECT_THROW(RECOVER_AT_START(ui, failing, 'C'), ProgramStopped);
  EXPECT_EQ(ui.messages, (std::vector<ShownMessage>{{rollback_failed_notice("E004N49.33M").text, "Error", 0}}));
  EXPECT_TRUE(journal_left());
}

// A journal (or undo record) that cannot be removed once its tiles are
// restored (or undone) is reported as what it is: the tiles as they
// should be, the file still there, and no clean end; the next start rolls
// the journal back once more, changing no tile, and removes it.
TEST_F(JournalTest, AJournalThatCannotBeRemovedIsSaidToStay) {
  const std::string denied = std::strerror(EACCES);
  const std::string stays = " But the journal C:\\KAVLIN\\JOURNAL could not be removed: " + denied +
                            "! It stays behind: the next start (or kavlin-apply --recover) rolls it back once more, "
                            "which changes no tile, and removes it.";
  ASSERT_EQ(run_journaled(db.files(), 'C', corner_rectangle(), 1).engine.outcome, EngineOutcome::Done);
  const Snapshot after = db.snapshot();
  const std::string undo_record = testing::read_file(kavlin_folder() / "UNDO");
  struct Case {
    const char* what;
    std::vector<Rule> faults;  // the removals' among them
    std::function<std::vector<Notice>(FaultFiles&)> run;
    std::vector<std::string> notices;
    const Snapshot& end;  // the tiles after
    bool journal;         // left behind
  };
  const Rule removals = Rule(call::REMOVE_SYNCED).fail(EACCES);
  const Case cases[] = {
      {"the recovery of a killed run", {Rule(call::WRITE_RECORD).nth(3).kill(), removals},
       [&](FaultFiles& files) {
         EXPECT_THROW(run_journaled(files, 'C', corner_rectangle(), 9), Killed);
         return std::vector<Notice>{recover_journal(files, 'C').notice};
       },
       {std::string("Error: ") + RECOVERED_TEXT + stays}, after, true},
      {"the recovery of a journal that names no tile", {removals},
       [&](FaultFiles& files) {
         testing::write_file(kavlin_folder() / "JOURNAL", encode_journal_start({9}));
         return std::vector<Notice>{recover_journal(files, 'C').notice};
       },
       {std::string("Error: ") + NO_TILE_WRITTEN_TEXT + stays}, after, true},
      {"the restore after a failed write", {Rule(call::WRITE_RECORD).nth(2), removals},
       [&](FaultFiles& files) { return run_journaled(files, 'C', corner_rectangle(), 9).notices; },
       {"Error: Error writing record of file E004N50.63M!", std::string("Error: ") + RESTORED_TEXT + stays}, after,
       true},
      {"the undo, its journal kept: undone again", {removals},
       [&](FaultFiles& files) { return undo_last_modification(files, 'C', false).notices; },
       {"Error: The journal C:\\KAVLIN\\JOURNAL could not be removed: " + denied + "!",
        std::string("Error: ") + RESTORED_TEXT + stays},
       after, true},
      {"the undo, its record kept", {Rule(removals).from(2)},
       [&](FaultFiles& files) { return undo_last_modification(files, 'C', false).notices; },
       {"Info: The last modification is undone!",
        "Error: The undo record C:\\KAVLIN\\UNDO could not be removed: " + denied +
            "! It stays behind, naming words that are undone already: kavlin-apply --undo changes nothing with it, "
            "and the next modification replaces it."},
       before, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& [path, bytes] : after) testing::write_file(db.drive_root() / path, bytes);
    testing::write_file(kavlin_folder() / "UNDO", undo_record);
    FaultFiles files(db.files().drives(), BY_RECORD, c.faults);
    EXPECT_EQ(testing::notice_lines(c.run(files)), c.notices);
    files.CLOSE_ALL_FILES();
    Snapshot tiles = db.snapshot();
    tiles.erase("KAVLIN/JOURNAL");
    EXPECT_TRUE(tiles == c.end);
    EXPECT_EQ(journal_left(), c.journal);
    EXPECT_EQ(testing::read_file(kavlin_folder() / "UNDO"), undo_record);
    if (c.journal) {
      // The next start: no tile changes, the journal goes.
      const Recovery again = recover_journal(db.files(), 'C');
      EXPECT_NE(again.state, Recovery::State::Failed) << again.notice.text;
      EXPECT_TRUE(db.snapshot() == c.end);
      EXPECT_FALSE(journal_left());
    }
  }
}

// Files held two at a time: a group's entries go to the journal in one
// write before any of its files is written; when that write fails, the
// group's first file is named and neither of its files is written, while
// the group before stays written. Held files are closed in every case.
TEST_F(JournalTest, HeldFilesAreWrittenGroupByGroupAfterTheirEntries) {
  FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_SYNCED).nth(2)});
  JournalingFiles journaled(files, journal_path('C'), {1});
  journaled.hold_files(2);
  const std::vector<std::pair<int, int>> tiles = {{4, 49}, {4, 50}, {5, 49}, {5, 50}};
  std::vector<int32_t> flushed;
  for (const auto& [lon, lat] : tiles) {
    const std::string name = TILE_NAME(lon, lat);
    const int32_t length = TILE_ORIGIN(name).record_length();
    int32_t unit = 0;
    ASSERT_EQ(OPEN_TILE(journaled, unit, TILE_PATH('C', name), length), 0);
    std::vector<uint8_t> record(static_cast<std::size_t>(length));
    ASSERT_EQ(READ_BLOCK(journaled, unit, 2, record), 0);
    put_word(record, 0, static_cast<uint16_t>(get_word(record, 0) | 1));
    put_word(record, 2, static_cast<uint16_t>(get_word(record, 2) | 1));
    ASSERT_EQ(WRITE_BLOCK(journaled, unit, 2, record), 0);
    flushed.push_back(journaled.FLUSH_FILE(unit));
    EXPECT_EQ(journaled.CLOSE_FILE(unit), 0);
  }
  EXPECT_EQ(flushed, (std::vector<int32_t>{0, 0, 0, 5}));
  EXPECT_EQ(journaled.failed_tile(), "E005N49.33M");
  EXPECT_EQ(files.count(call::WRITE_SYNCED), 2);
  EXPECT_EQ(files.open_count(), 0u);
  const Snapshot after = db.snapshot();
  for (const auto& [lon, lat] : tiles) {
    const std::string path = (fs::path("KAVLIN") / TILE_NAME(lon, lat).substr(0, 4) / TILE_NAME(lon, lat)).string();
    EXPECT_EQ(after.at(path) == before.at(path), lon == 5) << path;
  }
  std::string bytes;
  ASSERT_EQ(db.files().READ_WHOLE_FILE(journal_path('C'), bytes), 0);
  const Journal journal = decode_journal(bytes);
  ASSERT_EQ(journal.files.size(), 2u);
  EXPECT_EQ(journal.files[1].tile_name(), "E004N50.63M");
}

TEST_F(JournalTest, TwoNamesOfOneFileAreRefusedWithNothingWritten) {
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    // E004N50 becomes another name of E005N50.
    const fs::path target = db.tile_file(5, 50);
    const fs::path link = db.tile_file(4, 50);
    fs::remove(link);
    if (hard) {
      fs::create_hard_link(target, link);
    } else {
      fs::create_symlink(target, link);
    }
    const Snapshot linked = db.snapshot();
    bool stopped = false;
    const std::vector<ShownMessage> shown = editor_run(db.files(), stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(shown, (std::vector<ShownMessage>{
                         {"Tiles E004N50.63M and E005N50.63M are one file! Modification is not possible!", "Error", 0}}));
    EXPECT_TRUE(db.snapshot() == linked);
    EXPECT_FALSE(journal_left());
  }
}

// The editor waits while another modification, or a reader, holds the
// database; readers that come while it waits wait behind it.
TEST_F(JournalTest, EditorWaitsWhileAnotherModificationHoldsTheDatabase) {
  for (const bool reader : {false, true}) {
    SCOPED_TRACE(reader ? "a reader" : "another modification");
    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
    HostFileServices other(db.files().drives());
    HostFileServices late(db.files().drives());
    int32_t handle = 0;
    ASSERT_EQ(other.LOCK_FILE(lock_path('C'), false, handle, reader), 0);
    FakeUiServices ui;
    ui.while_waiting = [&] {
      EXPECT_TRUE(db.snapshot() == before);  // nothing done while it waits
      EXPECT_FALSE(DatabaseLock(late, 'C', false, DatabaseLock::Busy{}, true).held());
      other.UNLOCK_FILE(handle);
    };
    ProgramValues v = values();
    APPLY_MODIFICATION_SAFELY(ui, db.files(), v);
    EXPECT_EQ(ui.waits, (std::vector<std::string>{WAITING_TEXT}));
    EXPECT_EQ(ui.messages, (std::vector<ShownMessage>{{"All modifications are done!", "Info", 0}}));
    EXPECT_FALSE(db.snapshot() == before);
    // The lock is free again.
    EXPECT_EQ(other.LOCK_FILE(lock_path('C'), false, handle), 0);
    other.UNLOCK_FILE(handle);
  }
}

// The editor's runs enter the history like any other, and the editor shows
// nothing new for it: not even when the history cannot be written.
TEST_F(JournalTest, EditorRunsEnterTheHistoryAndShowNothingNew) {
  bool stopped = false;
  const std::vector<ShownMessage> done = {{"All modifications are done!", "Info", 0}};
  EXPECT_EQ(editor_run(db.files(), stopped, 5), done);
  const History history = read_history(db.files(), 'C');
  ASSERT_EQ(history.entries.size(), 1u);
  EXPECT_EQ(history.entries[0].kinds, std::vector<int32_t>{5});
  fs::remove(kavlin_folder() / "HISTORY");
  fs::create_directory(kavlin_folder() / "HISTORY");
  EXPECT_EQ(editor_run(db.files(), stopped, 6), done);
}

}  // namespace
}  // namespace kavlin
