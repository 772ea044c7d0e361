// Power cuts, replayed: every write and forcing of a run is logged with its
// bytes, and from the log the states a power cut may leave on the device
// are built: at every point of the run, what was forced is kept, and of
// what was written since each file's last forcing any part may have
// reached the device (appends cut, torn into sectors, lost in any order).
// Each state is then recovered as the next start would, and must end
// with every tile entirely as before the run, or, once the run was
// committed, entirely as after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using testing::Snapshot;

// What a device keeps whole or not at all.
constexpr std::size_t SECTOR = 512;

// One mutating call, on a path relative to the drive's root.
struct Op {
  enum Kind { Write, Sync, Rename, Remove } kind;
  std::string path;
  std::string to;        // Rename
  std::size_t offset = 0;
  std::string bytes;     // Write
  bool truncate = false; // Write: the file made anew first
};

// The log of every write and forcing of `files`, in order and with the
// bytes, as calls on paths relative to the drive's root `root`: a journal
// write is a write and a forcing.
std::vector<Op> ops(const testing::FaultFiles& files, const fs::path& root) {
  namespace call = testing::call;
  auto relative = [&](const std::string& path) { return fs::relative(*files.drives().resolve(path), root).string(); };
  std::vector<Op> log;
  for (const testing::FaultFiles::Logged& c : files.log()) {
    const std::string at = relative(c.path);
    if (c.call == call::RENAME_SYNCED) log.push_back({Op::Rename, at, relative(c.to)});
    if (c.call == call::REMOVE_SYNCED) log.push_back({Op::Remove, at});
    if (c.call & (call::WRITE_RECORD | call::WRITE_RECORDS | call::WRITE_SYNCED)) {
      log.push_back({Op::Write, at, "", c.offset, c.bytes, c.call == call::WRITE_SYNCED && !c.append});
    }
    if (c.call & (call::FLUSH_FILE | call::WRITE_SYNCED)) log.push_back({Op::Sync, at});
  }
  return log;
}

// The sectors of a write: byte ranges split at the device's sector
// boundaries (of the file's offsets).
std::vector<std::pair<std::size_t, std::size_t>> sectors(const Op& w) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t at = w.offset; at < w.offset + w.bytes.size();) {
    const std::size_t end = std::min(w.offset + w.bytes.size(), (at / SECTOR + 1) * SECTOR);
    out.emplace_back(at, end);
    at = end;
  }
  return out;
}

// The files on the device: contents, or none.
using Device = std::map<std::string, std::optional<std::string>>;

// A write's sectors that reached the device (true = kept).
void apply(Device& device, const Op& w, const std::vector<bool>& kept) {
  std::optional<std::string>& file = device[w.path];
  const bool any = std::find(kept.begin(), kept.end(), true) != kept.end();
  if (!any && !file) return;
  if (!file || w.truncate) file = std::string();
  const auto parts = sectors(w);
  for (std::size_t s = 0; s < parts.size(); ++s) {
    if (!kept[s]) continue;
    const auto [begin, end] = parts[s];
    if (file->size() < end) file->resize(end, '\0');
    file->replace(begin, end - begin, w.bytes, begin - w.offset, end - begin);
  }
}

// The device after the first `point` calls of the log: what was forced,
// and the writes not yet forced.
struct Cut {
  Device forced;
  std::vector<const Op*> pending;
};
Cut cut_at(const Device& start, const std::vector<Op>& log, std::size_t point) {
  Cut cut{start, {}};
  for (std::size_t n = 0; n < point; ++n) {
    const Op& op = log[n];
    switch (op.kind) {
      case Op::Write:
        cut.pending.push_back(&op);
        break;
      case Op::Sync: {
        std::vector<const Op*> left;
        for (const Op* w : cut.pending) {
          if (w->path == op.path) {
            apply(cut.forced, *w, std::vector<bool>(sectors(*w).size(), true));
          } else {
            left.push_back(w);
          }
        }
        cut.pending = left;
        break;
      }
      case Op::Rename:
        cut.forced[op.to] = cut.forced[op.path];
        cut.forced[op.path].reset();
        break;
      case Op::Remove:
        cut.forced[op.path].reset();
        break;
    }
  }
  return cut;
}

