#include "tiles/safe_run.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cmath>
#include <bitset>
#include <map>
#include <new>
#include <optional>

#include "polygon/area_rules.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

bool journal_exists(OwnFiles& files, char drive) {
  return files.FILE_KIND(journal_path(drive)) != FILE_NOT_FOUND;
}

// An upper bound of the bytes of the journal of the modifications run as
// one, from their areas alone: each record that any modification's area
// or its edge copies may reach counted once, its words all changed by as
// many operations as the run has kinds (at most ten). A record touched by
// many lines is journaled once.
int64_t journal_bound(std::span<const AreaModification> modifications) {
  std::vector<int32_t> kinds;
  for (const AreaModification& m : modifications) {
    if (std::find(kinds.begin(), kinds.end(), m.mod_kind) == kinds.end()) kinds.push_back(m.mod_kind);
  }
  const auto operations = static_cast<int64_t>(std::min<std::size_t>(kinds.size(), 10));
  auto record_bytes = [&](const TileOrigin& origin) { return journal_record_bytes(origin, operations); };
  // The records each tile may have written (bit r of the tile's set).
  std::map<std::pair<int32_t, int32_t>, std::bitset<RECORDS_PER_TILE + 1>> touched;
  for (const AreaModification& m : modifications) {
    if (m.table == nullptr || m.table->NREC < 1) continue;
    const Extent e = AREA_EXTENT(*m.table);
    // The area checks have passed: at most 36 tiles.
    for (double lon = std::floor(e.LON_MIN); lon <= std::floor(e.LON_MAX); lon += 1.0) {
      for (double lat = std::floor(e.LAT_MIN); lat <= std::floor(e.LAT_MAX); lat += 1.0) {
        const auto lon_deg = static_cast<int32_t>(lon);
        const auto lat_deg = static_cast<int32_t>(lat);
        const TileOrigin origin = TILE_ORIGIN(TILE_NAME(lon_deg, lat_deg));
        for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
          const double y0 = grid_latitude(lat_deg, i, 1);
          const double y1 = grid_latitude(lat_deg, i, ROWS_PER_BLOCK);
          if (y1 < e.LAT_MIN || y0 > e.LAT_MAX) continue;
          for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
            const double x0 = grid_longitude(lon_deg, j, 1, origin.spacing);
            const double x1 = grid_longitude(lon_deg, j, origin.columns(), origin.spacing);
            if (x1 < e.LON_MIN || x0 > e.LON_MAX) continue;
            const int32_t record = record_number(i, j);
            touched[{lon_deg, lat_deg}].set(static_cast<std::size_t>(record));
            // The records its first word's edge copies go to: every edge
            // copy of the record lands in one of them.
            for (const StoredPlace& copy : edge_copies(origin, record, 1, 1)) {
              touched[{copy.LON_DEG, copy.LAT_DEG}].set(static_cast<std::size_t>(copy.record));
            }
          }
        }
      }
    }
  }
  int64_t bound = 64 + 2 * static_cast<int64_t>(modifications.size());
  for (const auto& [tile, records] : touched) {
    bound += static_cast<int64_t>(records.count()) * record_bytes(TILE_ORIGIN(TILE_NAME(tile.first, tile.second)));
  }
  return bound;
}

}  // namespace

Notice lock_notice(char drive, int32_t error, bool gate) {
  const std::string path = gate ? gate_path(drive) : lock_path(drive);
  std::string text = "The database lock " + path + " cannot be taken: " + own_file_reason(error) + "! Nothing was changed.";
  if (error == NO_LOCK_FILE) {
    text += " A modification needs a database folder it may write.";
  } else {
    text += std::string(" ") + (gate ? "GATE" : "LOCK") +
            " must be a regular file that every user of the database may read: repair or remove it (a run "
            "makes a new one), then start again.";
  }
  return {text, "Error"};
}

