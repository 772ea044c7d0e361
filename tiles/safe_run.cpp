#include "tiles/safe_run.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cmath>
#include <optional>

#include "polygon/area_test.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

Notice shared_file_notice(const std::string& first, const std::string& second) {
  return {"Tiles " + first + " and " + second + " are one file! Modification is not possible!", "Error"};
}

bool journal_exists(OwnFiles& files, char drive) {
  return files.FILE_KIND(journal_path(drive)) != FILE_NOT_FOUND;
}

std::string reason_of(int32_t error) {
  switch (error) {
    case IS_A_LINK:
      return "it is a symbolic link";
    case NOT_A_REGULAR_FILE:
      return "it is not a regular file";
    case NO_LOCK_FILE:
      return "it does not exist and cannot be made there (a read-only folder or medium)";
    case FILE_TOO_LARGE:
      return "it is larger than any journal";
    default:
      return std::strerror(error);
  }
}

// What a journal that cannot be used is, and the way out.
Notice journal_notice(char drive, const std::string& what) {
  return {"The journal " + journal_path(drive) + " " + what +
              "! Nothing was changed and the journal is kept; " + DISCARD_HINT +
              " sets it aside (its tiles may then stay half-modified).",
          "Error"};
}

// The journal's notice after a failure that left a journal it cannot read.
Notice journal_read_notice(char drive, int32_t read) {
  if (read == IS_A_LINK || read == NOT_A_REGULAR_FILE) return own_file_notice(journal_path(drive), read);
  return journal_notice(drive, "cannot be read: " + reason_of(read));
}

// Removes the journal once the tiles are as the rollback leaves them (or
// it named none). Nothing when it is gone (a removal whose folder could
// not be forced counts: should the journal come back after a crash, its
// rollback changes nothing); else the notice that says what is true: what
// was `done`, and that the journal stays behind.
std::optional<Notice> remove_journal(OwnFiles& files, char drive, const std::string& done) {
  const int32_t removed = files.REMOVE_SYNCED(journal_path(drive));
  if (removed == 0 || !journal_exists(files, drive)) return std::nullopt;
  return Notice{done + " But the journal " + journal_path(drive) + " could not be removed: " + reason_of(removed) +
                    "! It stays behind: the next start (or " + RECOVER_HINT +
                    ") rolls it back once more, which changes no tile, and removes it.",
                "Error"};
}

// After a failure once writing began: rolls the journal back and removes
// it; the notice that follows the file error.
Notice restore_after_failure(FileServices& files, char drive, bool& restored) {
  restored = false;
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, MAX_JOURNAL_BYTES);
  if (read != 0 && read != FILE_NOT_FOUND) return journal_read_notice(drive, read);
  const Journal journal = decode_journal(bytes, drive);
  if (journal.damaged) return damaged_journal_notice(drive, journal.damage);
  const RollbackResult rollback = roll_back(files, journal);
  if (!rollback.ok) return rollback_failed_notice(rollback.failed_tile, rollback.reason);
  restored = true;
  if (read == 0) {
    if (std::optional<Notice> kept = remove_journal(files, drive, RESTORED_TEXT)) return *kept;
  }
  return {RESTORED_TEXT, "Info"};
}

