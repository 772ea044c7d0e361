// The run journal: every failure after writing began leaves every tile as
// before, a killed run is rolled back at the next start, two names of one
// file are refused, the last modification can be undone, only the records
// that change are written, and journals of the earlier version still work.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/modification.h"
#include "base/kernels.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
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
using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::ShownMessage;
using testing::TileDb;
using testing::Snapshot;
using testing::Killed;
using testing::FaultFiles;
using Rule = FaultFiles::Rule;
namespace call = testing::call;
using testing::corner_rectangle;

class JournalTest : public testing::CornerTilesTest {
 protected:
  ProgramValues values(int32_t kind = 1) const {
    ProgramValues v;
    v.DRIVE_LETTER = 'C';
    v.MOD_KIND = kind;
    v.AREA = corner_rectangle();
    return v;
  }
  fs::path kavlin_folder() const { return db.drive_root() / "KAVLIN"; }
  bool journal_left() const { return fs::exists(kavlin_folder() / "JOURNAL"); }

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
constexpr unsigned BY_RECORD = FaultFiles::RECORD_BY_RECORD;

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

TEST_F(JournalTest, TornJournalKeepsItsCompleteEntriesOnly) {
  constexpr int32_t words = RECORD_LENGTH_3S / 2;
  JournalFile a{"C:\\KAVLIN\\E005\\E005N49.33M", {1, 2}, RECORD_LENGTH_3S,
                {JournalRecord::from_runs(3, words, {{0, 2}, {10, 1}}, 0x1113151719),
                 JournalRecord::from_runs(4, words, {{words - 1, 1}}, 7)}};
  JournalFile b{"C:\\KAVLIN\\E004\\E004N49.33M", {1, 3}, RECORD_LENGTH_3S,
                {JournalRecord::from_runs(12, words, {{100, 1}}, 0x21)}};
  const std::string start = encode_journal_start({1});
  const std::string whole = start + encode_journal_file(a) + encode_journal_file(b);
  const Journal full = decode_journal(whole);
  ASSERT_TRUE(full.valid);
  EXPECT_FALSE(full.torn);
  EXPECT_EQ(full.kind, 1);
  EXPECT_EQ(full.files, (std::vector<JournalFile>{a, b}));
  const std::size_t after_a = start.size() + encode_journal_file(a).size();
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    const Journal j = decode_journal(std::string_view(whole).substr(0, cut));
    EXPECT_EQ(j.valid, cut >= start.size()) << cut;
    EXPECT_EQ(j.files.size(), cut >= after_a ? 1u : 0u) << cut;
    EXPECT_EQ(j.torn, cut != start.size() && cut != after_a) << cut;
  }
  // A damaged byte in the last entry drops that entry.
  std::string damaged = whole;
  damaged[whole.size() - 6] ^= 0x01;
  EXPECT_EQ(decode_journal(damaged).files, (std::vector<JournalFile>{a}));
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

TEST_F(JournalTest, UndoRestoresEveryByteOnlyWhileNothingChangedSince) {
  bool stopped = false;
  ASSERT_EQ(editor_run(db.files(), stopped, 9).size(), 1u);
  const Snapshot after = db.snapshot();
  ASSERT_TRUE(fs::exists(kavlin_folder() / "UNDO"));

  // A word changed since: its flag cleared by hand.
  const std::string key = "KAVLIN/E005/E005N50.63M";
  std::string changed = after.at(key);
  const Journal record = decode_journal(testing::read_file(kavlin_folder() / "UNDO"));
  ASSERT_EQ(record.files.size(), 4u);
  ASSERT_EQ(record.files.at(3).tile_name(), "E005N50.63M");
  const JournalRecord& first = record.files.at(3).records.at(0);
  const int32_t word = first.runs().at(0).first;
  testing::set_word_at(changed, RECORD_LENGTH_6S, first.record, word,
                       testing::word_at(changed, RECORD_LENGTH_6S, first.record, word) & 0xFFEF);
  testing::write_file(db.drive_root() / key, changed);
  const Snapshot touched = db.snapshot();
  for (const bool dry_run : {true, false}) {
    const UndoResult refused = undo_last_modification(db.files(), 'C', dry_run);
    EXPECT_EQ(refused.outcome, UndoResult::Outcome::ChangedSince);
    EXPECT_EQ(refused.changed_since, 1);
    EXPECT_EQ(refused.notices.at(0).text,
              "1 grid word has changed since the last modification! Nothing was undone.");
    EXPECT_TRUE(db.snapshot() == touched);
  }

  testing::write_file(db.drive_root() / key, after.at(key));
  const UndoResult dry = undo_last_modification(db.files(), 'C', true);
  EXPECT_EQ(dry.outcome, UndoResult::Outcome::Done);
  EXPECT_EQ(dry.words, record.word_count());
  EXPECT_TRUE(db.snapshot() == after);
  const UndoResult undo = undo_last_modification(db.files(), 'C', false);
  EXPECT_EQ(undo.outcome, UndoResult::Outcome::Done) << undo.notices.at(0).text;
  EXPECT_EQ(undo.tiles.size(), 4u);
  EXPECT_TRUE(db.snapshot() == before);
  EXPECT_FALSE(fs::exists(kavlin_folder() / "UNDO"));
  EXPECT_FALSE(journal_left());
  EXPECT_EQ(undo_last_modification(db.files(), 'C', false).outcome, UndoResult::Outcome::NothingToUndo);
  EXPECT_EQ(db.files().open_count(), 0u);
}

TEST_F(JournalTest, UndoKilledHalfwayIsRolledBackAndCanBeRepeated) {
  bool stopped = false;
  ASSERT_EQ(editor_run(db.files(), stopped).size(), 1u);
  const Snapshot after = db.snapshot();
  {
    FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).nth(3).kill()});
    EXPECT_THROW(undo_last_modification(files, 'C', false), Killed) << files.count(call::WRITE_RECORD);
  }
  ASSERT_TRUE(journal_left());
  EXPECT_EQ(recover_journal(db.files(), 'C').state, Recovery::State::Restored);
  EXPECT_TRUE(db.snapshot() == after);
  EXPECT_EQ(undo_last_modification(db.files(), 'C', false).outcome, UndoResult::Outcome::Done);
  EXPECT_TRUE(db.snapshot() == before);
}

