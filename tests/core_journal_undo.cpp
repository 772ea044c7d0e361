// Undo of the last modification: every byte given back only while nothing
// changed since, an undo killed halfway rolled back and repeated, a batch
// of mixed kinds over the four tiles failing anywhere and undone as a
// whole, and journals and undo records of the earlier format version.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/journal_test_support.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/rollback.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using Rule = FaultFiles::Rule;
namespace call = testing::call;

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

}  // namespace
}  // namespace kavlin
