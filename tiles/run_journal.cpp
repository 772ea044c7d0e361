#include "tiles/run_journal.h"

#include <cstring>

#include "tiles/rollback.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

Notice shared_file_notice(const std::string& first, const std::string& second) {
  return {"Tiles " + first + " and " + second + " are one file! Modification is not possible!", "Error"};
}

// What a journal that cannot be used is, and the way out.
Notice journal_notice(char drive, const std::string& what) {
  return {"The journal " + journal_path(drive) + " " + what +
              "! Nothing was changed and the journal is kept; " + DISCARD_HINT +
              " sets it aside (its tiles may then stay half-modified).",
          "Error"};
}

}  // namespace

std::string own_file_reason(int32_t error) {
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

Notice journal_read_notice(char drive, int32_t read) {
  if (read == IS_A_LINK || read == NOT_A_REGULAR_FILE) return own_file_notice(journal_path(drive), read);
  return journal_notice(drive, "cannot be read: " + own_file_reason(read));
}

int64_t journal_record_bytes(const TileOrigin& origin, int64_t operations) {
  return 2 + 8 + 2 + operations * static_cast<int64_t>(3 + bitmap_bytes(origin.words_per_record())) + 64;
}

std::size_t journal_size_limit(Folders& files, char drive) {
  std::size_t limit = 4096;
  for (const TileDegrees& t : database_tiles(files, drive)) {
    limit += static_cast<std::size_t>(RECORDS_PER_TILE *
                                      journal_record_bytes(TILE_ORIGIN(t.LON_DEG, t.LAT_DEG), 10));
    if (limit >= MAX_JOURNAL_BYTES) return MAX_JOURNAL_BYTES;
  }
  return limit;
}

Notice restore_from_journal(FileServices& files, char drive, bool& restored) {
  restored = false;
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes, journal_size_limit(files, drive));
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

std::optional<Notice> remove_journal(OwnFiles& files, char drive, const std::string& done) {
  const int32_t removed = files.REMOVE_SYNCED(journal_path(drive));
  if (removed == 0 || files.FILE_KIND(journal_path(drive)) == FILE_NOT_FOUND) return std::nullopt;
  return Notice{done + " But the journal " + journal_path(drive) + " could not be removed: " +
                    own_file_reason(removed) + "! It stays behind: the next start (or " + RECOVER_HINT +
                    ") rolls it back once more, which changes no tile, and removes it.",
                "Error"};
}

RunJournal::RunJournal(FileServices& files, char drive, std::vector<int32_t> kinds, Commit commit,
                       JournalingOptions options)
    : files_(files), drive_(drive), commit_(commit),
      journaled_(files, journal_path(drive), std::move(kinds), options) {
  // The records of JOURNAL_GROUP_FILES files at a time are held, their
  // entries forced to the device together, and written while the run
  // computes the next.
  journaled_.hold_files(JOURNAL_GROUP_FILES);
  journaled_.write_behind();
}

RunJournal::End RunJournal::end(bool ok, bool dry_run) {
  End end;
  if (ok && journaled_.write_held() != 0) ok = false;
  // A held file that failed is named, not the file the run had in hand.
  if (!ok && !journaled_.failed_tile().empty()) end.failure = tile_write_error(journaled_.failed_tile());
  journaled_.discard_held();
  if (const auto& shared = journaled_.shared_file()) {
    // The second name failed to open during the checks: nothing written.
    ok = false;
    end.shared = true;
    end.failure = shared_file_notice(shared->first, shared->second);
  }
  if (ok && !dry_run && journaled_.journal_started()) {
    // The commit, in one step on the device.
    const std::string journal = journal_path(drive_);
    if (commit_ == Commit::ToUndoRecord) keep_undo_record(files_, drive_);
    const int32_t rc = commit_ == Commit::ToUndoRecord ? files_.RENAME_SYNCED(journal, undo_path(drive_))
                                                       : files_.REMOVE_SYNCED(journal);
    if (rc != 0 && files_.FILE_KIND(journal) != FILE_NOT_FOUND) {
      ok = false;
      // A journal that stays names no tile written wrongly: the rollback
      // that follows gives every tile back.
      end.failure = commit_ == Commit::ToUndoRecord
                        ? tile_write_error(journaled_.last_written_tile())
                        : Notice{"The journal " + journal + " could not be removed: " + own_file_reason(rc) + "!",
                                 "Error"};
    }
  }
  end.committed = ok;
  if (ok && !dry_run && journaled_.journal_started() && history_) enter(end);
  if (!ok && journaled_.writing_started()) end.restore = restore_from_journal(files_, drive_, end.restored);
  return end;
}

void RunJournal::enter(End& end) {
  HistoryEntry& entry = *history_;
  entry.run_id = journaled_.run_id();
  entry.tiles = journaled_.changes().tiles;
  entry.points = journaled_.changes().points.points();
  History history;
  end.history = append_history(files_, drive_, entry, &history);
  if (end.history) return;
  end.run = entry.run;
  history.add(entry);
  if (commit_ == Commit::ToUndoRecord) prune_undo_records(files_, drive_, history, kept_undo_runs());
}

}  // namespace kavlin