// A batch over the four tiles: kinds mixed, the same flag set and cleared
// on overlapping areas, the corner point at (5, 50) in all four tiles.
class BatchJournalTest : public JournalTest {
 protected:
  std::vector<AreaModification> lines() const {
    return {{&rectangle, 1}, {&corner, 2}, {&square, 7}, {&rectangle, 8}, {&square, 1}, {&corner, 9}};
  }
  SafeRunResult run(FileServices& files) {
    const std::vector<AreaModification> batch = lines();
    return run_journaled(files, 'C', batch);
  }
  void restore_before() {
    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
  }
  const VertexTable rectangle = corner_rectangle();
  const VertexTable corner = testing::vertex_table({{5.0, 50.0}});
  const VertexTable square =
      testing::vertex_table({{4.99, 50.2}, {5.3, 50.2}, {5.3, 49.99}, {4.99, 49.99}, {4.99, 50.2}});
};

TEST_F(BatchJournalTest, FailedWriteOrKillAnywhereLeavesEveryTileAsBefore) {
  FaultFiles counting(db.files().drives(), BY_RECORD);
  ASSERT_EQ(run(counting).engine.outcome, EngineOutcome::Done);
  const int writes = counting.count(call::WRITE_RECORD);
  // The records the batch changes, each written once.
  ASSERT_EQ(writes, 20);
  ASSERT_FALSE(db.snapshot() == before);
  std::vector<Rule> faults;
  for (const int n : {1, writes / 4, writes / 4 + 1, writes / 2, 3 * writes / 4 + 1, writes}) {
    faults.push_back(Rule(call::WRITE_RECORD).nth(n));
    faults.push_back(Rule(call::WRITE_RECORD).nth(n).tear());
    faults.push_back(Rule(call::WRITE_RECORD).nth(n).kill());
  }
  faults.push_back(Rule(call::WRITE_SYNCED).nth(2));
  for (const Rule& fault : faults) {
    SCOPED_TRACE(fault.text());
    restore_before();
    FaultFiles files(db.files().drives(), BY_RECORD, {fault});
    if (fault.act == FaultFiles::Act::Kill) {
      EXPECT_THROW(run(files), Killed);
      files.CLOSE_ALL_FILES();
      ASSERT_TRUE(journal_left());
      EXPECT_EQ(recover_journal(db.files(), 'C').state, Recovery::State::Restored);
    } else {
      const SafeRunResult result = run(files);
      EXPECT_EQ(result.engine.outcome, EngineOutcome::FileError);
      EXPECT_TRUE(result.restored);
    }
    EXPECT_TRUE(db.snapshot() == before);
    EXPECT_FALSE(journal_left());
  }
}

