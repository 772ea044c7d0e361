// What a journaled run writes: only the records whose bytes change, no
// file, journal or undo record when nothing changes; and the journals and
// undo records of the earlier format version still roll back and undo.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/kernels.h"
#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tiles/journal_format.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using testing::TileDb;
using Snapshot = std::map<std::string, std::string>;

// Host file services that count the tile bytes written and the tile files
// forced to the device.
class CountingFiles : public HostFileServices {
 public:
  using HostFileServices::HostFileServices;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override {
    tile_bytes += static_cast<int64_t>(buffer.size());
    return HostFileServices::WRITE_RECORD(unit, record, buffer);
  }
  int32_t WRITE_RECORDS(int32_t unit, int32_t first, int32_t length, std::span<const uint8_t> buffer) override {
    tile_bytes += static_cast<int64_t>(buffer.size());
    return HostFileServices::WRITE_RECORDS(unit, first, length, buffer);
  }
  int32_t FLUSH_FILE(int32_t unit) override {
    ++flushes;
    return HostFileServices::FLUSH_FILE(unit);
  }
  int64_t tile_bytes = 0;
  int flushes = 0;
};

class JournalWritesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const int lon : {4, 5}) {
      for (const int lat : {49, 50}) db.make_tile(lon, lat);
    }
    before = db.snapshot();
  }
  fs::path kavlin() const { return db.drive_root() / "KAVLIN"; }
  // The bytes of the records that differ between two snapshots.
  static int64_t changed_record_bytes(const Snapshot& a, const Snapshot& b) {
    int64_t bytes = 0;
    for (const auto& [path, old_bytes] : a) {
      const std::string& new_bytes = b.at(path);
      const int32_t length = path.ends_with(".33M") ? RECORD_LENGTH_3S : RECORD_LENGTH_6S;
      for (std::size_t at = 0; at < old_bytes.size(); at += static_cast<std::size_t>(length)) {
        if (old_bytes.compare(at, length, new_bytes, at, length) != 0) bytes += length;
      }
    }
    return bytes;
  }
  TileDb db;
  Snapshot before;
};

// A point, a point whose flag is already as the kind makes it, and a
// rectangle over four tiles: the run writes exactly the records that
// change, forces only the files it writes, and ends with the bytes the
// engine alone leaves.
TEST_F(JournalWritesTest, OnlyTheRecordsThatChangeAreWritten) {
  const VertexTable corner = testing::vertex_table({{5.0, 50.0}});
  const VertexTable rectangle =
      testing::vertex_table({{4.9, 50.1}, {5.1, 50.1}, {5.1, 49.9}, {4.9, 49.9}, {4.9, 50.1}});
  // An undo record of an earlier run, to be left as it is by a run that
  // changes nothing.
  testing::write_file(kavlin() / "UNDO", "an earlier run's undo record");
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
    const std::string undo_before = testing::read_file(kavlin() / "UNDO");
    CountingFiles files(db.files().drives());
    const SafeRunResult result = run_journaled(files, 'C', *c.area, c.kind);
    ASSERT_EQ(result.engine.outcome, EngineOutcome::Done);
    EXPECT_EQ(result.engine.notice.text, "All modifications are done!");
    const Snapshot after = db.snapshot();
    EXPECT_EQ(files.tile_bytes, changed_record_bytes(start, after));
    EXPECT_FALSE(fs::exists(kavlin() / "JOURNAL"));
    if (c.changes) {
      EXPECT_GT(files.tile_bytes, 0);
      if (c.area == &corner) EXPECT_LE(files.tile_bytes, 4 * RECORD_LENGTH_3S);
      EXPECT_NE(testing::read_file(kavlin() / "UNDO"), undo_before);
      // The engine alone, from the same start, leaves the same bytes.
      for (const auto& [path, bytes] : start) testing::write_file(db.drive_root() / path, bytes);
      ASSERT_EQ(apply_modification(db.files(), 'C', *c.area, c.kind).outcome, EngineOutcome::Done);
      EXPECT_TRUE(db.snapshot() == after);
    } else {
      EXPECT_EQ(result.engine.words_changed, 0);
      EXPECT_EQ(files.tile_bytes, 0);
      EXPECT_EQ(files.flushes, 0);
      EXPECT_EQ(testing::read_file(kavlin() / "UNDO"), undo_before);
    }
  }
}

// A journal and an undo record of the earlier format version, kept from
// that version's runs on these tiles (a rectangle over the corner, kind
// 9; and a batch of kinds 1, 2, 7), roll back and undo the run.
TEST_F(JournalWritesTest, EarlierVersionJournalsRollBackAndUndo) {
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
      testing::write_file(kavlin() / (as_undo ? "UNDO" : "JOURNAL"), journal);
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
    std::string bytes = encode_journal_start(9);
    // [magic][length][type][version]...[crc32]
    for (int b = 0; b < 4; ++b) bytes[9 + b] = static_cast<char>(version >> (8 * b));
    const auto crc = static_cast<uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data() + 8), static_cast<uInt>(bytes.size() - 12)));
    for (int b = 0; b < 4; ++b) bytes[bytes.size() - 4 + b] = static_cast<char>(crc >> (8 * b));
    const Journal journal = decode_journal(bytes + encode_journal_start(9));
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
