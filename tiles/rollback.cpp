#include "tiles/rollback.h"

#include <optional>
#include <utility>
#include <vector>

#include "tiles/tile_files.h"

namespace kavlin {

namespace {

// Whether the open file is the journaled `file`: in every journaled record
// the changed words, each given the run's flag state, hash to the value
// the run left. That holds for a record as the run wrote it, as it was
// before (the run's write never reached it), and half written, and for no
// record whose changed words differ in any other bit.
int32_t proves_journaled(RecordFiles& files, int32_t unit, const JournalFile& file, const Journal& journal,
                         std::vector<uint8_t>& buffer, bool& proven) {
  proven = false;
  buffer.resize(static_cast<std::size_t>(file.record_length));
  for (const JournalRecord& record : file.records) {
    if (const int32_t rc = files.READ_RECORD(unit, record.record, buffer); rc != 0) return rc;
    redo_journaled(buffer, record, journal);
    if (journal.hash(buffer, record.changed) != record.hash) return 0;
  }
  proven = true;
  return 0;
}

}  // namespace

namespace {

// Calls `f(kind, words)` for each operation of a journaled record, in the
// order the run applied them.
template <typename F>
void for_each_operation(const JournalRecord& record, const Journal& journal, F&& f) {
  if (record.steps.empty()) {
    if (!journal.kinds.empty()) f(journal.kinds.front(), record.changed);
    return;
  }
  for (const JournalStep& step : record.steps) {
    if (static_cast<std::size_t>(step.modification) < journal.kinds.size()) {
      f(journal.kinds[static_cast<std::size_t>(step.modification)], step.changed);
    }
  }
}

void apply_operation(std::span<uint8_t> buffer, int32_t kind, const WordBitmap& changed) {
  const std::optional<KindOperation> op = kind_operation(kind);
  if (!op) return;
  for_each_changed(changed, [&](int32_t w) { put_word(buffer, 2 * w, apply_kind(*op, get_word(buffer, 2 * w))); });
}

}  // namespace

void redo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal) {
  for_each_operation(record, journal, [&](int32_t kind, const WordBitmap& changed) {
    apply_operation(buffer, kind, changed);
  });
}

void undo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal) {
  // The opposites, last to first (journals of earlier releases may name
  // one word in several of a record's operations).
  std::vector<std::pair<int32_t, const WordBitmap*>> operations;
  for_each_operation(record, journal, [&](int32_t kind, const WordBitmap& changed) {
    operations.emplace_back(opposite_kind(kind), &changed);
  });
  for (auto op = operations.rbegin(); op != operations.rend(); ++op) apply_operation(buffer, op->first, *op->second);
}

RollbackResult roll_back(RecordFiles& files, const Journal& journal) {
  RollbackResult result;
  if (journal.kinds.empty()) return result;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> before;
  // First every file is shown to be the journaled one by its records,
  // before anything is written. (An inode proves nothing: a tile removed
  // and made anew often gets the number of the one before.)
  for (const JournalFile& file : journal.files) {
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE_READ(file.path, file.record_length, unit) != 0) continue;  // fails below
    bool proven = true;
    if (proves_journaled(files, unit, file, journal, buffer, proven) == 0 && !proven) {
      files.CLOSE_FILE(unit);
      result.ok = false;
      result.failed_tile = file.tile_name();
      result.reason = "is not the tile the journal was written for";
      return result;
    }
    files.CLOSE_FILE(unit);
  }
  for (const JournalFile& file : journal.files) {
    const std::string name = file.tile_name();
    auto fail = [&] {
      result.ok = false;
      result.failed_tile = name;
      return result;
    };
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) return fail();
    buffer.resize(static_cast<std::size_t>(file.record_length));
    bool wrote = false;
    for (const JournalRecord& record : file.records) {
      if (files.READ_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      before.assign(buffer.begin(), buffer.end());
      undo_journaled(buffer, record, journal);
      if (before == buffer) continue;
      if (files.WRITE_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      wrote = true;
    }
    if (wrote && files.FLUSH_FILE(unit) != 0) {
      files.CLOSE_FILE(unit);
      return fail();
    }
    if (files.CLOSE_FILE(unit) != 0 && wrote) return fail();
    if (wrote) ++result.tiles;
  }
  return result;
}

}  // namespace kavlin