// An upper bound of the bytes of the journal of the modifications run as
// one, from their areas alone: each record that a modification's area or
// its edge copies may reach, its words all changed.
int64_t journal_bound(std::span<const AreaModification> modifications) {
  // Per record a modification may change: its number, step and form, the
  // bitmap, and the record's own head and a share of its file's head.
  auto record_bytes = [](const TileOrigin& origin) {
    return static_cast<int64_t>(2 + 1 + bitmap_bytes(origin.words_per_record()) + 12 + 64);
  };
  int64_t bound = 64 + static_cast<int64_t>(modifications.size());
  for (const AreaModification& m : modifications) {
    if (m.table == nullptr || m.table->NREC < 1) continue;
    const Extent e = AREA_EXTENT(*m.table);
    // The area checks have passed: at most 36 tiles.
    for (double lon = std::floor(e.LON_MIN); lon <= std::floor(e.LON_MAX); lon += 1.0) {
      for (double lat = std::floor(e.LAT_MIN); lat <= std::floor(e.LAT_MAX); lat += 1.0) {
        const auto lon_deg = static_cast<int32_t>(lon);
        const auto lat_deg = static_cast<int32_t>(lat);
        const TileOrigin origin = TILE_ORIGIN(TILE_NAME(lon_deg, lat_deg));
        const TileOrigin south = TILE_ORIGIN(TILE_NAME(lon_deg, lat_deg - 1));
        for (int32_t i = 1; i <= BLOCKS_PER_SIDE; ++i) {
          const double y0 = grid_latitude(lat_deg, i, 1);
          const double y1 = grid_latitude(lat_deg, i, ROWS_PER_BLOCK);
          if (y1 < e.LAT_MIN || y0 > e.LAT_MAX) continue;
          for (int32_t j = 1; j <= BLOCKS_PER_SIDE; ++j) {
            const double x0 = grid_longitude(lon_deg, j, 1, origin.spacing);
            const double x1 = grid_longitude(lon_deg, j, origin.columns(), origin.spacing);
            if (x1 < e.LON_MIN || x0 > e.LON_MAX) continue;
            bound += record_bytes(origin);
            if (j == 1) bound += record_bytes(origin);             // west copies
            if (i == 1) bound += record_bytes(south);              // south copies
            if (i == 1 && j == 1) bound += record_bytes(south);    // the corner
          }
        }
      }
    }
  }
  return bound;
}

}  // namespace

Notice rollback_failed_notice(const std::string& tile, const std::string& reason) {
  const std::string which = tile.empty() ? std::string("the journal") : "file " + tile;
  if (!reason.empty()) {
    return {"The database could not be restored: " + which + " " + reason +
                "! Nothing was changed and the journal KAVLIN\\JOURNAL is kept. Put that tile back, or set the "
                "journal aside with " + DISCARD_HINT + " (its tiles may then stay half-modified).",
            "Error"};
  }
  return {"The database could not be restored: " + which +
              " cannot be rewritten! The journal KAVLIN\\JOURNAL is kept and rolled back at the next start (or by " +
              RECOVER_HINT + "; " + DISCARD_HINT + " sets it aside).",
          "Error"};
}

Notice damaged_journal_notice(char drive, const std::string& damage) {
  return journal_notice(drive, "is damaged (" + damage + ")");
}

Notice lock_notice(char drive, int32_t error, bool gate) {
  const std::string path = gate ? gate_path(drive) : lock_path(drive);
  std::string text = "The database lock " + path + " cannot be taken: " + reason_of(error) + "! Nothing was changed.";
  if (error == NO_LOCK_FILE) {
    text += " A modification needs a database folder it may write.";
  } else {
    text += std::string(" ") + (gate ? "GATE" : "LOCK") +
            " must be a regular file that every user of the database may read: repair or remove it (a run "
            "makes a new one), then start again.";
  }
  return {text, "Error"};
}

Notice own_file_notice(const std::string& path, int32_t kind) {
  std::string text = path + (kind == IS_A_LINK ? " is a symbolic link" : " is not a regular file") +
                     "! Nothing was changed. ";
  if (path.size() >= 7 && path.substr(path.size() - 7) == "JOURNAL") {
    text += std::string(DISCARD_HINT) + " sets it aside.";
  } else {
    text += "Remove it, or move it out of the KAVLIN folder, then start again.";
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
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, MAX_JOURNAL_BYTES);
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
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, MAX_JOURNAL_BYTES);
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

Notice discard_journal(OwnFiles& files, char drive, bool& done) {
  done = false;
  const std::string path = journal_path(drive);
  const int32_t kind = files.FILE_KIND(path);
  if (kind == FILE_NOT_FOUND) return {"There is no journal to set aside!", "Info"};
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
    return {"The journal " + path + " could not be set aside: no free name " + aside + "!", "Error"};
  }
  if (const int32_t rc = files.RENAME_SYNCED(path, aside); rc != 0) {
    return {"The journal " + path + " could not be set aside: " + reason_of(rc) + "!", "Error"};
  }
  done = true;
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
  return {text, "Warning"};
}

