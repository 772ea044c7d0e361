// The history of runs and the undo of an earlier run: what each run leaves
// in the history, the undo of a run whose words are untouched, the refusal
// that names the later run, the records kept, and a history that is torn,
// damaged or planted.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tiles/run_history.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using testing::Snapshot;
using testing::notice_lines;

VertexTable rect(double lon1, double lat1, double lon2, double lat2) {
  return testing::vertex_table({{lon1, lat1}, {lon2, lat1}, {lon2, lat2}, {lon1, lat2}, {lon1, lat1}});
}

// Grid points whose stored words differ between two snapshots, each point
// once by its place on the whole grid (latitude and longitude in steps of
// 3 seconds), however many records and tiles store it.
int64_t points_between(const Snapshot& a, const Snapshot& b) {
  std::set<std::pair<int64_t, int64_t>> points;
  for (const auto& [path, bytes] : a) {
    const std::string name = fs::path(path).filename().string();
    if (!tile_name_valid(name) || b.count(path) == 0) continue;
    const TileOrigin t = TILE_ORIGIN(name);
    for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
      for (int32_t w = 0; w < t.words_per_record(); ++w) {
        if (testing::word_at(bytes, t.record_length(), r, w) == testing::word_at(b.at(path), t.record_length(), r, w)) {
          continue;
        }
        const int32_t i = (r - 1) / 12 + 1, j = (r - 1) % 12 + 1, l = w / t.columns() + 1, k = w % t.columns() + 1;
        points.insert({int64_t{t.LAT_DEG} * 1200 + (i - 1) * 100 + (l - 1),
                       int64_t{t.LON_DEG} * 1200 + ((j - 1) * (t.columns() - 1) + (k - 1)) * (t.spacing / 3)});
      }
    }
  }
  return static_cast<int64_t>(points.size());
}

class HistoryTest : public testing::CornerTilesTest {
 protected:
  fs::path kavlin() const { return db.drive_root() / "KAVLIN"; }
  SafeRunResult run(const VertexTable& area, int32_t kind) {
    SafeRunResult r = run_journaled(db.files(), 'C', area, kind);
    EXPECT_EQ(r.engine.outcome, EngineOutcome::Done) << notice_lines(r.notices)[0];
    return r;
  }
  History history() { return read_history(db.files(), 'C'); }
  std::vector<std::string> kept_records() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kavlin())) {
      if (e.path().filename().string().rfind("UNDO.", 0) == 0) names.push_back(e.path().filename().string());
    }
    return names;
  }
  // Three runs: A sets town in E004N49, B trees in E005N50, C trees inside A.
  const VertexTable a = rect(4.5, 49.5, 4.6, 49.4), b = rect(5.5, 50.5, 5.6, 50.4), c = rect(4.52, 49.48, 4.55, 49.45);
};

