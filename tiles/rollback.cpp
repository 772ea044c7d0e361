#include "tiles/rollback.h"

#include <algorithm>
#include <cerrno>
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

// The first file of the journal that is shown not to be the journaled one,
// or (`unread_fails`) that cannot be opened or read; nullptr when none.
const JournalFile* unproven_file(RecordFiles& files, const Journal& journal, bool unread_fails) {
  std::vector<uint8_t> buffer;
  for (const JournalFile& file : journal.files) {
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE_READ(file.path, file.record_length, unit) != 0) {
      if (unread_fails) return &file;
      continue;
    }
    bool proven = true;
    const int32_t read = proves_journaled(files, unit, file, journal, buffer, proven);
    files.CLOSE_FILE(unit);
    if ((read == 0 && !proven) || (read != 0 && unread_fails)) return &file;
  }
  return nullptr;
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
  // and made anew often gets the number of the one before.) A file that
  // cannot be read fails below.
  if (const JournalFile* other = unproven_file(files, journal, false)) {
    result.ok = false;
    result.failed_tile = other->tile_name();
    result.reason = "is not the tile the journal was written for";
    return result;
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

PendingRollback pending_rollback(RecordFiles& files, const Journal& journal) {
  PendingRollback pending;
  pending.journal = journal;
  pending.restorable = unproven_file(files, journal, true) == nullptr;
  return pending;
}

int32_t RolledBackReads::OPEN_RECORD_FILE(const std::string&, int32_t, int32_t& unit) {
  unit = 0;
  return EROFS;
}

int32_t RolledBackReads::OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) {
  unit = 0;
  if (pending_.any_tile) return MAYBE_HALF_WRITTEN;
  // The journal's paths are on this database's drive, and a tile name
  // names one file of it.
  const std::string name = last_component(path);
  const auto& files = pending_.journal.files;
  const auto file = std::find_if(files.begin(), files.end(), [&](const JournalFile& f) { return f.tile_name() == name; });
  if (file != files.end() && (!pending_.restorable || file->record_length != record_length)) return MAYBE_HALF_WRITTEN;
  if (const int32_t rc = inner_.OPEN_RECORD_FILE_READ(path, record_length, unit); rc != 0) return rc;
  if (file != files.end()) journaled_[unit] = &*file;
  return 0;
}

int32_t RolledBackReads::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  if (const int32_t rc = inner_.READ_RECORD(unit, record, buffer); rc != 0) return rc;
  const auto open = journaled_.find(unit);
  if (open == journaled_.end()) return 0;
  const std::vector<JournalRecord>& records = open->second->records;
  const auto at = std::lower_bound(records.begin(), records.end(), record,
                                   [](const JournalRecord& r, int32_t n) { return r.record < n; });
  if (at != records.end() && at->record == record) undo_journaled(buffer, *at, pending_.journal);
  return 0;
}

int32_t RolledBackReads::WRITE_RECORD(int32_t, int32_t, std::span<const uint8_t>) { return EROFS; }

int32_t RolledBackReads::RECORD_COUNT(int32_t unit, int64_t& records) { return inner_.RECORD_COUNT(unit, records); }

int32_t RolledBackReads::FLUSH_FILE(int32_t) { return EROFS; }

int32_t RolledBackReads::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  return inner_.FILE_IDENTITY(unit, identity);
}

int32_t RolledBackReads::CLOSE_FILE(int32_t unit) {
  journaled_.erase(unit);
  return inner_.CLOSE_FILE(unit);
}

}  // namespace kavlin