TEST_F(BatchJournalTest, UndoGivesBackTheStateBeforeTheWholeBatch) {
  ASSERT_EQ(run(db.files()).engine.outcome, EngineOutcome::Done);
  const Snapshot after = db.snapshot();
  const Journal record = decode_journal(testing::read_file(kavlin_folder() / "UNDO"));
  ASSERT_TRUE(record.valid && !record.torn && !record.damaged) << record.damage;
  EXPECT_EQ(record.kinds, (std::vector<int32_t>{1, 2, 7, 8, 1, 9}));

  // A flag the batch changed in the corner word changed since: refused,
  // counted once.
  const std::string key = "KAVLIN/E005/E005N50.63M";
  uint16_t flag = 0;
  for (const JournalFile& file : record.files) {
    if (file.tile_name() != "E005N50.63M") continue;
    for (const JournalStep& step : file.records.at(0).steps) {
      if ((step.changed[0] & 1) != 0) flag = static_cast<uint16_t>(1u << ((record.kinds[step.modification] - 1) / 2));
    }
  }
  ASSERT_NE(flag, 0);
  std::string changed = after.at(key);
  testing::set_word_at(changed, RECORD_LENGTH_6S, 1, 0,
                       testing::word_at(changed, RECORD_LENGTH_6S, 1, 0) ^ flag);
  testing::write_file(db.drive_root() / key, changed);
  const UndoResult refused = undo_last_modification(db.files(), 'C', false);
  EXPECT_EQ(refused.outcome, UndoResult::Outcome::ChangedSince);
  EXPECT_EQ(refused.changed_since, 1);
  testing::write_file(db.drive_root() / key, after.at(key));

  // An undo killed halfway is rolled back to the batch's result.
  {
    FaultFiles files(db.files().drives(), BY_RECORD, {Rule(call::WRITE_RECORD).nth(3).kill()});
    EXPECT_THROW(undo_last_modification(files, 'C', false), Killed);
  }
  EXPECT_EQ(recover_journal(db.files(), 'C').state, Recovery::State::Restored);
  EXPECT_TRUE(db.snapshot() == after);

  const UndoResult undo = undo_last_modification(db.files(), 'C', false);
  EXPECT_EQ(undo.outcome, UndoResult::Outcome::Done) << undo.notices.at(0).text;
  EXPECT_TRUE(db.snapshot() == before);
  EXPECT_FALSE(journal_left());
  EXPECT_FALSE(fs::exists(kavlin_folder() / "UNDO"));
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


// What the engine reports as changed, record by record, is what comparing
// the records as read and as written finds (the journal's
// check_reported_changes option refuses a write where the two differ): rectangles, polygons
// and points over a 3-second and a 6-second tile with west, south (doubled
// columns) and south-west copies, every kind. The files end as the plain
// engine leaves them, and the undo record holds every changed word.
TEST(JournalChanges, EngineReportsExactlyTheWordsItChanges) {
  TileDb db;
  std::mt19937_64 random(11);
  testing::make_corner_tiles(db, [&random](int32_t, int32_t) { return static_cast<uint16_t>(random()); });
  auto coordinate = [&](double low, double high) {
    // Whole degrees now and then, for the edge copies.
    if (random() % 4 == 0) return low;
    return low + (high - low) * static_cast<double>(random() % 1000000) / 1e6;
  };
  std::vector<VertexTable> areas = {testing::vertex_table({{5.0, 50.0}}),
                                    testing::vertex_table({{5.0, 50.05}, {5.05, 50.05}, {5.05, 50.0},
                                                           {5.0, 50.0}, {5.0, 50.05}})};
  for (int n = 0; n < 10; ++n) {
    const double lon1 = coordinate(5.0, 5.9), lat2 = coordinate(50.0, 50.9);
    const double lon2 = lon1 + 0.01 + 0.09 * static_cast<double>(random() % 100) / 100;
    const double lat1 = lat2 + 0.01 + 0.09 * static_cast<double>(random() % 100) / 100;
    if (n % 2 == 0) {
      areas.push_back(testing::vertex_table({{lon1, lat1}, {lon2, lat1}, {lon2, lat2}, {lon1, lat2}, {lon1, lat1}}));
    } else {
      areas.push_back(testing::vertex_table({{lon1, lat2}, {lon2, lat1 - 0.005}, {(lon1 + lon2) / 2, lat1},
                                             {lon1, (lat1 + lat2) / 2}}));
    }
  }
  JournalingOptions checked;
  checked.check_reported_changes = true;
  for (std::size_t a = 0; a < areas.size(); ++a) {
    const int32_t kind = static_cast<int32_t>(1 + random() % 10);
    SCOPED_TRACE("area " + std::to_string(a) + " kind " + std::to_string(kind));
    const Snapshot before = db.snapshot();
    std::string undo_before;
    const int32_t had_undo = db.files().READ_WHOLE_FILE(undo_path('C'), undo_before);
    const SafeRunResult journaled = run_journaled(db.files(), 'C', areas[a], kind, {}, checked);
    EXPECT_EQ(journaled.engine.outcome, EngineOutcome::Done) << journaled.engine.notice.text;
    const Snapshot after = db.snapshot();
    std::string undo;
    if (journaled.engine.words_changed > 0) {
      ASSERT_EQ(db.files().READ_WHOLE_FILE(undo_path('C'), undo), 0);
      EXPECT_EQ(decode_journal(undo).word_count(), journaled.engine.words_changed);
    } else {
      // Nothing changed: the undo record of the run before stays.
      EXPECT_EQ(db.files().READ_WHOLE_FILE(undo_path('C'), undo), had_undo);
      EXPECT_EQ(undo, undo_before);
    }

    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
    const EngineResult plain = apply_modification(db.files(), 'C', areas[a], kind);
    EXPECT_EQ(plain.words_changed, journaled.engine.words_changed);
    EXPECT_TRUE(db.snapshot() == after);
  }
}

// The change detection against a word-by-word account:
// both record lengths, every kind, records with no, some and every word
// changed; a write that is not the kind's change is refused.
TEST(JournalChanges, BitmapAndHashAreTheWordByWordOnes) {
  std::mt19937_64 random(7);
  for (const int32_t length : {RECORD_LENGTH_3S, RECORD_LENGTH_6S}) {
    const int32_t words = length / 2;
    for (int32_t kind = 1; kind <= 10; ++kind) {
      const KindOperation op = *kind_operation(kind);
      for (const int share : {0, 3, 50, 100}) {  // percent of the words the run reaches
        SCOPED_TRACE(std::to_string(length) + " kind " + std::to_string(kind) + " " + std::to_string(share) + "%");
        std::vector<uint8_t> before(static_cast<std::size_t>(length)), after;
        for (int32_t w = 0; w < words; ++w) put_word(before, 2 * w, static_cast<uint16_t>(random()));
        after = before;
        WordBitmap expected(bitmap_bytes(words), 0);
        for (int32_t w = 0; w < words; ++w) {
          if (static_cast<int>(random() % 100) >= share) continue;
          const uint16_t old_word = get_word(before, 2 * w);
          const uint16_t new_word = apply_kind(op, old_word);
          put_word(after, 2 * w, new_word);
          if (new_word != old_word) expected[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
        }
        const uint64_t hash = changed_words_hash(after, expected);
        {
          WordBitmap changed;
          EXPECT_TRUE(find_changes(op, before, after, changed));
          EXPECT_EQ(changed, expected);
          // Any other bit of a word, changed or not, and the flag the
          // wrong way, are refused.
          for (const int32_t w : {0, words / 2, words - 1}) {
            for (const uint16_t flip : {uint16_t{0x0100}, static_cast<uint16_t>(op.set ? op.mask : ~op.mask)}) {
              std::vector<uint8_t> wrong(after);
              const uint16_t word = get_word(after, 2 * w);
              // The flag flipped is wrong unless the word is then as
              // before or as the operation makes it.
              const uint16_t flipped = static_cast<uint16_t>(word ^ flip);
              const uint16_t old_word = get_word(before, 2 * w);
              if (flipped == old_word || flipped == apply_kind(op, old_word)) continue;
              put_word(wrong, 2 * w, flipped);
              WordBitmap unused;
              EXPECT_FALSE(find_changes(op, before, wrong, unused)) << w << " " << flip;
            }
          }
        }
        // The hash sees a change of any bit of a changed word.
        if (share > 0) {
          const std::vector<WordRun> runs = JournalRecord{1, expected, 0, {}}.runs();
          ASSERT_FALSE(runs.empty());
          for (const int bit : {0, 5, 15}) {
            std::vector<uint8_t> touched(after);
            const int32_t w = runs.back().first;
            put_word(touched, 2 * w, static_cast<uint16_t>(get_word(after, 2 * w) ^ (1u << bit)));
            EXPECT_NE(changed_words_hash(touched, expected), hash) << bit;
          }
        }
      }
    }
  }
}

// Runs where they are shorter than the bitmap, the bitmap otherwise; both
// decode to the same record.
TEST(JournalChanges, RecordsAreStoredAsRunsOrBitmapWhicheverIsShorter) {
  const int32_t words = RECORD_LENGTH_6S / 2;
  JournalRecord few = JournalRecord::from_runs(5, words, {{0, 101}, {5000, 151}}, 1);
  JournalRecord many = JournalRecord::from_runs(6, words, {}, 2);
  for (int32_t w = 0; w < words; w += 2) many.changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
  const JournalFile file{"C:\\KAVLIN\\E005\\E005N50.63M", {1, 2}, RECORD_LENGTH_6S, {few, many}};
  const std::string bytes = encode_journal_start({2}) + encode_journal_file(file);
  // The start (one kind), the file's head; each record its number, hash
  // and one operation (index, form), then runs or bitmap.
  const std::size_t fixed = 12 + 14 + 12 + 1 + 2 + file.path.size() + 8 + 8 + 4 + 4;
  EXPECT_EQ(bytes.size(), fixed + (15 + 2 + 2 * 4) + (15 + bitmap_bytes(words)));
  const Journal j = decode_journal(bytes);
  ASSERT_EQ(j.files.size(), 1u);
  EXPECT_EQ(j.files[0], file);
  EXPECT_EQ(j.files[0].word_count(), 101 + 151 + (words + 1) / 2);
  EXPECT_EQ(j.files[0].records[0].runs(), (std::vector<WordRun>{{0, 101}, {5000, 151}}));
}

// The records that differ between two snapshots of the same tiles.
int changed_records(const Snapshot& a, const Snapshot& b) {
  int records = 0;
  for (const auto& [path, old_bytes] : a) {
    const std::string& new_bytes = b.at(path);
    const std::size_t length = path.ends_with(".33M") ? RECORD_LENGTH_3S : RECORD_LENGTH_6S;
    for (std::size_t at = 0; at < old_bytes.size(); at += length) {
      records += old_bytes.compare(at, length, new_bytes, at, length) != 0 ? 1 : 0;
    }
  }
  return records;
}

// A point, a point whose flag is already as the kind makes it, and a
// rectangle over four tiles: the run writes exactly the records that
// change, forces only the files it writes, and ends with the bytes the
// engine alone leaves.
TEST_F(JournalTest, OnlyTheRecordsThatChangeAreWritten) {
  const VertexTable corner = testing::vertex_table({{5.0, 50.0}});
  const VertexTable rectangle =
      testing::vertex_table({{4.9, 50.1}, {5.1, 50.1}, {5.1, 49.9}, {4.9, 49.9}, {4.9, 50.1}});
  // An undo record of an earlier run, to be left as it is by a run that
  // changes nothing.
  testing::write_file(kavlin_folder() / "UNDO", "an earlier run's undo record");
  const struct {
    const char* label;
    const VertexTable* area;
    int32_t kind;
    bool changes;
  } cases[] = {
      {"point set", &corner, 9, true},
      {"point already set", &corner, 9, false},
      {"point cleared", &corner, 10, true},
      {"rectangle", &rectangle, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Snapshot start = db.snapshot();
    const std::string undo_before = testing::read_file(kavlin_folder() / "UNDO");
    FaultFiles files(db.files().drives(), BY_RECORD);  // counts only
    const SafeRunResult result = run_journaled(files, 'C', *c.area, c.kind);
    ASSERT_EQ(result.engine.outcome, EngineOutcome::Done);
    EXPECT_EQ(result.engine.notice.text, "All modifications are done!");
    const Snapshot after = db.snapshot();
    EXPECT_EQ(files.count(call::WRITE_RECORD), changed_records(start, after));
    EXPECT_FALSE(fs::exists(kavlin_folder() / "JOURNAL"));
    if (c.changes) {
      EXPECT_GT(files.count(call::WRITE_RECORD), 0);
      if (c.area == &corner) EXPECT_LE(files.count(call::WRITE_RECORD), 4);
      EXPECT_NE(testing::read_file(kavlin_folder() / "UNDO"), undo_before);
      // The engine alone, from the same start, leaves the same bytes.
      for (const auto& [path, bytes] : start) testing::write_file(db.drive_root() / path, bytes);
      ASSERT_EQ(apply_modification(db.files(), 'C', *c.area, c.kind).outcome, EngineOutcome::Done);
      EXPECT_TRUE(db.snapshot() == after);
    } else {
      EXPECT_EQ(result.engine.words_changed, 0);
      EXPECT_EQ(files.count(call::WRITE_RECORD), 0);
      EXPECT_EQ(files.count(call::FLUSH_FILE), 0);
      EXPECT_EQ(testing::read_file(kavlin_folder() / "UNDO"), undo_before);
    }
  }
}

// A journal and an undo record of the earlier format version, kept from
// that version's runs on these tiles (a rectangle over the corner, kind
// 9; and a batch of kinds 1, 2, 7), roll back and undo the run.
TEST_F(JournalTest, EarlierVersionJournalsRollBackAndUndo) {
  const VertexTable rectangle =
      testing::vertex_table({{4.99, 50.02}, {5.01, 50.02}, {5.01, 49.99}, {4.99, 49.99}, {4.99, 50.02}});
  const VertexTable corner = testing::vertex_table({{5.0, 50.0}});
  const std::vector<AreaModification> batch = {{&rectangle, 1}, {&corner, 2}, {&rectangle, 7}};
  const struct {
    const char* file;
    std::vector<AreaModification> run;
  } cases[] = {{"one.v2", {{&rectangle, 9}}}, {"batch.v2", batch}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string journal = testing::read_file(fs::path(KAVLIN_TEST_DATA_DIR) / "journal_v2" / c.file);
    ASSERT_EQ(decode_journal(journal).version, 2u);
    for (const bool as_undo : {false, true}) {
      for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
      ASSERT_EQ(apply_modifications(db.files(), 'C', c.run).outcome, EngineOutcome::Done);
      ASSERT_FALSE(db.snapshot() == before);
      testing::write_file(kavlin_folder() / (as_undo ? "UNDO" : "JOURNAL"), journal);
      if (as_undo) {
        const UndoResult undo = undo_last_modification(db.files(), 'C', false);
        EXPECT_EQ(undo.outcome, UndoResult::Outcome::Done) << undo.notices.at(0).text;
      } else {
        EXPECT_EQ(recover_journal(db.files(), 'C').state, Recovery::State::Restored);
      }
      EXPECT_TRUE(db.snapshot() == before);
    }
  }
}

// A start entry of a version this program does not know makes the journal
// damaged, whatever follows it.
TEST(JournalVersion, UnknownVersionIsDamage) {
  for (const uint32_t version : {1u, 4u, 0xFFFFFFFFu}) {
    std::string bytes = encode_journal_start({9});
    // [magic][length][type][version]...[crc32]
    for (int b = 0; b < 4; ++b) bytes[9 + b] = static_cast<char>(version >> (8 * b));
    const auto crc = static_cast<uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data() + 8), static_cast<uInt>(bytes.size() - 12)));
    for (int b = 0; b < 4; ++b) bytes[bytes.size() - 4 + b] = static_cast<char>(crc >> (8 * b));
    const Journal journal = decode_journal(bytes + encode_journal_start({9}));
    EXPECT_TRUE(journal.damaged) << version;
    EXPECT_EQ(journal.damage, "entry 1 is no journal start of this program");
  }
}

// The words of a record that a bitmap marks, the others 0: records of a
// few words and with tails of every length beside whole bitmap bytes.
TEST(ChangedWordsKernels, MaskedWordsKeepExactlyTheMarkedWords) {
  std::mt19937_64 random(5);
  for (const std::size_t words : {1u, 7u, 8u, 9u, 17u, 100u}) {
    for (const int share : {0, 30, 100}) {
      std::vector<uint8_t> record(2 * words), bitmap((words + 7) / 8, 0), out(2 * words, 0xAA);
      for (uint8_t& b : record) b = static_cast<uint8_t>(random());
      for (std::size_t w = 0; w < words; ++w) {
        if (static_cast<int>(random() % 100) < share) bitmap[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
      }
      kernels::masked_words(record.data(), record.size(), bitmap.data(), out.data());
      for (std::size_t w = 0; w < words; ++w) {
        const bool marked = (bitmap[w / 8] >> (w % 8) & 1) != 0;
        EXPECT_EQ(out[2 * w], marked ? record[2 * w] : 0) << words << " " << w;
        EXPECT_EQ(out[2 * w + 1], marked ? record[2 * w + 1] : 0) << words << " " << w;
      }
    }
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
