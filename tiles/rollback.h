// The rollback of a journaled run, and the redo and undo of one journaled
// record: what the journal (tiles/journal_format) is for.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "tiles/journal_format.h"
#include "base/file_services.h"

namespace kavlin {

struct RollbackResult {
  bool ok = true;
  std::string failed_tile;  // the tile that could not be restored
  // Why, when it is not a failed transfer: the tile is not the journaled
  // one. Nothing was written then.
  std::string reason;
  int32_t tiles = 0;        // files rewritten
};

// The record as the journaled run left it, from the record as it is now
// (before the run, after it, or half written): the journal's operation on
// the changed words, or for several modifications theirs, first to last.
void redo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal);
// The record as it was before the journaled run, from any of those states:
// the opposite operations, last to first.
void undo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal);

// Applies the opposite of the journal's kind to every journaled word of
// every file it names: read, flip, write (records already old are not
// rewritten), flush, close.
//
// Every file is first shown to be the journaled one by its records: in
// each journaled record the changed words, given the run's flag state,
// must hash to the journaled value. That holds for a record as the run
// wrote it, as it was before, or half written, in the file the run wrote
// or in a copy of it (a database copied, a tile replaced by a copy), and
// fails for another tile. When a file fails, the rollback fails before any
// file is written, naming that tile.
RollbackResult roll_back(RecordFiles& files, const Journal& journal);

// A journal left behind by an interrupted run, as a reader sees it that
// must never show the run's half-written state (the editor's map).
struct PendingRollback {
  // The journal is there but cannot be used (unreadable, damaged): any
  // tile may be half written, and no rollback will restore it.
  bool any_tile = false;
  Journal journal;
  // roll_back will restore every file the journal names: each opens and
  // its records prove it the journaled one.
  bool restorable = true;
};
// The rollback of a decoded journal as it stands: its files opened for
// reading only and proven.
PendingRollback pending_rollback(RecordFiles& files, const Journal& journal);

// Result of opening a tile through RolledBackReads that may stay half
// written: the pending journal names it and will not restore it.
inline constexpr int32_t MAYBE_HALF_WRITTEN = -4;

// Record files opened for reading only, through which every tile reads as
// the pending rollback will leave it: a file the journal names with the
// journal's undo applied to its journaled records, when the rollback
// restores it; when it does not (or the journal cannot be used, for any
// tile) the file does not open (MAYBE_HALF_WRITTEN). Other files read as
// they are. Opening for writing, and writing, give EROFS.
class RolledBackReads : public RecordFiles {
 public:
  RolledBackReads(RecordFiles& inner, const PendingRollback& pending) : inner_(inner), pending_(pending) {}

  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) override;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override;
  int32_t RECORD_COUNT(int32_t unit, int64_t& records) override;
  int32_t FLUSH_FILE(int32_t unit) override;
  int32_t FILE_IDENTITY(int32_t unit, FileIdentity& identity) override;
  int32_t CLOSE_FILE(int32_t unit) override;

 private:
  RecordFiles& inner_;
  const PendingRollback& pending_;
  // The units open on journaled files, with their file's entry.
  std::map<int32_t, const JournalFile*> journaled_;
};

}  // namespace kavlin
