// The rollback of a journaled run, and the redo and undo of one journaled
// record: what the journal (tiles/journal_format) is for.
#pragma once

#include <cstdint>
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

}  // namespace kavlin
