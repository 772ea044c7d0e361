// The journaling writer's thread: the files are written while the engine
// computes the next, yet every file's entry is forced before its first
// record is written, every file is forced before the commit, the tiles end
// bit for bit as written by the plain way, and a failure in the writer
// names its tile with the files after it unwritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using testing::TileDb;
using testing::Killed;
using testing::FaultFiles;
using Rule = FaultFiles::Rule;
namespace call = testing::call;

// Files that log the run's write points (guarded, since the writer thread
// calls them too), behind them a slow device on the writer thread: the
// caller runs ahead of it.
void watch(FaultFiles& files) {
  files.log_calls(call::WRITE_RECORDS | call::FLUSH_FILE | call::WRITE_SYNCED | call::RENAME_SYNCED);
  files.add(Rule(call::FLUSH_FILE).elsewhere().slow(std::chrono::milliseconds(20)));
}

// The write points in order: "write TILE", "flush TILE", "journal TILE"
// for each tile the journal on the device names after a forcing, "commit".
std::vector<std::string> events(const FaultFiles& files) {
  std::vector<std::string> out;
  for (const FaultFiles::Logged& c : files.log()) {
    for (const std::string& tile : c.journaled) out.push_back("journal " + tile);
    if (c.call == call::WRITE_RECORDS) out.push_back("write " + c.file);
    if (c.call == call::FLUSH_FILE) out.push_back("flush " + c.file);
    if (c.call == call::RENAME_SYNCED) out.push_back("commit");
  }
  return out;
}

// The tiles in the order of their first write.
std::vector<std::string> written_tiles(const std::vector<std::string>& log) {
  std::vector<std::string> tiles;
  for (const std::string& event : log) {
    if (event.starts_with("write ") && std::find(tiles.begin(), tiles.end(), event.substr(6)) == tiles.end()) {
      tiles.push_back(event.substr(6));
    }
  }
  return tiles;
}

class JournalWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const int lon : {4, 5, 6}) {
      for (const int lat : {49, 50}) db.make_tile(lon, lat);
    }
    before = db.snapshot();
  }
  // Six tiles E004..E006 x N49..N50, three groups of two.
  static VertexTable area() {
    return testing::vertex_table({{4.95, 50.05}, {6.05, 50.05}, {6.05, 49.95}, {4.95, 49.95}, {4.95, 50.05}});
  }
  TileDb db;
  testing::Snapshot before;
};

TEST_F(JournalWriterTest, EntriesAndTilesAreForcedInOrderAndTheTilesEndAsWrittenThePlainWay) {
  // Each kind once the plain way and once on the writer thread: the same
  // tiles, bit for bit.
  for (const int32_t kind : {1, 9}) {
    testing::Snapshot plain;
    for (const bool concurrent : {false, true}) {
      FaultFiles files(db.files().drives(), concurrent ? FaultFiles::CONCURRENT : 0);
      watch(files);
      const SafeRunResult result = run_journaled(files, 'C', area(), kind);
      ASSERT_EQ(result.engine.outcome, EngineOutcome::Done) << result.engine.notice.text;
      EXPECT_EQ(files.open_count(), 0u);
      EXPECT_EQ(std::ranges::any_of(files.log(), &FaultFiles::Logged::elsewhere), concurrent) << kind;
      if (!concurrent) {
        plain = db.snapshot();
      } else {
        EXPECT_TRUE(db.snapshot() == plain) << kind;
      }
      const std::vector<std::string> log = events(files);
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), "commit");
      EXPECT_EQ(written_tiles(log).size(), 6u);
      std::set<std::string> journaled;
      std::set<std::string> unforced;  // written since its last flush
      for (const std::string& event : log) {
        const std::string tile = event.substr(event.find(' ') + 1);
        if (event.starts_with("journal ")) journaled.insert(tile);
        if (event.starts_with("write ")) {
          EXPECT_EQ(journaled.count(tile), 1u) << tile << " written before its entry was forced";
          unforced.insert(tile);
        }
        if (event.starts_with("flush ")) unforced.erase(tile);
        if (event == "commit") EXPECT_TRUE(unforced.empty()) << *unforced.begin() << " not forced before the commit";
      }
      // Back to the tiles as before, for the next kind.
      FaultFiles undo_files(db.files().drives());
      ASSERT_EQ(undo_last_modification(undo_files, 'C', false).outcome, UndoResult::Outcome::Done);
    }
    EXPECT_TRUE(db.snapshot() == before);
  }
}

TEST_F(JournalWriterTest, AFailureInTheWriterNamesItsTileAndTheFilesAfterItAreNotWritten) {
  // Once only: the rollback after it rewrites the tile.
  const struct {
    call::Set fault;
    const char* tile;
  } cases[] = {
      {call::WRITE_RECORDS, "E004N49.33M"},  // the first file of the first group
      {call::FLUSH_FILE, "E005N49.33M"},     // the second file of the second group
      {call::WRITE_RECORDS, "E006N50.63M"},  // the last file
  };
  // The run's order of files.
  const std::vector<std::string> order = run_journaled(db.files(), 'C', area(), 1, {.dry_run = true}).engine.listed_tiles;
  for (const auto& c : cases) {
    FaultFiles files(db.files().drives(), FaultFiles::CONCURRENT, {Rule(c.fault).on_file(c.tile).nth(1)});
    watch(files);
    const SafeRunResult result = run_journaled(files, 'C', area(), 1);
    EXPECT_EQ(result.engine.outcome, EngineOutcome::FileError) << c.tile;
    ASSERT_EQ(result.notices.size(), 2u) << c.tile;
    EXPECT_EQ(result.notices[0].text, std::string("Error writing record of file ") + c.tile + "!");
    EXPECT_EQ(result.notices[1].text, RESTORED_TEXT);
    EXPECT_TRUE(db.snapshot() == before) << c.tile;
    EXPECT_EQ(files.open_count(), 0u) << c.tile;
    // Written: the files before the failed one, in the run's order, and
    // the failed one itself.
    const std::vector<std::string> written = written_tiles(events(files));
    const auto at = std::find(order.begin(), order.end(), c.tile);
    ASSERT_NE(at, order.end());
    EXPECT_EQ(written, std::vector<std::string>(order.begin(), at + 1)) << c.tile;
  }
}

TEST_F(JournalWriterTest, AWriterThatDiesLeavesTheJournalForTheNextStart) {
  {
    FaultFiles files(db.files().drives(), FaultFiles::CONCURRENT,
                     {Rule(call::WRITE_RECORDS).on_file("E005N49.33M").nth(1).kill()});
    watch(files);
    EXPECT_THROW(run_journaled(files, 'C', area(), 9), Killed);
    files.CLOSE_ALL_FILES();
  }
  ASSERT_TRUE(std::filesystem::exists(db.drive_root() / "KAVLIN" / "JOURNAL"));
  EXPECT_FALSE(db.snapshot() == before);
  const Recovery recovery = recover_journal(db.files(), 'C');
  EXPECT_EQ(recovery.state, Recovery::State::Restored);
  EXPECT_TRUE(db.snapshot() == before);
}

}  // namespace
}  // namespace kavlin