// The states a power cut at this point may leave: of the pending writes,
// none or all; each lost alone, or kept alone; each append cut after every
// sector and with every sector lost alone; and sectors kept at random.
std::vector<Device> crash_states(const Cut& cut, std::mt19937& random) {
  std::vector<Device> states;
  const std::size_t n = cut.pending.size();
  auto state = [&](const std::function<std::vector<bool>(std::size_t w, std::size_t sectors)>& kept) {
    Device device = cut.forced;
    for (std::size_t w = 0; w < n; ++w) apply(device, *cut.pending[w], kept(w, sectors(*cut.pending[w]).size()));
    states.push_back(std::move(device));
  };
  auto all = [](bool value) { return [value](std::size_t, std::size_t s) { return std::vector<bool>(s, value); }; };
  state(all(false));
  if (n == 0) return states;
  state(all(true));
  for (std::size_t one = 0; one < n; ++one) {
    state([&](std::size_t w, std::size_t s) { return std::vector<bool>(s, w != one); });
    state([&](std::size_t w, std::size_t s) { return std::vector<bool>(s, w == one); });
    const std::size_t count = sectors(*cut.pending[one]).size();
    if (cut.pending[one]->path != "KAVLIN/JOURNAL" || count < 2) continue;
    for (std::size_t s = 0; s < count; ++s) {
      state([&](std::size_t w, std::size_t size) {
        std::vector<bool> kept(size, true);
        if (w == one) {
          for (std::size_t k = s + 1; k < size; ++k) kept[k] = false;  // cut after sector s
        }
        return kept;
      });
      state([&](std::size_t w, std::size_t size) {
        std::vector<bool> kept(size, true);
        if (w == one) kept[s] = false;  // sector s lost alone
        return kept;
      });
    }
  }
  for (int round = 0; round < 6; ++round) {
    state([&](std::size_t, std::size_t s) {
      std::vector<bool> kept(s);
      for (std::size_t k = 0; k < s; ++k) kept[k] = random() % 2 == 0;
      return kept;
    });
  }
  return states;
}

class CrashStateTest : public testing::CornerTilesTest {
 protected:
  // The whole database folder as it is on disk, UNDO included.
  Device device() const {
    Device files;
    for (const auto& [path, bytes] : db.snapshot()) files[path] = bytes;
    const fs::path undo = db.drive_root() / "KAVLIN" / "UNDO";
    files["KAVLIN/UNDO"] = fs::exists(undo) ? std::optional(testing::read_file(undo)) : std::nullopt;
    files["KAVLIN/JOURNAL"];
    return files;
  }
  // Lays a state on disk, writing only the files that differ from the last.
  void lay(const Device& state) {
    for (const auto& [path, bytes] : state) {
      if (laid_.count(path) != 0 && laid_[path] == bytes) continue;
      const fs::path host = db.drive_root() / path;
      if (bytes) {
        testing::write_file(host, *bytes);
      } else {
        fs::remove(host);
      }
      laid_[path] = bytes;
    }
  }
  Device laid_;
};

// Each run once; then every crash state of its log recovered.
TEST_F(CrashStateTest, EveryPowerCutOfARunOrAnUndoRecoversToEntirelyBeforeOrAfter) {
  const VertexTable rectangle = testing::corner_rectangle();
  const VertexTable triangle = testing::vertex_table({{4.9, 50.1}, {5.1, 50.04}, {4.96, 49.9}, {4.9, 50.1}});
  const AreaModification batch[] = {{&rectangle, 9}, {&triangle, 2}, {&rectangle, 10}};
  const struct {
    const char* label;
    // The run, through the recording files; the call whose effect commits it.
    std::function<bool(testing::FaultFiles&)> run;
    Op::Kind commit;
  } cases[] = {
      {"one modification", [&](testing::FaultFiles& f) {
         return run_journaled(f, 'C', rectangle, 9).engine.outcome == EngineOutcome::Done;
       }, Op::Rename},
      {"a batch of three", [&](testing::FaultFiles& f) {
         return run_journaled(f, 'C', batch).engine.outcome == EngineOutcome::Done;
       }, Op::Rename},
      {"the undo of the batch", [&](testing::FaultFiles& f) {
         return undo_last_modification(f, 'C', false).outcome == UndoResult::Outcome::Done;
       }, Op::Remove},
  };
  std::mt19937 random(24);
  std::size_t explored = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Device start = device();
    const Snapshot before = db.snapshot();
    testing::FaultFiles files(db.files().drives());
    files.log_calls(testing::call::MUTATING, true);
    ASSERT_TRUE(c.run(files));
    const std::vector<Op> log = ops(files, db.drive_root());
    const Snapshot after = db.snapshot();
    const Device end = device();
    ASSERT_NE(before, after);
    // The first call of the commit's kind on the journal.
    const auto commit = std::find_if(log.begin(), log.end(), [&](const Op& op) {
      return op.kind == c.commit && op.path == "KAVLIN/JOURNAL";
    });
    ASSERT_NE(commit, log.end());
    // More than one append, one of them over several sectors.
    ASSERT_GE(std::count_if(log.begin(), log.end(), [](const Op& op) {
      return op.kind == Op::Write && op.path == "KAVLIN/JOURNAL";
    }), 2);
    laid_.clear();
    for (std::size_t point = 0; point <= log.size(); ++point) {
      const bool committed = point > static_cast<std::size_t>(commit - log.begin());
      const Cut cut = cut_at(start, log, point);
      for (const Device& state : crash_states(cut, random)) {
        ++explored;
        lay(state);
        const Recovery recovery = recover_journal(db.files(), 'C');
        ASSERT_NE(recovery.state, Recovery::State::Failed) << "at call " << point << ": " << recovery.notice.text;
        laid_ = device();  // as the rollback left it
        Snapshot now;
        for (const auto& [path, bytes] : laid_) {
          if (bytes && path != "KAVLIN/UNDO") now[path] = *bytes;
        }
        ASSERT_TRUE(now == (committed ? after : before)) << "at call " << point << " of " << log.size();
      }
    }
    lay(end);  // the next case starts from this run's end
  }
  std::cout << "crash states explored: " << explored << "\n";
}

