// The journal of one run (X:\KAVLIN\JOURNAL), owned from its first append
// to its end by one object: it hands the run the record files to write
// through (JournalingFiles, which appends the journal before each group of
// files is written), and at the end commits the journal (it becomes the
// undo record, or for an undo it goes) or, after a failure once writing
// began, rolls it back and removes it. The safe run asks it for the
// outcome; the journal's own messages live here too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tiles/journaling_files.h"
#include "tiles/tile_files.h"
#include "tiles/run_history.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

inline constexpr const char* RESTORED_TEXT = "The database was restored: no tile was changed!";

// The way out named by every message that refuses to go on because of
// the database's own files.
inline constexpr const char* RECOVER_HINT = "kavlin-apply --recover";
inline constexpr const char* DISCARD_HINT = "kavlin-apply --discard-journal";
inline constexpr const char* UNDO_HINT = "kavlin-apply --undo";

// Why one of the database's own files (JOURNAL, UNDO, LOCK) cannot be
// used, from an error code, for a message.
std::string own_file_reason(int32_t error);
// The message when JOURNAL, UNDO or LOCK is a link or no regular file.
Notice own_file_notice(const std::string& path, int32_t kind);
// The notice of a rollback that failed: the tile, and what is wrong with
// it when it is not a failed transfer.
Notice rollback_failed_notice(const std::string& tile, const std::string& reason = "");
// The notice of a damaged journal.
Notice damaged_journal_notice(char drive, const std::string& damage);
// The journal's notice when it cannot be read (a link, no regular file, a
// transfer error).
Notice journal_read_notice(char drive, int32_t read);

// Bytes a journal entry may take for one record of a tile of `origin`
// changed by `operations` kinds: its number, hash and count, each
// operation's index, form and bitmap, and a share of its file's head.
int64_t journal_record_bytes(const TileOrigin& origin, int64_t operations);

// The most a journal or undo record of drive `drive`'s database may hold:
// every record of every tile file the database has, changed by all ten
// kinds, and never more than MAX_JOURNAL_BYTES. A larger one is no journal
// of this database: it is read as damaged, and never into memory.
std::size_t journal_size_limit(Folders& files, char drive);

// Files a journaled run holds before it appends their journal entries
// together (some 3 MB each; one group is written while the next is held).
inline constexpr int32_t JOURNAL_GROUP_FILES = 2;

class RunJournal {
 public:
  // What a successful run does with its journal.
  enum class Commit {
    ToUndoRecord,  // a modification: JOURNAL becomes UNDO in one rename
    Remove,        // an undo: JOURNAL goes
  };
  // The journal of a run of modifications of kinds `kinds`, in order.
  RunJournal(FileServices& files, char drive, std::vector<int32_t> kinds, Commit commit,
             JournalingOptions options = {});

  // What the run writes through: the engine is handed this one object.
  JournalingFiles& files() { return journaled_; }

  // Once committed, the run enters the history as `entry` (its words
  // changed told by the caller; its tiles and grid points filled in from
  // the journal); a modification's commit first keeps the
  // undo record it replaces, and then the undo records of all but the
  // newest kept_undo_runs() modifications go.
  void enter_history(HistoryEntry entry) { history_ = std::move(entry); }

  // The end of a run.
  struct End {
    bool committed = false;         // every file on the device and the journal committed
    std::optional<Notice> failure;  // replaces the run's own message (a held file, the commit)
    bool shared = false;            // two tile names opened were one file: nothing was written
    std::optional<Notice> restore;  // after a failure once writing began: restored, or why not
    bool restored = false;
    std::optional<Notice> history;  // committed, but the history could not be written
    int64_t run = 0;                // its number in the history, once entered
  };
  // Ends the run, which did all its work when `ok`: writes what is held
  // and commits (not in a dry run, and only a journal that was begun: a run
  // that changed nothing has none); on a failure once writing began,
  // rolls the journal back and removes it.
  End end(bool ok, bool dry_run = false);

 private:
  // Enters the committed run in the history.
  void enter(End& end);

  FileServices& files_;
  char drive_;
  Commit commit_;
  JournalingFiles journaled_;
  std::optional<HistoryEntry> history_;
};

// Removes the journal once the tiles are as the rollback leaves them (or
// it named none). Nothing when it is gone (a removal whose folder could
// not be forced counts: should the journal come back after a crash, its
// rollback changes nothing); else the notice that says what is true: what
// was `done`, and that the journal stays behind.
std::optional<Notice> remove_journal(OwnFiles& files, char drive, const std::string& done);

// Rolls back the journal left on the device and removes it; the notice
// that follows a run's file error ("Info" RESTORED_TEXT when `restored`).
Notice restore_from_journal(FileServices& files, char drive, bool& restored);

}  // namespace kavlin
