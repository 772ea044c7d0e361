// The safety layer against a damaged, foreign or planted state: journal
// entries checked before use, damage told from a torn write, tiles of
// another identity proven by their records, the lock and the database's
// own files never used through a link, and every journal entry on the
// device before its tile is written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/map_source.h"
#include "app/modification.h"
#include "tests/engine_test_db.h"
#include "tests/fake_ui_services.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/journaling_files.h"
#include "tiles/rollback.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using testing::Snapshot;
using testing::Killed;
using testing::FaultFiles;
namespace call = testing::call;
using testing::notice_lines;

using testing::corner_rectangle;

class SafetyTest : public testing::CornerTilesTest {
 protected:
  fs::path kavlin() const { return db.drive_root() / "KAVLIN"; }
  // A run killed at its n-th record write: the journal stays behind.
  void killed_run(int n) {
    FaultFiles files(db.files().drives(), FaultFiles::RECORD_BY_RECORD,
                     {FaultFiles::Rule(call::WRITE_RECORD).nth(n).kill()});
    EXPECT_THROW(run_journaled(files, 'C', corner_rectangle(), 9), Killed);
    files.CLOSE_ALL_FILES();
    ASSERT_TRUE(fs::exists(kavlin() / "JOURNAL"));
  }
};

// One file entry of 3-second tile E005N49 whose record 2 has every other
// word changed (stored as a bitmap) and record 7 two runs.
JournalFile sample_file() {
  constexpr int32_t words = RECORD_LENGTH_3S / 2;
  JournalRecord dense = JournalRecord::from_runs(2, words, {}, 0x1234);
  for (int32_t w = 0; w < words; w += 2) dense.changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
  return {"C:\\KAVLIN\\E005\\E005N49.33M",
          {1, 2},
          RECORD_LENGTH_3S,
          {dense, JournalRecord::from_runs(7, words, {{0, 3}, {100, 1}}, 0x77)}};
}
// Byte offsets in an encoded file entry (sample_file's path: 26 bytes).
constexpr std::size_t PATH_BYTE = 8 + 1 + 2 + 15;  // the 'E' of the name
constexpr std::size_t HASH_BYTE = 8 + 1 + 2 + 26 + 8 + 8 + 4 + 4 + 2 + 1;
constexpr std::size_t BITMAP_BYTE = HASH_BYTE + 8 + 100;

