// The journal's records: a torn journal keeps its complete entries, the
// engine reports exactly the words it changes, the change bitmap and hash
// are the word-by-word ones, records are stored as runs or bitmap, only
// the records that change are written, a start entry of an unknown
// version is damage, and the kernel of the changed words.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/kernels.h"
#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/journal_test_support.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/journaling_files.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using namespace testing;
namespace call = testing::call;

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

}  // namespace
}  // namespace kavlin