DatabaseLock::DatabaseLock(OwnFiles& files, char drive, bool wait, const Busy& busy, bool shared)
    : files_(files), path_(lock_path(drive)), gate_path_(gate_path(drive)), shared_(shared) {
  const int32_t status = attempt(false);
  if (status != FILE_BUSY) {
    error_ = status;
    return;
  }
  was_busy_ = true;
  if (busy) {
    busy([this] {
      if (held() || error_ != 0) return true;
      const int32_t again = attempt(false);
      if (again != FILE_BUSY) error_ = again;
      return again != FILE_BUSY;
    });
  }
  if (held() || error_ != 0) return;
  if (wait) {
    error_ = attempt(true);
  } else if (gate_ != 0) {
    // Given up: the place in the queue goes too.
    files_.UNLOCK_FILE(gate_);
  }
}

int32_t DatabaseLock::attempt(bool wait) {
  if (gate_ == 0 && !without_gate_) {
    const int32_t gate = files_.LOCK_FILE(gate_path_, wait, gate_, false);
    if (gate == FILE_BUSY) return FILE_BUSY;
    if (gate == NO_LOCK_FILE || gate == FILE_NOT_FOUND) {
      // No gate can be made here (or there is no database folder, and the
      // lock below says so).
      without_gate_ = true;
    } else if (gate != 0) {
      gate_failed_ = true;
      return gate;
    }
  }
  const int32_t status = files_.LOCK_FILE(path_, wait, handle_, shared_);
  // While the lock is another's the gate is kept: who comes next waits
  // behind this taker.
  if (status == FILE_BUSY) return status;
  if (gate_ != 0) files_.UNLOCK_FILE(gate_);
  return status;
}

DatabaseLock::~DatabaseLock() { release(); }

void DatabaseLock::release() {
  if (handle_ != 0) files_.UNLOCK_FILE(handle_);
  if (gate_ != 0) files_.UNLOCK_FILE(gate_);
}

Recovery recover_journal(FileServices& files, char drive) {
  Recovery recovery;
  if (!journal_exists(files, drive)) return recovery;
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, journal_size_limit(files, drive));
  if (read == FILE_NOT_FOUND) return recovery;
  auto failed = [&](const Notice& notice) {
    recovery.state = Recovery::State::Failed;
    recovery.notice = notice;
    return recovery;
  };
  if (read == FILE_TOO_LARGE) return failed(damaged_journal_notice(drive, "it is larger than any journal"));
  if (read != 0) return failed(journal_read_notice(drive, read));
  const Journal journal = decode_journal(bytes, drive);
  if (journal.damaged) return failed(damaged_journal_notice(drive, journal.damage));
  if (journal.files.empty()) {
    // Cut short before its first file entry was complete: nothing of the
    // run reached a tile.
    if (std::optional<Notice> kept = remove_journal(files, drive, NO_TILE_WRITTEN_TEXT)) return failed(*kept);
    return recovery;
  }
  const RollbackResult rollback = roll_back(files, journal);
  if (!rollback.ok) return failed(rollback_failed_notice(rollback.failed_tile, rollback.reason));
  // The tiles are restored; the journal that stays can only say so.
  if (std::optional<Notice> kept = remove_journal(files, drive, RECOVERED_TEXT)) return failed(*kept);
  recovery.state = Recovery::State::Restored;
  recovery.notice = {RECOVERED_TEXT, "Info"};
  return recovery;
}

PendingRollback read_pending_rollback(FileServices& files, char drive) {
  if (!journal_exists(files, drive)) return {};
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, journal_size_limit(files, drive));
  if (read == FILE_NOT_FOUND) return {};
  const Journal journal = read == 0 ? decode_journal(bytes, drive) : Journal{};
  if (read != 0 || journal.damaged) {
    PendingRollback doubt;
    doubt.any_tile = true;
    doubt.restorable = false;
    return doubt;
  }
  return pending_rollback(files, journal);
}

namespace {

// The database's own files are never used through a link, and are regular
// files or missing (JOURNAL only checked when it is to be rolled back).
std::optional<Notice> own_files_refusal(OwnFiles& files, char drive, bool journal) {
  std::vector<std::string> own = {undo_path(drive)};
  if (journal) own.insert(own.begin(), journal_path(drive));
  for (const std::string& path : own) {
    const int32_t kind = files.FILE_KIND(path);
    if (kind == IS_A_LINK || kind == NOT_A_REGULAR_FILE) return own_file_notice(path, kind);
  }
  return std::nullopt;
}

}  // namespace

