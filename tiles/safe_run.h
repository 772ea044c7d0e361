// Safe modifications: one at a time per database, all or nothing across
// failures and kills, and the last one undoable.
//
// A run takes the database lock (X:\KAVLIN\LOCK), rolls back a journal
// that a killed run left behind, and runs the engine through
// JournalingFiles. On success the journal becomes the undo record
// (X:\KAVLIN\UNDO); on a failure after writing began the journal is rolled
// back, so that every tile is as before the run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tiles/engine.h"
#include "tiles/journal_format.h"
#include "tiles/journaling_files.h"
#include "tiles/rollback.h"
#include "tiles/run_journal.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

inline constexpr const char* WAITING_TEXT =
    "Another modification of the database is running. Waiting until it is done...";
inline constexpr const char* RECOVERED_TEXT =
    "An interrupted modification of the database was undone: its tiles are as they were before it!";
inline constexpr const char* NO_TILE_WRITTEN_TEXT =
    "An interrupted modification of the database had written no tile: no tile was changed!";


// The lock of one drive's database, held for the object's lifetime:
// exclusive for a run that writes, shared for one that only reads.
//
// Every taker passes through a second lock first, the gate
// (X:\KAVLIN\GATE, always exclusive): it takes the gate, then the database
// lock, then lets the gate go. A taker that has to wait for the database
// lock keeps the gate while it waits, so everybody who comes after it, a
// reader too, waits behind it at the gate: readers that keep starting,
// each overlapping the next, cannot keep a waiting run out of the
// database. Where no gate can be made (a read-only medium, a folder this
// user may not write) the database lock is taken without it.
//
// When another holder has the lock, `busy` is called once with a function
// that tries to take it again (true once taken, or once it failed:
// error()). If the lock is still not taken when `busy` returns, the
// constructor waits for it, unless `wait` is false: then it is not held
// (without `busy`, it was tried once). held() tells whether it was taken.
class DatabaseLock {
 public:
  using Busy = std::function<void(const std::function<bool()>& try_again)>;
  DatabaseLock(OwnFiles& files, char drive, bool wait = true, const Busy& busy = {}, bool shared = false);
  ~DatabaseLock();
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
  bool held() const { return handle_ != 0; }
  // Another modification held the lock when it was first tried.
  bool was_busy() const { return was_busy_; }
  // Why the lock was not taken: 0 when held (or busy without waiting),
  // FILE_NOT_FOUND when the database folder does not exist (there is no
  // tile to write either), NO_LOCK_FILE, IS_A_LINK, NOT_A_REGULAR_FILE or
  // another error code.
  int32_t error() const { return error_; }
  // The error is the gate's (GATE is a link, no regular file, ...).
  bool gate_failed() const { return gate_failed_; }
  void release();

 private:
  // One try (or, with `wait`, a wait) for the gate and then the lock:
  // 0 when the lock is taken, FILE_BUSY while the gate or the lock is
  // another's (the gate kept once taken), or the error.
  int32_t attempt(bool wait);

  OwnFiles& files_;
  std::string path_;
  std::string gate_path_;
  bool shared_ = false;
  int32_t handle_ = 0;
  int32_t gate_ = 0;
  bool without_gate_ = false;
  bool gate_failed_ = false;
  bool was_busy_ = false;
  int32_t error_ = 0;
};

// The message when no lock can be had: names LOCK (or GATE) and the reason.
Notice lock_notice(char drive, int32_t error, bool gate = false);

struct Recovery {
  enum class State { None, Restored, Failed } state = State::None;
  // "Info" for a restored journal, "Error" when the rollback failed or
  // the journal is damaged (the journal is kept then, and the database
  // must not be modified), or when the tiles are restored but the journal
  // could not be removed (the notice says both; the next start rolls it
  // back once more, which changes nothing, and removes it).
  Notice notice;
};

// With the lock held: rolls back the journal of a run that did not end.
// A journal without one complete file entry is removed silently: none of
// its files was written. A damaged journal changes nothing and is kept.
// A journal that cannot be removed fails the recovery, its notice saying
// what was done.
Recovery recover_journal(FileServices& files, char drive);

// A journal left behind as a reader sees it, with the lock held (the
// shared lock will do): nothing pending without a journal; a journal that
// is a link, no regular file, unreadable or damaged leaves any tile in
// doubt (any_tile); else the rollback it makes, its files proven.
PendingRollback read_pending_rollback(FileServices& files, char drive);


// How a program works on a database.
enum class Access {
  Modify,  // writes tiles: the exclusive lock
  Read,    // only reads them: the shared lock (exclusive while it rolls a journal back)
};