SafeRunResult run_journaled(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                            const EngineOptions& options, const JournalingOptions& journaling) {
  const AreaModification one{&table, mod_kind};
  return run_journaled(files, drive, {&one, 1}, options, journaling);
}

SafeRunResult run_journaled(FileServices& files, char drive, std::span<const AreaModification> modifications,
                            const EngineOptions& options, const JournalingOptions& journaling) {
  SafeRunResult result;
  // Several modifications journal each one's words; the journal must stay
  // one that a rollback reads, whatever the tiles hold.
  std::vector<int32_t> kinds;
  if (modifications.size() > 1) {
    for (const AreaModification& m : modifications) kinds.push_back(m.mod_kind);
    if (!options.dry_run && journal_bound(modifications) > static_cast<int64_t>(MAX_JOURNAL_BYTES)) {
      result.engine.outcome = EngineOutcome::Refused;
      result.engine.notice = {BATCH_TOO_LARGE_TEXT, "Error"};
      result.notices.push_back(result.engine.notice);
      return result;
    }
  }
  JournalingFiles journaled =
      kinds.empty() ? JournalingFiles(files, journal_path(drive),
                                      modifications.empty() ? 0 : modifications.front().mod_kind, journaling)
                    : JournalingFiles(files, journal_path(drive), kinds, journaling);
  // The engine tells the journal which words it changes, and the journal
  // holds JOURNAL_GROUP_FILES files at a time, their entries forced to the
  // device together, and writes them while the engine computes the next.
  EngineOptions journaled_options = options;
  journaled_options.changes = &journaled;
  journaled.hold_files(JOURNAL_GROUP_FILES);
  journaled.write_behind();
  result.engine = apply_modifications(journaled, drive, modifications, journaled_options);
  EngineResult& engine = result.engine;
  if (engine.outcome == EngineOutcome::Done && journaled.write_held() != 0) engine.outcome = EngineOutcome::FileError;
  // A held file that failed is named, not the file the engine had in hand.
  if (engine.outcome == EngineOutcome::FileError && !journaled.failed_tile().empty()) {
    engine.notice = tile_write_error(journaled.failed_tile());
  }
  journaled.discard_held();
  if (const auto& shared = journaled.shared_file()) {
    // The second name failed to open during the checks: nothing written.
    engine.outcome = EngineOutcome::FileError;
    engine.notice = shared_file_notice(shared->first, shared->second);
    engine.tiles_rewritten = 0;
    engine.words_changed = 0;
  }
  if (engine.outcome == EngineOutcome::Done && !options.dry_run) {
    // The commit: the journal becomes the undo record in one rename. A run
    // that changed no word wrote nothing: the undo record of the run before
    // still undoes that run, and stays as it is.
    if (journaled.journal_started() &&
        files.RENAME_SYNCED(journal_path(drive), undo_path(drive)) != 0 && journal_exists(files, drive)) {
      engine.outcome = EngineOutcome::FileError;
      engine.notice = tile_write_error(journaled.last_written_tile());
    }
  }
  result.notices.push_back(engine.notice);
  if (engine.outcome != EngineOutcome::Done && journaled.writing_started()) {
    result.notices.push_back(restore_after_failure(files, drive, result.restored));
    if (result.restored) {
      engine.tiles_rewritten = 0;
      engine.words_changed = 0;
    }
  }
  return result;
}