DatabaseAccess::DatabaseAccess(FileServices& files, char drive, Access access, const DatabaseLock::Busy& busy,
                               bool recover) {
  const bool reader = access == Access::Read;
  auto refuse = [&](const Notice& notice) {
    notices_.push_back(notice);
    ok_ = false;
  };
  lock_.emplace(files, drive, true, busy, reader);
  const int32_t error = lock_->error();
  // No database folder: there is no tile to read or write either, and the
  // first tile fails to open. A reader goes on where no lock file can be
  // made: nobody can modify the database there.
  if (error != 0 && error != FILE_NOT_FOUND && !(reader && error == NO_LOCK_FILE)) {
    refuse(lock_notice(drive, error, lock_->gate_failed()));
    return;
  }
  if (const std::optional<Notice> refusal = own_files_refusal(files, drive, recover)) {
    refuse(*refusal);
    return;
  }
  if (!recover || !journal_exists(files, drive)) return;
  if (reader) {
    // The rollback writes: it needs the lock for itself.
    if (!lock_->held()) {
      refuse({"An interrupted modification of the database is pending (" + journal_path(drive) +
                  ") and cannot be undone here: the database cannot be locked! Nothing was read. " + RECOVER_HINT +
                  " undoes it where the database can be written.",
              "Error"});
      return;
    }
    lock_.reset();
    lock_.emplace(files, drive, true, busy, false);
    if (lock_->error() != 0 && lock_->error() != FILE_NOT_FOUND) {
      refuse(lock_notice(drive, lock_->error(), lock_->gate_failed()));
      return;
    }
  }
  const Recovery recovery = recover_journal(files, drive);
  if (recovery.state != Recovery::State::None) notices_.push_back(recovery.notice);
  if (recovery.state == Recovery::State::Failed) ok_ = false;
  recovered_ = recovery.state == Recovery::State::Restored;
}