TEST_F(HistoryTest, ThreeRunsAreListedAndAnEarlierOneUndoneOnlyWhileItsWordsHold) {
  const SafeRunResult ra = run(a, 7);
  const Snapshot s1 = db.snapshot();
  const SafeRunResult rb = run(b, 9);
  const Snapshot s2 = db.snapshot();
  run(c, 9);
  const Snapshot s3 = db.snapshot();

  const History h = history();
  ASSERT_EQ(h.entries.size(), 3u);
  EXPECT_EQ(ra.run, 1);
  EXPECT_EQ(rb.run, 2);
  const std::vector<std::pair<const Snapshot*, const Snapshot*>> steps = {{&before, &s1}, {&s1, &s2}, {&s2, &s3}};
  const std::vector<std::vector<std::string>> tiles = {{"E004N49.33M"}, {"E005N50.63M"}, {"E004N49.33M"}};
  for (std::size_t n = 0; n < 3; ++n) {
    const HistoryEntry& e = h.entries[n];
    EXPECT_EQ(e.run, static_cast<int64_t>(n + 1));
    EXPECT_EQ(e.kinds, std::vector<int32_t>{n == 0 ? 7 : 9});
    EXPECT_EQ(e.tiles, tiles[n]);
    EXPECT_EQ(e.points, points_between(*steps[n].first, *steps[n].second)) << n;
    EXPECT_EQ(e.extent->LON_MIN, (n == 0 ? a : n == 1 ? b : c).AREA_LON[1]);
    EXPECT_TRUE(fs::exists(kavlin() / ("UNDO." + hex64(e.run_id))) || n == 2);
  }
  EXPECT_EQ(h.entries[0].words, ra.engine.words_changed);
  EXPECT_NE(h.entries[0].rings, h.entries[2].rings);

  // B's words are untouched: run 2 is undone alone, and is run 4.
  const UndoResult undone = undo_run(db.files(), 'C', 2, false);
  EXPECT_EQ(notice_lines(undone.notices), std::vector<std::string>{"Info: Run 2 is undone!"});
  Snapshot expected = s3;
  for (const auto& [path, bytes] : s1) {
    if (s2.at(path) != bytes) expected[path] = bytes;
  }
  EXPECT_TRUE(db.snapshot() == expected);
  const HistoryEntry undo = history().entries.back();
  EXPECT_EQ(undo.run, 4);
  EXPECT_EQ(undo.undo_of, 2);
  EXPECT_EQ(undo.words, h.entries[1].words);
  EXPECT_EQ(undo.points, h.entries[1].points);
  EXPECT_FALSE(fs::exists(kavlin() / ("UNDO." + hex64(h.entries[1].run_id))));

  // C set trees on words A set: run 1 is refused, naming run 3.
  const UndoResult refused = undo_run(db.files(), 'C', 1, false);
  EXPECT_EQ(refused.outcome, UndoResult::Outcome::ChangedSince);
  EXPECT_THAT(notice_lines(refused.notices)[0], ::testing::EndsWith("changed since run 1, by run 3! Nothing was undone."));
  EXPECT_TRUE(db.snapshot() == expected);

  const struct {
    int64_t run;
    const char* notice;
  } refusals[] = {
      {2, "Info: Run 2 is undone already, by run 4!"},
      {4, "Info: Run 4 is an undo: it cannot be undone!"},
      {9, "Info: There is no run 9 in the history!"},
  };
  for (const auto& t : refusals) {
    const UndoResult r = undo_run(db.files(), 'C', t.run, false);
    EXPECT_EQ(r.outcome, UndoResult::Outcome::NothingToUndo);
    EXPECT_EQ(notice_lines(r.notices), std::vector<std::string>{t.notice});
  }

  // The last run undone, run 1's words hold again: every tile as before.
  EXPECT_EQ(notice_lines(undo_last_modification(db.files(), 'C', false).notices),
            std::vector<std::string>{"Info: The last modification is undone!"});
  EXPECT_EQ(undo_run(db.files(), 'C', 1, false).outcome, UndoResult::Outcome::Done);
  EXPECT_TRUE(db.snapshot() == before);
  EXPECT_EQ(history().entries.size(), 6u);
  EXPECT_TRUE(kept_records().empty());
}

TEST_F(HistoryTest, RecordsOfTheNewestRunsAreKeptAndTheLastOneFoundWithoutUndo) {
  testing::ScopedEnv keep("KAVLIN_UNDO_RUNS", "2");
  run(a, 7);
  run(b, 9);
  const SafeRunResult third = run(rect(4.2, 50.5, 4.3, 50.4), 3);
  run(rect(5.2, 49.5, 5.3, 49.4), 5);
  const History h = history();
  // Run 4's record is UNDO, run 3's kept beside it, runs 1 and 2 gone.
  EXPECT_EQ(kept_records(), std::vector<std::string>{"UNDO." + hex64(h.entries[2].run_id)});
  EXPECT_EQ(notice_lines(undo_run(db.files(), 'C', 2, false).notices),
            std::vector<std::string>{"Info: The undo record of run 2 is no longer kept! Nothing was undone."});

  // A run that kept UNDO aside and then failed to commit leaves no UNDO:
  // the last run of the history is found by its kept record.
  fs::rename(kavlin() / "UNDO", kavlin() / ("UNDO." + hex64(h.entries[3].run_id)));
  EXPECT_EQ(undo_last_modification(db.files(), 'C', false).outcome, UndoResult::Outcome::Done);
  EXPECT_EQ(history().entries.back().undo_of, 4);
  EXPECT_EQ(undo_run(db.files(), 'C', 3, false).outcome, UndoResult::Outcome::Done);
  EXPECT_EQ(third.run, 3);
}

