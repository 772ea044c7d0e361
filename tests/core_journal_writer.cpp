// The journaling writer's thread: the files are written while the engine
// computes the next, yet every file's entry is forced before its first
// record is written, every file is forced before the commit, the tiles end
// bit for bit as written by the plain way, and a failure in the writer
// names its tile with the files after it unwritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

using testing::TileDb;

struct Killed {};

// Host file services that log the run's write points in order (guarded,
// since the writer thread calls them too), and that fail or die at the
// first write or flush of one tile.
class LoggedFiles : public HostFileServices {
 public:
  enum Fault { NONE, FAIL_WRITE, FAIL_FLUSH, KILL_WRITE };
  LoggedFiles(const DriveTable& drives, bool concurrent, Fault fault = NONE, std::string tile = "")
      : HostFileServices(drives), concurrent_(concurrent), fault_(fault), tile_(std::move(tile)) {}
  bool concurrent_units() const override { return concurrent_; }

  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override {
    const int32_t status = HostFileServices::OPEN_RECORD_FILE(path, record_length, unit);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (status == 0) names_[unit] = last_component(path);
    return status;
  }
  int32_t WRITE_RECORDS(int32_t unit, int32_t first, int32_t length, std::span<const uint8_t> buffer) override {
    if (const int32_t rc = point("write", unit, fault_ == FAIL_WRITE || fault_ == KILL_WRITE); rc != 0) return rc;
    return HostFileServices::WRITE_RECORDS(unit, first, length, buffer);
  }
  int32_t FLUSH_FILE(int32_t unit) override {
    // A slow device behind the writer thread: the caller runs ahead of it.
    if (std::this_thread::get_id() != caller_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (const int32_t rc = point("flush", unit, fault_ == FAIL_FLUSH); rc != 0) return rc;
    return HostFileServices::FLUSH_FILE(unit);
  }
  int32_t WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) override {
    const int32_t status = HostFileServices::WRITE_SYNCED(path, bytes, append);
    std::string all;
    const std::lock_guard<std::mutex> lock(mutex_);
    // The tiles the journal on the device names from now on.
    if (status == 0 && READ_WHOLE_FILE(path, all) == 0) {
      for (const JournalFile& f : decode_journal(all).files) log.push_back("journal " + f.tile_name());
    }
    return status;
  }
  int32_t RENAME_SYNCED(const std::string& path, const std::string& to) override {
    point("commit", 0, false);
    return HostFileServices::RENAME_SYNCED(path, to);
  }
  // Read once the run is over (its writer thread ended).
  std::vector<std::string> log;
  bool written_elsewhere = false;

 private:
  int32_t point(const std::string& what, int32_t unit, bool fault_here) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string name = names_[unit];
    written_elsewhere = written_elsewhere || std::this_thread::get_id() != caller_;
    // Once only: the rollback after it rewrites the tile.
    const bool hit = fault_here && name == tile_ && !fired_;
    fired_ = fired_ || hit;
    if (hit && fault_ == KILL_WRITE) throw Killed{};
    log.push_back(unit == 0 ? what : what + " " + name);
    return hit ? 5 : 0;
  }
  bool concurrent_;
  Fault fault_;
  std::string tile_;
  std::thread::id caller_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::map<int32_t, std::string> names_;
  bool fired_ = false;
};

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
  std::map<std::string, std::string> before;
};

TEST_F(JournalWriterTest, EntriesAndTilesAreForcedInOrderAndTheTilesEndAsWrittenThePlainWay) {
  // Each kind once the plain way and once on the writer thread: the same
  // tiles, bit for bit.
  for (const int32_t kind : {1, 9}) {
    std::map<std::string, std::string> plain;
    for (const bool concurrent : {false, true}) {
      LoggedFiles files(db.files().drives(), concurrent);
      const SafeRunResult result = run_journaled(files, 'C', area(), kind);
      ASSERT_EQ(result.engine.outcome, EngineOutcome::Done) << result.engine.notice.text;
      EXPECT_EQ(files.open_count(), 0u);
      EXPECT_EQ(files.written_elsewhere, concurrent) << kind;
      if (!concurrent) {
        plain = db.snapshot();
      } else {
        EXPECT_TRUE(db.snapshot() == plain) << kind;
      }
      const std::vector<std::string>& log = files.log;
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
      LoggedFiles undo_files(db.files().drives(), false);
      ASSERT_EQ(undo_last_modification(undo_files, 'C', false).outcome, UndoResult::Outcome::Done);
    }
    EXPECT_TRUE(db.snapshot() == before);
  }
}

TEST_F(JournalWriterTest, AFailureInTheWriterNamesItsTileAndTheFilesAfterItAreNotWritten) {
  const struct {
    LoggedFiles::Fault fault;
    const char* tile;
  } cases[] = {
      {LoggedFiles::FAIL_WRITE, "E004N49.33M"},  // the first file of the first group
      {LoggedFiles::FAIL_FLUSH, "E005N49.33M"},  // the second file of the second group
      {LoggedFiles::FAIL_WRITE, "E006N50.63M"},  // the last file
  };
  // The run's order of files.
  const std::vector<std::string> order = run_journaled(db.files(), 'C', area(), 1, {.dry_run = true}).engine.listed_tiles;
  for (const auto& c : cases) {
    LoggedFiles files(db.files().drives(), true, c.fault, c.tile);
    const SafeRunResult result = run_journaled(files, 'C', area(), 1);
    EXPECT_EQ(result.engine.outcome, EngineOutcome::FileError) << c.tile;
    ASSERT_EQ(result.notices.size(), 2u) << c.tile;
    EXPECT_EQ(result.notices[0].text, std::string("Error writing record of file ") + c.tile + "!");
    EXPECT_EQ(result.notices[1].text, RESTORED_TEXT);
    EXPECT_TRUE(db.snapshot() == before) << c.tile;
    EXPECT_EQ(files.open_count(), 0u) << c.tile;
    // Written: the files before the failed one, in the run's order, and
    // the failed one itself.
    const std::vector<std::string> written = written_tiles(files.log);
    const auto at = std::find(order.begin(), order.end(), c.tile);
    ASSERT_NE(at, order.end());
    EXPECT_EQ(written, std::vector<std::string>(order.begin(), at + 1)) << c.tile;
  }
}

TEST_F(JournalWriterTest, AWriterThatDiesLeavesTheJournalForTheNextStart) {
  {
    LoggedFiles files(db.files().drives(), true, LoggedFiles::KILL_WRITE, "E005N49.33M");
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