// Where an append fails decides: before a whole append of the run it had
// been forced, and is damage; with none after it, a torn write, dropped.
TEST(JournalAppends, AFailingAppendIsTornOnlyWhenNoWholeAppendOfTheRunFollowsIt) {
  constexpr int32_t words = RECORD_LENGTH_3S / 2;
  auto file = [&](const char* path, int32_t record) {
    return JournalFile{path, {1, static_cast<uint64_t>(record)}, RECORD_LENGTH_3S,
                       {JournalRecord::from_runs(record, words, {{0, 2}, {10, 1}}, 0x1234)}};
  };
  const JournalFile a = file("C:\\KAVLIN\\E005\\E005N49.33M", 3);
  const JournalFile b = file("C:\\KAVLIN\\E004\\E004N49.33M", 4);
  const JournalFile c = file("C:\\KAVLIN\\E005\\E005N48.33M", 5);
  constexpr uint64_t RUN = 0x1122334455667788;
  const std::string first = encode_journal_append(encode_journal_start({1}) + encode_journal_file(a), 0, RUN);
  const std::string second = encode_journal_append(encode_journal_file(b), 1, RUN);
  const std::string third = encode_journal_append(encode_journal_file(c), 2, RUN);
  const std::string stale = encode_journal_append(encode_journal_file(c), 2, RUN + 1);
  auto spoil = [](std::string bytes, std::size_t at) {
    bytes[at] ^= 0x10;
    return bytes;
  };
  const std::string lost_head = std::string(24, '\0') + first.substr(24);
  const struct {
    const char* label;
    std::string bytes;
    bool torn;
    const char* damage;
    std::size_t files;
  } cases[] = {
      {"whole", first + second + third, false, "", 3},
      {"last append cut", first + second + third.substr(0, third.size() - 5), true, "", 2},
      {"last append's entry spoilt", first + second + spoil(third, 40), true, "", 2},
      {"last append's head lost", first + second + std::string(24, '\0') + third.substr(24), true, "", 2},
      {"last append of another run", first + second + stale, true, "", 2},
      {"first append's head lost, alone", lost_head, true, "", 0},
      {"middle append's entry spoilt", first + spoil(second, 40) + third, false, "append 2 fails its checksum", 1},
      {"middle append's head spoilt", first + spoil(second, 9) + third, false, "append 2 has a damaged head", 1},
      {"middle append of another run", first + stale + third, false, "append 2 has a damaged head", 1},
      {"first append's head lost before another", lost_head + second, false, "append 1 has a damaged head", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Journal journal = decode_journal(c.bytes);
    EXPECT_TRUE(journal.framed);
    EXPECT_EQ(journal.torn, c.torn);
    EXPECT_EQ(journal.damaged, std::string(c.damage) != "");
    EXPECT_EQ(journal.damage, c.damage);
    EXPECT_EQ(journal.files.size(), c.files);
  }
}

}  // namespace
}  // namespace kavlin