// The start of every program's work on a database, before it reads a
// tile: the lock (waiting while another holder has it, `busy` told), the
// check that JOURNAL and UNDO are regular files or missing, and the
// rollback of a journal left behind (unless `recover` is false). ok()
// false: nothing may be done, notices() say why. A reader on a database
// where no lock file can be made (a read-only medium) goes on unlocked:
// nobody can write there; should a journal be pending there, it refuses.
class DatabaseAccess {
 public:
  DatabaseAccess(FileServices& files, char drive, Access access, const DatabaseLock::Busy& busy = {},
                 bool recover = true);
  bool ok() const { return ok_; }
  // In order: the rollback's notice ("Info" when restored), or the refusal.
  const std::vector<Notice>& notices() const { return notices_; }
  // Whether a journal was rolled back.
  bool recovered() const { return recovered_; }

 private:
  std::optional<DatabaseLock> lock_;
  std::vector<Notice> notices_;
  bool ok_ = true;
  bool recovered_ = false;
};

// Sets a journal that cannot be rolled back aside under a dated name
// (JOURNAL-YYYYMMDD-HHMMSS beside it, never replacing a file), with the
// exclusive lock held. Its notice says the new name and which tiles may be
// half-modified, or that there was no journal, or why it could not be
// renamed.
struct DiscardResult {
  enum class Outcome { Done, NoJournal, Failed } outcome = Outcome::Done;
  Notice notice;
};
DiscardResult discard_journal(OwnFiles& files, char drive);

struct SafeRunResult {
  EngineResult engine;  // its notice replaced when two tiles are one file
  // The messages for the user in order: the engine's notice, then after a
  // failure the restore notice ("Info") or the rollback failure ("Error").
  std::vector<Notice> notices;
  bool restored = false;  // a failure after writing began, rolled back
  // Memory ran out during the run (engine.outcome FileError, its notice
  // OUT_OF_MEMORY_TEXT): what it had written is rolled back as after a
  // failed write; restore_failed when that rollback could not be made.
  bool out_of_memory = false;
  bool restore_failed = false;
  // Done, and its number in the history (0: it changed no word, or its
  // line could not be written: history_failure says why).
  int64_t run = 0;
  std::optional<Notice> history_failure;
};

inline constexpr const char* OUT_OF_MEMORY_TEXT =
    "There is not enough memory for the modification! Modification is not possible!";

// Runs one modification journaled. Call with the lock held and the
// journal recovered. A dry run writes nothing and leaves the undo record.
// `journaling` chooses the journal's checks (tests).
SafeRunResult run_journaled(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                            const EngineOptions& options = {}, const JournalingOptions& journaling = {});
// Runs several modifications journaled as one run (apply_modifications):
// one journal, one undo record. Refused before anything is read when the
// journal could grow beyond what a rollback reads (MAX_JOURNAL_BYTES).
inline constexpr const char* BATCH_TOO_LARGE_TEXT =
    "The modifications are too many or too large for one run: its journal could exceed 256 MB! Modification is not possible!";
SafeRunResult run_journaled(FileServices& files, char drive, std::span<const AreaModification> modifications,
                            const EngineOptions& options = {}, const JournalingOptions& journaling = {});

struct UndoResult {
  enum class Outcome { Done, NothingToUndo, ChangedSince, FileError } outcome = Outcome::Done;
  std::vector<Notice> notices;
  std::vector<std::string> tiles;  // the tiles the undo rewrites
  int64_t words = 0;               // grid words restored (or to restore)
  // Grid words whose flag is not in the state the run gave it, and records
  // whose other changed-word bits differ (their hash) while every flag
  // still holds.
  int64_t changed_since = 0;
  int64_t changed_records = 0;
  // Done, but the undo record could not be removed: a second notice
  // ("Error") says so.
  bool undo_record_kept = false;
  // Done: the undo's number in the history (0 when its line could not be
  // written: history_failure says why).
  int64_t run = 0;
  std::optional<Notice> history_failure;
};

inline constexpr const char* UNDO_DAMAGED_TEXT = "The undo record is damaged! Nothing was undone.";

// Undoes the last modification from the undo record: only when every word
// it changed still holds the value it gave it (its flag checked word by
// word, its other bits by the hash of each record); journaled like a run. The
// undo record is removed when done. A dry run checks and writes nothing: it
// opens the tiles for reading only, and needs only the shared lock.
// Call with the lock held and the journal recovered.
UndoResult undo_last_modification(FileServices& files, char drive, bool dry_run);
// Undoes run `run` of the history (0: the last modification, as above)
// from the undo record kept of it, under the same proof; refused when the
// history has no such run, it is an undo or undone already, or its record
// is no longer kept. A refusal because words changed since names the first
// later run of the history that changed one of them. The undo enters the
// history as a run of its own (tiles/run_history).
UndoResult undo_run(FileServices& files, char drive, int64_t run, bool dry_run);

// The editor's start, right after DRIVE.DAT is read, with `lock` tried
// once (without waiting): when another modification holds it, or there is
// no database folder, nothing is done (None). Otherwise a journal left
// behind is rolled back (Restored, "Info"). Failed ("Error"): a rollback
// that fails, a damaged journal, a lock that cannot be had, or a link or no
// regular file as JOURNAL or UNDO; nothing may modify the database before
// it is restored.
Recovery recover_at_start(FileServices& files, char drive, const DatabaseLock& lock);

}  // namespace kavlin