TEST(HistoryLines, EachLineIsCheckedAndAFailingOneSkipped) {
  HistoryEntry e;
  e.run = 7;
  e.time = "2026-12-09T01:40:12Z";
  e.kinds = {1, 4};
  e.extent = Extent{5.1, 5.3, 49.2, 49.4};
  e.rings = 0x0123456789abcdefULL;
  e.run_id = 42;
  e.tiles = {"E005N49.33M", "E006N50.63M"};
  e.points = 12;
  e.words = 15;
  HistoryEntry undo = e;
  undo.run = 8;
  undo.kinds.clear();
  undo.undo_of = 7;
  undo.extent.reset();
  const std::string good = encode_history_line(e);
  ASSERT_EQ(parse_history(good + encode_history_line(undo)).entries, (std::vector<HistoryEntry>{e, undo}));

  const auto spoilt = [&](const std::string& from, const std::string& to) {
    std::string line = good;
    line.replace(line.find(from), from.size(), to);
    return line;
  };
  const std::string lines[] = {
      spoilt("time=2026-12-09T01:40:12Z", "time=2026-12-09T01:40:12+"), spoilt("kinds=1,4", "kinds=1,11"),
      spoilt("E006N50.63M", "E006N50.33M"),  // a 3-second name at 50 degrees north
      spoilt("extent=", "extent=nan,"), spoilt("rings=0123456789abcdef", "rings=0123"),
      spoilt("points=12", "points=-12"), spoilt(" words=15", " words=15 more=1"), spoilt("run=7", "run=0"),
      spoilt("kinds=1,4", "kinds=")};
  for (const std::string& line : lines) {
    const History h = parse_history(line + good);
    EXPECT_EQ(h.damaged_lines, 1) << line;
    EXPECT_EQ(h.entries, std::vector<HistoryEntry>{e}) << line;
  }
  // A run number that does not grow, and a last line cut short (not damage).
  EXPECT_EQ(parse_history(good + good).damaged_lines, 1);
  const History torn = parse_history(good + good.substr(0, 30));
  EXPECT_EQ(torn.damaged_lines, 0);
  EXPECT_EQ(torn.kept_bytes, good.size());
}

TEST_F(HistoryTest, ACutLastLineGoesAFullOneIsKeptAsOldAndAPlantedOneNeverWrittenThrough) {
  run(a, 7);
  const std::string first = testing::read_file(kavlin() / "HISTORY");
  testing::write_file(kavlin() / "HISTORY", first + "run=2 time=2026");  // cut by a power cut
  run(b, 9);
  const History h = history();
  EXPECT_EQ(h.damaged_lines, 0);
  ASSERT_EQ(h.entries.size(), 2u);
  EXPECT_EQ(h.entries[1].run, 2);
  EXPECT_EQ(testing::read_file(kavlin() / "HISTORY").substr(0, first.size()), first);

  // A full history becomes HISTORY.OLD and a new one goes on from it.
  std::string full;
  HistoryEntry filler = h.entries[1];
  for (filler.run = 3; full.size() + 200 < HISTORY_FILE_BYTES; ++filler.run) full += encode_history_line(filler);
  testing::write_file(kavlin() / "HISTORY", full);
  const SafeRunResult next = run(rect(4.6, 49.5, 4.7, 49.4), 7);
  EXPECT_EQ(testing::read_file(kavlin() / "HISTORY.OLD"), full);
  EXPECT_EQ(parse_history(testing::read_file(kavlin() / "HISTORY")).entries.front().run, filler.run);
  EXPECT_EQ(next.run, filler.run);
  EXPECT_EQ(history().entries.size(), static_cast<std::size_t>(filler.run - 2));

  // A link as the history: the run is done, says that it is not in the
  // history, and the link's target is untouched.
  testing::write_file(db.drive_root() / "target", "elsewhere");
  fs::remove(kavlin() / "HISTORY");
  fs::create_symlink(db.drive_root() / "target", kavlin() / "HISTORY");
  const SafeRunResult r = run(c, 9);
  ASSERT_TRUE(r.history_failure);
  EXPECT_EQ(r.history_failure->text,
            "The run is done, but the history C:\\KAVLIN\\HISTORY cannot be read: it is a symbolic link! The run is "
            "not in it.");
  EXPECT_EQ(r.run, 0);
  EXPECT_EQ(testing::read_file(db.drive_root() / "target"), "elsewhere");
  EXPECT_EQ(undo_run(db.files(), 'C', 1, false).outcome, UndoResult::Outcome::FileError);
}

}  // namespace
}  // namespace kavlin