DiscardResult discard_journal(OwnFiles& files, char drive) {
  using Outcome = DiscardResult::Outcome;
  const std::string path = journal_path(drive);
  const int32_t kind = files.FILE_KIND(path);
  if (kind == FILE_NOT_FOUND) return {Outcome::NoJournal, {"There is no journal to set aside!", "Info"}};
  // Which tiles it names, as far as it can be read.
  std::string bytes;
  Journal journal;
  const bool read = kind == 0 && files.READ_WHOLE_FILE(path, bytes, MAX_JOURNAL_BYTES) == 0;
  if (read) journal = decode_journal(bytes, drive);
  char stamp[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  // A dated name that no file has; the lock keeps our own programs away.
  std::string aside = path + "-" + stamp;
  for (int n = 2; files.FILE_KIND(aside) != FILE_NOT_FOUND && n <= 100; ++n) {
    aside = path + "-" + stamp + "-" + std::to_string(n);
  }
  if (files.FILE_KIND(aside) != FILE_NOT_FOUND) {
    return {Outcome::Failed, {"The journal " + path + " could not be set aside: no free name " + aside + "!", "Error"}};
  }
  if (const int32_t rc = files.RENAME_SYNCED(path, aside); rc != 0) {
    return {Outcome::Failed, {"The journal " + path + " could not be set aside: " + own_file_reason(rc) + "!", "Error"}};
  }
  std::vector<std::string> names;
  for (const JournalFile& file : journal.files) {
    if (std::find(names.begin(), names.end(), file.tile_name()) == names.end()) names.push_back(file.tile_name());
  }
  std::string text = "The journal was set aside as " + aside + "; its modification was not undone!";
  const bool complete = read && !journal.damaged;
  if (!names.empty()) {
    text += " These tiles may be half-modified:";
    for (const std::string& name : names) text += " " + name;
    if (!complete) text += ", and any other the journal no longer names";
    text += ".";
  } else if (!complete) {
    text += " Which tiles it touched cannot be read from it: any tile may be half-modified.";
  } else {
    text += " It named no tile: no tile was modified.";
  }
  return {Outcome::Done, {text, "Warning"}};
}

SafeRunResult run_journaled(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                            const EngineOptions& options, const JournalingOptions& journaling) {
  const AreaModification one{&table, mod_kind};
  return run_journaled(files, drive, {&one, 1}, options, journaling);
}

SafeRunResult run_journaled(FileServices& files, char drive, std::span<const AreaModification> modifications,
                            const EngineOptions& options, const JournalingOptions& journaling) {
  SafeRunResult result;
  // The journal must stay one that a rollback reads, whatever the tiles
  // hold.
  std::vector<int32_t> kinds;
  for (const AreaModification& m : modifications) kinds.push_back(m.mod_kind);
  if (modifications.size() > MAX_RUN_MODIFICATIONS ||
      (!options.dry_run && journal_bound(modifications) > static_cast<int64_t>(MAX_JOURNAL_BYTES))) {
    result.engine.outcome = EngineOutcome::Refused;
    result.engine.notice = {BATCH_TOO_LARGE_TEXT, "Error"};
    result.notices.push_back(result.engine.notice);
    return result;
  }
  RunJournal journal(files, drive, kinds, RunJournal::Commit::ToUndoRecord, journaling);
  EngineResult& engine = result.engine;
  // Memory that runs out ends the run as a failed write does: the tiles
  // written so far get their words back from the journal (the engine's
  // memory is given back before the rollback reads it).
  const auto out_of_memory = [&] {
    result.out_of_memory = true;
    engine = EngineResult{};
    engine.outcome = EngineOutcome::FileError;
    engine.notice = {OUT_OF_MEMORY_TEXT, "Error"};
  };
  try {
    engine = apply_modifications(journal.files(), drive, modifications, options);
    if (!options.dry_run && engine.outcome == EngineOutcome::Done) {
      HistoryEntry entry = modification_entry(modifications);
      entry.words = engine.words_changed;
      journal.enter_history(std::move(entry));
    }
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  RunJournal::End end;
  try {
    try {
      end = journal.end(engine.outcome == EngineOutcome::Done, options.dry_run);
    } catch (const std::bad_alloc&) {
      // While the held files were written: the end once more as a failure.
      out_of_memory();
      end = journal.end(false, options.dry_run);
    }
  } catch (const std::bad_alloc&) {
    out_of_memory();
    end = RunJournal::End{};
    // Memory ran out again in the rollback: the journal stays for the next
    // start, which rolls it back.
    end.restore = Notice{std::string("The database could not be restored: there is not enough memory! The journal "
                                     "KAVLIN\\JOURNAL is kept and rolled back at the next start (or by ") +
                             RECOVER_HINT + ").",
                         "Error"};
  }
  if (!end.committed && engine.outcome == EngineOutcome::Done) engine.outcome = EngineOutcome::FileError;
  if (end.failure) engine.notice = *end.failure;
  result.history_failure = end.history;
  result.run = end.run;
  if (end.shared) {
    engine.outcome = EngineOutcome::FileError;
    engine.tiles_rewritten = 0;
    engine.words_changed = 0;
  }
  result.notices.push_back(engine.notice);
  if (end.restore) {
    result.notices.push_back(*end.restore);
    result.restored = end.restored;
    result.restore_failed = !end.restored;
    if (end.restored) {
      engine.tiles_rewritten = 0;
      engine.words_changed = 0;
    }
  }
  return result;
}

Recovery recover_at_start(FileServices& files, char drive, const DatabaseLock& lock) {
  if (!lock.held() && (lock.error() == 0 || lock.error() == FILE_NOT_FOUND)) return {};
  std::optional<Notice> refusal;
  if (!lock.held()) refusal = lock_notice(drive, lock.error(), lock.gate_failed());
  if (!refusal) refusal = own_files_refusal(files, drive, true);
  if (refusal) return {Recovery::State::Failed, *refusal};
  return recover_journal(files, drive);
}

}  // namespace kavlin