UndoResult undo_last_modification(FileServices& files, char drive, bool dry_run) {
  UndoResult result;
  auto finish = [&](UndoResult::Outcome outcome, const Notice& notice) {
    result.outcome = outcome;
    result.notices.push_back(notice);
    return result;
  };
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(undo_path(drive), bytes, MAX_JOURNAL_BYTES);
  if (read == FILE_NOT_FOUND) return finish(UndoResult::Outcome::NothingToUndo, {"There is no modification to undo!", "Info"});
  if (read == IS_A_LINK || read == NOT_A_REGULAR_FILE) {
    return finish(UndoResult::Outcome::FileError, own_file_notice(undo_path(drive), read));
  }
  if (read != 0 && read != FILE_TOO_LARGE) {
    return finish(UndoResult::Outcome::FileError,
                  {std::string("The undo record ") + undo_path(drive) + " cannot be read: " + reason_of(read) +
                       "! Nothing was undone.",
                   "Error"});
  }
  // The undo record was complete and on the device before its run was
  // done: every entry of it must hold, the last one too.
  const Journal record = decode_journal(bytes, drive);
  if (read != 0 || !record.valid || record.torn || record.damaged) {
    return finish(UndoResult::Outcome::FileError, {UNDO_DAMAGED_TEXT, "Error"});
  }

  // Every word must still hold the value the run gave it: its flag in the
  // state the run left it in, and the record's changed words as a whole
  // the hash they had.
  // For several modifications: a word whose flags, given every
  // modification's operation on it in order, would change.
  const bool several = !record.kinds.empty();
  const KindOperation run_op = several ? KindOperation{} : *kind_operation(record.kind);
  const auto flag = static_cast<uint16_t>(run_op.set ? run_op.mask : static_cast<uint16_t>(~run_op.mask));
  const uint16_t flag_after = run_op.set ? flag : 0;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> redone;
  int64_t net_words = 0;
  for (const JournalFile& file : record.files) {
    const std::string name = file.tile_name();
    result.tiles.push_back(name);
    int32_t unit = 0;
    // A dry run only reads: read-only tiles and media do. An undo opens
    // every file for writing before the first is written.
    const int32_t opened = dry_run ? files.OPEN_RECORD_FILE_READ(file.path, file.record_length, unit)
                                   : files.OPEN_RECORD_FILE(file.path, file.record_length, unit);
    if (opened != 0) return finish(UndoResult::Outcome::FileError, tile_open_error(name));
    // The file is judged by its words, as a rollback judges it, not by its
    // inode: a copy of the database, or a tile put back from a copy, holds
    // the run's words as well, and any other file fails the checks below.
    buffer.resize(static_cast<std::size_t>(file.record_length));
    for (const JournalRecord& r : file.records) {
      if (files.READ_RECORD(unit, r.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return finish(UndoResult::Outcome::FileError, tile_read_error(name));
      }
      int64_t flags_changed = 0;
      if (several) {
        redone.assign(buffer.begin(), buffer.end());
        undo_journaled(redone, r, record);
        // The words the undo gives another value (a word set and cleared
        // again by the batch is journaled, yet keeps its value).
        for (int32_t w = 0; w < file.record_length / 2; ++w) {
          net_words += get_word(buffer, 2 * w) != get_word(redone, 2 * w) ? 1 : 0;
        }
        redone.assign(buffer.begin(), buffer.end());
        redo_journaled(redone, r, record);
        for (const WordRun& run : r.runs()) {
          for (int32_t w = run.first; w < run.first + run.count; ++w) {
            if (get_word(buffer, 2 * w) != get_word(redone, 2 * w)) ++flags_changed;
          }
        }
      } else {
        for (const WordRun& run : r.runs()) {
          for (int32_t w = run.first; w < run.first + run.count; ++w) {
            if ((get_word(buffer, 2 * w) & flag) != flag_after) ++flags_changed;
          }
        }
      }
      result.changed_since += flags_changed;
      if (flags_changed == 0 && record.hash(buffer, r.changed) != r.hash) ++result.changed_records;
    }
    files.CLOSE_FILE(unit);
  }
  result.words = several ? net_words : record.word_count();
  if (result.changed_since > 0) {
    const std::string count = std::to_string(result.changed_since);
    return finish(UndoResult::Outcome::ChangedSince,
                  {count + (result.changed_since == 1 ? " grid word has" : " grid words have") +
                       " changed since the last modification! Nothing was undone.",
                   "Error"});
  }
  if (result.changed_records > 0) {
    const std::string count = std::to_string(result.changed_records);
    return finish(UndoResult::Outcome::ChangedSince,
                  {"Grid words of " + count + (result.changed_records == 1 ? " record have" : " records have") +
                       " changed since the last modification! Nothing was undone.",
                   "Error"});
  }
  if (dry_run) return finish(UndoResult::Outcome::Done, {});

  // The undo is a run of the opposite kind, journaled like any other; of
  // several modifications, a run of their opposite kinds, last to first.
  const int32_t kind = several ? 0 : opposite_kind(record.kind);
  const KindOperation op = several ? KindOperation{} : *kind_operation(kind);
  std::vector<int32_t> undo_kinds;
  for (auto k = record.kinds.rbegin(); k != record.kinds.rend(); ++k) undo_kinds.push_back(opposite_kind(*k));
  const auto last = static_cast<int32_t>(record.kinds.size()) - 1;
  JournalingFiles journaled = several ? JournalingFiles(files, journal_path(drive), undo_kinds)
                                      : JournalingFiles(files, journal_path(drive), kind);
  WordBitmap step_changes;
  std::optional<Notice> failure;
  for (const JournalFile& file : record.files) {
    const std::string name = file.tile_name();
    int32_t unit = 0;
    if (journaled.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) {
      failure = tile_open_error(name);
      break;
    }
    buffer.resize(static_cast<std::size_t>(file.record_length));
    for (const JournalRecord& r : file.records) {
      if (journaled.READ_RECORD(unit, r.record, buffer) != 0) {
        failure = tile_read_error(name);
        break;
      }
      if (several) {
        // Each modification's opposite, last to first, told to the journal
        // as the words it changes.
        for (auto step = r.steps.rbegin(); step != r.steps.rend(); ++step) {
          const KindOperation step_op =
              *kind_operation(opposite_kind(record.kinds[static_cast<std::size_t>(step->modification)]));
          step_changes.assign(step->changed.size(), 0);
          bool any = false;
          for (const WordRun& run : JournalRecord{r.record, step->changed, 0, {}}.runs()) {
            for (int32_t w = run.first; w < run.first + run.count; ++w) {
              const uint16_t word = get_word(buffer, 2 * w);
              const uint16_t next = apply_kind(step_op, word);
              if (next == word) continue;
              put_word(buffer, 2 * w, next);
              step_changes[static_cast<std::size_t>(w / 8)] |= static_cast<uint8_t>(1u << (w % 8));
              any = true;
            }
          }
          if (any) journaled.changed_words_of(last - step->modification, unit, r.record, step_changes);
        }
      } else {
        for (const WordRun& run : r.runs()) {
          for (int32_t w = run.first; w < run.first + run.count; ++w) {
            put_word(buffer, 2 * w, apply_kind(op, get_word(buffer, 2 * w)));
          }
        }
      }
      if (journaled.WRITE_RECORD(unit, r.record, buffer) != 0) {
        failure = tile_write_error(name);
        break;
      }
    }
    if (!failure && journaled.FLUSH_FILE(unit) != 0) failure = tile_write_error(name);
    const int32_t closed = journaled.CLOSE_FILE(unit);
    if (!failure && closed != 0) failure = tile_write_error(name);
    if (failure) break;
  }
  // The commit of the undo: its journal goes.
  if (!failure && journaled.journal_started()) {
    const int32_t removed = files.REMOVE_SYNCED(journal_path(drive));
    if (removed != 0 && journal_exists(files, drive)) {
      failure = Notice{"The journal " + journal_path(drive) + " could not be removed: " + reason_of(removed) + "!",
                       "Error"};
    }
  }
  if (failure) {
    result.notices.push_back(*failure);
    result.outcome = UndoResult::Outcome::FileError;
    if (journaled.writing_started()) {
      bool restored = false;
      result.notices.push_back(restore_after_failure(files, drive, restored));
    }
    return result;
  }
  // Done: the record of a modification that is undone goes.
  const int32_t removed = files.REMOVE_SYNCED(undo_path(drive));
  if (removed != 0 && files.FILE_KIND(undo_path(drive)) != FILE_NOT_FOUND) {
    result.undo_record_kept = true;
    result.notices.push_back({"The last modification is undone!", "Info"});
    return finish(UndoResult::Outcome::Done,
                  {"The undo record " + undo_path(drive) + " could not be removed: " + reason_of(removed) +
                       "! It stays behind, naming words that are undone already: " + UNDO_HINT +
                       " changes nothing with it, and the next modification replaces it.",
                   "Error"});
  }
  return finish(UndoResult::Outcome::Done, {"The last modification is undone!", "Info"});
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