// Entries whose checksum holds but whose contents describe no tile of the
// database: the journal is damaged, nothing is written, it is kept, and
// no entry makes the decoder take more memory than it validated.
TEST_F(SafetyTest, EntriesThatDescribeNoTileMakeTheJournalDamaged) {
  const struct {
    const char* label;
    void (*spoil)(JournalFile&);
    const char* damage;
  } cases[] = {
      {"a polygon file", [](JournalFile& f) { f.path = "C:\\KAVLIN\\POLY\\AREA_16.TXT"; }, "names no tile"},
      {"a file of the machine", [](JournalFile& f) { f.path = "C:\\..\\..\\etc\\passwd"; }, "names no tile"},
      {"lower case", [](JournalFile& f) { f.path = "C:\\KAVLIN\\E005\\E005N49.33m"; }, "names no tile"},
      {"another folder", [](JournalFile& f) { f.path = "C:\\KAVLIN\\E006\\E005N49.33M"; }, "names no tile"},
      {"wrong extension", [](JournalFile& f) { f.path = "C:\\KAVLIN\\E005\\E005N49.63M"; }, "names no tile"},
      {"no drive part", [](JournalFile& f) { f.path = "KAVLIN\\E005\\E005N49.33M"; }, "names no tile"},
      {"record length near 2^31", [](JournalFile& f) { f.record_length = 0x7FFFFFFE; }, "record length"},
      {"6-second length", [](JournalFile& f) { f.record_length = RECORD_LENGTH_6S; }, "record length"},
      {"record 0", [](JournalFile& f) { f.records[0].record = 0; }, "record number"},
      {"record 145", [](JournalFile& f) { f.records[1].record = 145; }, "record number"},
      {"records out of order", [](JournalFile& f) { std::swap(f.records[0], f.records[1]); }, "record number"},
      {"a word beyond the record",
       [](JournalFile& f) { f.records[0].changed.back() |= 0x80; },
       "beyond the end of its record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    JournalFile file = sample_file();
    c.spoil(file);
    const std::string bytes = encode_journal_start({1}) + encode_journal_file(file);
    const Journal decoded = decode_journal(bytes);
    EXPECT_TRUE(decoded.damaged);
    EXPECT_NE(decoded.damage.find(c.damage), std::string::npos) << decoded.damage;
    EXPECT_TRUE(decoded.files.empty());
    testing::write_file(kavlin() / "JOURNAL", bytes);
    const Recovery recovery = recover_journal(db.files(), 'C');
    EXPECT_EQ(recovery.state, Recovery::State::Failed);
    EXPECT_EQ(recovery.notice.text, damaged_journal_notice('C', decoded.damage).text);
    EXPECT_NE(recovery.notice.text.find("kavlin-apply --discard-journal"), std::string::npos);
    Snapshot now = db.snapshot();
    now.erase("KAVLIN/JOURNAL");
    EXPECT_TRUE(now == before);
    EXPECT_EQ(testing::read_file(kavlin() / "JOURNAL"), bytes);
  }
}

// A byte flipped in a hash, a path or a bitmap (the structure sound, the
// checksum failing): in the last entry of JOURNAL a torn write, dropped;
// before it, damage; in UNDO always damage.
TEST_F(SafetyTest, AFailingChecksumIsATornWriteOnlyAtTheEndOfTheJournal) {
  const std::string start = encode_journal_start({1});
  const std::string entry = encode_journal_file(sample_file());
  JournalFile other = sample_file();
  other.path = "C:\\KAVLIN\\E004\\E004N49.33M";
  const std::string last = encode_journal_file(other);
  for (const std::size_t at : {PATH_BYTE, HASH_BYTE, BITMAP_BYTE}) {
    SCOPED_TRACE(at);
    std::string spoilt = entry;
    spoilt[at] ^= 0x01;
    const Journal torn = decode_journal(start + entry + spoilt);
    EXPECT_TRUE(torn.torn);
    EXPECT_FALSE(torn.damaged);
    EXPECT_EQ(torn.files, (std::vector<JournalFile>{sample_file()}));
    const Journal damaged = decode_journal(start + spoilt + last);
    EXPECT_TRUE(damaged.damaged);
    EXPECT_EQ(damaged.damage, "entry 2 fails its checksum");
    EXPECT_TRUE(damaged.files.empty());
  }
  // A head damaged before another entry: damage; at the end: torn.
  std::string head = entry;
  head[0] ^= 0x20;
  EXPECT_TRUE(decode_journal(start + head + last).damaged);
  EXPECT_TRUE(decode_journal(start + entry + head.substr(0, 30)).torn);
  EXPECT_FALSE(decode_journal(start + entry + head.substr(0, 30)).damaged);
}

TEST_F(SafetyTest, ADamagedUndoRecordChangesNothingAndIsKept) {
  ASSERT_EQ(run_journaled(db.files(), 'C', corner_rectangle(), 9).engine.outcome, EngineOutcome::Done);
  const Snapshot after = db.snapshot();
  const std::string undo = testing::read_file(kavlin() / "UNDO");
  const Journal record = decode_journal(undo);
  ASSERT_EQ(record.files.size(), 4u);
  ASSERT_FALSE(record.torn);
  // The last entry: a byte of its hash, of its path, of its records; and
  // the record cut short.
  const std::size_t last = undo.size() - encode_journal_file(record.files.back()).size();
  for (const std::size_t at : {last + HASH_BYTE, last + PATH_BYTE, undo.size() - 6, undo.size() - 1}) {
    SCOPED_TRACE(at);
    std::string spoilt = undo;
    spoilt[at] ^= 0x01;
    for (const std::string& bytes : {spoilt, undo.substr(0, at)}) {
      testing::write_file(kavlin() / "UNDO", bytes);
      for (const bool dry_run : {true, false}) {
        const UndoResult result = undo_last_modification(db.files(), 'C', dry_run);
        EXPECT_EQ(result.outcome, UndoResult::Outcome::FileError);
        EXPECT_EQ(notice_lines(result.notices), (std::vector<std::string>{std::string("Error: ") + UNDO_DAMAGED_TEXT}));
        EXPECT_TRUE(db.snapshot() == after);
        EXPECT_EQ(testing::read_file(kavlin() / "UNDO"), bytes);
        EXPECT_FALSE(fs::exists(kavlin() / "JOURNAL"));
      }
    }
  }
}

// After a kill, a tile of another identity is rolled back only where its
// records prove it is the journaled one; a copied database is recovered
// in place and the original is never touched through the copy's journal.
TEST_F(SafetyTest, ATileOfAnotherIdentityIsRolledBackOnlyWhenItsRecordsProveIt) {
  const std::string e004n50 = "KAVLIN/E004/E004N50.63M";  // the second tile written
  const struct {
    const char* label;
    bool foreign;  // replaced by another tile's words rather than a copy of itself
  } cases[] = {{"replaced by a copy of itself", false}, {"replaced by a foreign tile", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const auto& [path, bytes] : before) testing::write_file(db.drive_root() / path, bytes);
    killed_run(3);  // the third tile's record: E004N50 written
    const Snapshot half = db.snapshot();
    ASSERT_NE(half.at(e004n50), before.at(e004n50));
    // A new file (another inode) in the tile's place.
    std::string replacement = half.at(e004n50);
    if (c.foreign) {
      // The journaled words hold the run's flag, yet the other bits differ.
      for (std::size_t at = 1; at < replacement.size(); at += 2) replacement[at] ^= 0x40;
    }
    fs::remove(db.drive_root() / e004n50);
    testing::write_file(db.drive_root() / e004n50, replacement);
    const Snapshot replaced = db.snapshot();
    const Recovery recovery = recover_journal(db.files(), 'C');
    if (c.foreign) {
      EXPECT_EQ(recovery.state, Recovery::State::Failed);
      EXPECT_EQ(recovery.notice.text,
                rollback_failed_notice("E004N50.63M", "is not the tile the journal was written for").text);
      EXPECT_TRUE(db.snapshot() == replaced);  // nothing written, not even the other tiles
      EXPECT_TRUE(fs::exists(kavlin() / "JOURNAL"));
    } else {
      EXPECT_EQ(recovery.state, Recovery::State::Restored) << recovery.notice.text;
      EXPECT_TRUE(db.snapshot() == before);
    }
  }
}

TEST_F(SafetyTest, ACopiedDatabaseIsRecoveredInPlaceAndTheOriginalLeftAlone) {
  killed_run(2);  // the second tile's record: the first tile written
  const Snapshot half = db.snapshot();
  const fs::path copy = db.drive_root().parent_path() / "e:";
  fs::copy(db.drive_root(), copy, fs::copy_options::recursive);
  HostFileServices files(DriveTable(db.drive_root().parent_path().string()));
  const Recovery recovery = recover_journal(files, 'E');
  EXPECT_EQ(recovery.state, Recovery::State::Restored) << recovery.notice.text;
  EXPECT_FALSE(fs::exists(copy / "KAVLIN" / "JOURNAL"));
  for (const auto& [path, bytes] : before) EXPECT_EQ(testing::read_file(copy / path), bytes) << path;
  EXPECT_TRUE(db.snapshot() == half);
  EXPECT_TRUE(fs::exists(kavlin() / "JOURNAL"));
}

// The undo record of a copied database is judged by the copy's words, not
// by inodes: the copy's undo gives the copy back its bytes from before the
// run, and the original keeps its modification.
TEST_F(SafetyTest, ACopiedDatabaseIsUndoneInPlaceAndTheOriginalLeftAlone) {
  ASSERT_EQ(run_journaled(db.files(), 'C', corner_rectangle(), 9).engine.outcome, EngineOutcome::Done);
  const Snapshot done = db.snapshot();
  const fs::path copy = db.drive_root().parent_path() / "e:";
  fs::copy(db.drive_root(), copy, fs::copy_options::recursive);
  HostFileServices files(DriveTable(db.drive_root().parent_path().string()));
  const UndoResult undo = undo_last_modification(files, 'E', false);
  EXPECT_EQ(undo.outcome, UndoResult::Outcome::Done) << undo.changed_since;
  for (const auto& [path, bytes] : before) EXPECT_EQ(testing::read_file(copy / path), bytes) << path;
  EXPECT_TRUE(db.snapshot() == done);
}

// The journal is on the device, naming a tile, before any record of that
// tile is written: counted write by write over the journal's forcings.
TEST_F(SafetyTest, EveryTileIsJournaledOnTheDeviceBeforeItsFirstWrite) {
  FaultFiles files(db.files().drives(), FaultFiles::RECORD_BY_RECORD);
  files.log_calls(call::WRITE_RECORD | call::WRITE_SYNCED);
  ASSERT_EQ(run_journaled(files, 'C', corner_rectangle(), 9).engine.outcome, EngineOutcome::Done);
  std::set<std::string> journaled, unjournaled_writes;
  for (const FaultFiles::Logged& c : files.log()) {
    journaled.insert(c.journaled.begin(), c.journaled.end());
    if (c.call == call::WRITE_RECORD && journaled.count(c.file) == 0) unjournaled_writes.insert(c.file);
  }
  EXPECT_EQ(files.count(call::WRITE_RECORD), 4);  // the one changed record of each tile
  EXPECT_EQ(files.journal_appends(), (4 + JOURNAL_GROUP_FILES - 1) / JOURNAL_GROUP_FILES);
  EXPECT_EQ(journaled.size(), 4u);
  EXPECT_TRUE(unjournaled_writes.empty()) << *unjournaled_writes.begin();
}

// LOCK, JOURNAL and UNDO are never used through a link nor when they are
// no regular file: the run is refused with the reason and the way out,
// nothing is written, and nothing is made where a link points.
TEST_F(SafetyTest, OwnFilesThatAreLinksOrNoRegularFilesAreRefused) {
  const fs::path outside = db.drive_root().parent_path() / "outside";
  const struct {
    const char* name;
    const char* kind;
    std::string text;
  } cases[] = {
      {"LOCK", "dangling link", lock_notice('C', IS_A_LINK).text},
      {"LOCK", "folder", lock_notice('C', NOT_A_REGULAR_FILE).text},
      {"LOCK", "fifo", lock_notice('C', NOT_A_REGULAR_FILE).text},
      {"JOURNAL", "dangling link", own_file_notice(journal_path('C'), IS_A_LINK).text},
      {"JOURNAL", "folder", own_file_notice(journal_path('C'), NOT_A_REGULAR_FILE).text},
      {"JOURNAL", "fifo", own_file_notice(journal_path('C'), NOT_A_REGULAR_FILE).text},
      {"UNDO", "dangling link", own_file_notice(undo_path('C'), IS_A_LINK).text},
      {"UNDO", "folder", own_file_notice(undo_path('C'), NOT_A_REGULAR_FILE).text},
      {"GATE", "dangling link", lock_notice('C', IS_A_LINK, true).text},
      {"GATE", "folder", lock_notice('C', NOT_A_REGULAR_FILE, true).text},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " as " + c.kind);
    const fs::path at = kavlin() / c.name;
    fs::remove(at);  // GATE: made by the runs of the cases before
    const std::string kind = c.kind;
    if (kind == "dangling link") fs::create_symlink(outside, at);
    if (kind == "folder") fs::create_directory(at);
    if (kind == "fifo") {
      ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0);
    }
    for (const Access access : {Access::Modify, Access::Read}) {
      const DatabaseAccess refused(db.files(), 'C', access);
      EXPECT_FALSE(refused.ok());
      EXPECT_EQ(notice_lines(refused.notices()), (std::vector<std::string>{"Error: " + c.text}));
    }
    testing::FakeUiServices ui;
    ProgramValues values;
    values.DRIVE_LETTER = 'C';
    values.MOD_KIND = 9;
    values.AREA = corner_rectangle();
    EXPECT_THROW(APPLY_MODIFICATION_SAFELY(ui, db.files(), values), testing::ProgramStopped);
    // The editor's start says so and ends as well.
    EXPECT_THROW(RECOVER_AT_START(ui, db.files(), 'C'), testing::ProgramStopped);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text, c.text);
    EXPECT_EQ(ui.messages[1].text, c.text);
    EXPECT_TRUE(db.snapshot() == before);
    EXPECT_FALSE(fs::exists(outside));
    fs::remove(at);
  }
}

// A run that waits for the database keeps the readers that come after it
// out: they wait behind it, however the readers before it overlap, and it
// gets the database as soon as those are done.
TEST_F(SafetyTest, ReadersThatComeAfterAWaitingRunWaitBehindIt) {
  HostFileServices first_files(db.files().drives()), run_files(db.files().drives()),
      late_files(db.files().drives()), later_files(db.files().drives());
  auto first = std::make_unique<DatabaseLock>(first_files, 'C', true, DatabaseLock::Busy{}, true);
  ASSERT_TRUE(first->held());
  std::mutex mutex;
  std::vector<std::string> order;
  auto took = [&](const std::string& who) {
    const std::lock_guard<std::mutex> lock(mutex);
    order.push_back(who);
  };
  std::promise<void> run_waits, later_waits;
  std::thread run([&] {
    const DatabaseLock lock(run_files, 'C', true, [&](const std::function<bool()>&) { run_waits.set_value(); });
    EXPECT_TRUE(lock.held());
    took("run");
  });
  run_waits.get_future().wait();
  {
    // Beside the first reader it would get in: the waiting run keeps it out.
    const DatabaseLock late(late_files, 'C', false, DatabaseLock::Busy{}, true);
    EXPECT_FALSE(late.held());
    EXPECT_TRUE(late.was_busy());
  }
  std::thread later([&] {
    bool waited = false;
    const DatabaseLock lock(later_files, 'C', true, [&](const std::function<bool()>&) {
      waited = true;
      later_waits.set_value();
    }, true);
    EXPECT_TRUE(lock.held());
    took("reader");
    if (!waited) later_waits.set_value();
  });
  later_waits.get_future().wait();
  first.reset();
  run.join();
  later.join();
  EXPECT_EQ(order, (std::vector<std::string>{"run", "reader"}));
}

// The map's reading takes the shared lock like every reader: it waits
// while a modification holds the database, asking whether to give up,
// and holds the lock while its reader lives.
TEST_F(SafetyTest, TheMapReadsUnderTheSharedLockAndGivesUpWhenTold) {
  const MapReadingStart start = describe_database(db.files(), 'C').start_reading;
  ASSERT_TRUE(start);
  HostFileServices other(db.files().drives());
  auto modification = std::make_optional<DatabaseLock>(other, 'C');
  ASSERT_TRUE(modification->held());
  int asked = 0;
  EXPECT_FALSE(start([&] { return ++asked == 2; }));
  EXPECT_EQ(asked, 2);
  // The modification ends while the reading waits: it reads.
  asked = 0;
  MapFlagReader read = start([&] {
    if (++asked == 1) modification.reset();
    return false;
  });
  ASSERT_TRUE(read);
  MapRaster flags;
  EXPECT_TRUE(read({5, 49, 3, "E005N49.33M"}, flags));
  EXPECT_EQ(flags.width * flags.height, 1201 * 1201);
  EXPECT_FALSE(DatabaseLock(other, 'C', false).held());
  read = {};
  EXPECT_TRUE(DatabaseLock(other, 'C', false).held());
}

// With the journal of an interrupted run pending, the map reads each tile
// as the rollback will leave it, or not at all where the rollback will not
// restore it: never the run's half-written state.
TEST_F(SafetyTest, TheMapReadsTilesAsTheirRollbackWillLeaveThem) {
  db.make_tile(6, 49);  // no part of the run
  const Snapshot start = db.snapshot();
  const std::vector<MapTile> tiles = {{4, 49, 3, "E004N49.33M"}, {4, 50, 6, "E004N50.63M"}, {5, 49, 3, "E005N49.33M"},
                                      {5, 50, 6, "E005N50.63M"}, {6, 49, 3, "E006N49.33M"}};
  auto read_all = [&] {
    std::vector<std::optional<std::vector<uint8_t>>> flags;
    const MapFlagReader read = describe_database(db.files(), 'C').start_reading({});
    EXPECT_TRUE(read);
    for (const MapTile& tile : tiles) {
      MapRaster raster;
      flags.push_back(read && read(tile, raster) ? std::make_optional(raster.values) : std::nullopt);
    }
    return flags;
  };
  const auto shown_before = read_all();
  const std::string e004n50 = "KAVLIN/E004/E004N50.63M";  // written before the kill
  const struct {
    const char* what;
    std::function<void()> spoil;
    std::vector<bool> shown;  // per tile: as before the run, or not at all
  } cases[] = {
      {"killed after two tiles", [] {}, {true, true, true, true, true}},
      {"a written tile replaced by a foreign one",
       [&] {
         std::string foreign = testing::read_file(db.drive_root() / e004n50);
         for (std::size_t at = 1; at < foreign.size(); at += 2) foreign[at] ^= 0x40;
         testing::write_file(db.drive_root() / e004n50, foreign);
       },
       {false, false, false, false, true}},
      {"a damaged journal",
       [&] {
         std::string journal = testing::read_file(kavlin() / "JOURNAL");
         journal[encode_journal_start({9}).size() + 40] ^= 0x01;  // in the first file entry, not the last
         testing::write_file(kavlin() / "JOURNAL", journal);
       },
       {false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& [path, bytes] : start) testing::write_file(db.drive_root() / path, bytes);
    killed_run(3);
    ASSERT_NE(testing::read_file(db.drive_root() / e004n50), start.at(e004n50));
    c.spoil();
    const auto shown = read_all();
    for (std::size_t t = 0; t < tiles.size(); ++t) {
      EXPECT_EQ(shown[t], c.shown[t] ? shown_before[t] : std::nullopt) << tiles[t].name;
    }
    fs::remove(kavlin() / "JOURNAL");
  }
}

// Replay of the journal decoder's fuzzing corpus: each seed decodes as
// what it is.
TEST(JournalCorpus, SeedsDecodeAsWhatTheyAre) {
  const fs::path corpus = fs::path(KAVLIN_TEST_DATA_DIR).parent_path() / "fuzz" / "journal_corpus";
  const struct {
    const char* seed;
    std::size_t files;
    bool torn, damaged;
  } cases[] = {
      {"start_only", 0, false, false}, {"runs_33m", 1, false, false},    {"bitmap_63m", 1, false, false},
      {"two_files", 2, false, false},  {"torn", 1, true, false},         {"planted_path", 0, false, true},
      {"huge_length", 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seed);
    const Journal journal = decode_journal(testing::read_file(corpus / c.seed), 'D');
    EXPECT_TRUE(journal.valid);
    EXPECT_EQ(journal.files.size(), c.files);
    EXPECT_EQ(journal.torn, c.torn);
    EXPECT_EQ(journal.damaged, c.damaged);
    for (const JournalFile& file : journal.files) EXPECT_EQ(file.path.substr(0, 10), "D:\\KAVLIN\\");
  }
}

}  // namespace
}  // namespace kavlin
