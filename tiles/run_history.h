// The history of a database's runs and the undo records kept of them.
//
// Every run that changes words adds one line to X:\KAVLIN\HISTORY once it
// is committed: when it ended, what it did (its kinds, or the run it
// undid), its areas (their extent and a fingerprint of their rings), the
// tiles it changed, how many grid points and words. The undo record of the
// last run is X:\KAVLIN\UNDO, as it always was; when the next run commits,
// the record it replaces is kept beside it as X:\KAVLIN\UNDO.<run id> (the
// id its journal's appends carry, which its history line names too), and
// the records of all but the newest kept_undo_runs() modifications go.
//
// The history is read as untrusted: it is bounded in size, every line is
// parsed in full, a line that fails is skipped (and counted), and a last
// line cut short by a power cut is dropped at the next append.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tiles/engine.h"
#include "tiles/journal_format.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin {

std::string history_path(char drive);                     // X:\KAVLIN\HISTORY
std::string kept_undo_path(char drive, uint64_t run_id);  // X:\KAVLIN\UNDO.0123456789ABCDEF

// The history is two files: the newer one, appended to, and the older one
// (HISTORY.OLD), which the newer becomes once it would pass
// HISTORY_FILE_BYTES (the older one before it goes). So a run reads at most
// one small file, and the two keep the newest 1000 to 2000 runs. A file
// larger than MAX_HISTORY_BYTES is not read.
inline constexpr std::size_t HISTORY_FILE_BYTES = 256u << 10;
inline constexpr std::size_t MAX_HISTORY_BYTES = 1u << 20;
std::string older_history_path(char drive);  // X:\KAVLIN\HISTORY.OLD

// Undo records kept: the newest modifications' (the last one's is UNDO).
// KAVLIN_UNDO_RUNS sets it, 1 to MAX_UNDO_RUNS; DEFAULT_UNDO_RUNS otherwise.
// A record is at most MAX_JOURNAL_BYTES, so they hold at most
// kept_undo_runs() times that.
inline constexpr int32_t DEFAULT_UNDO_RUNS = 10;
inline constexpr int32_t MAX_UNDO_RUNS = 100;
int32_t kept_undo_runs();

struct HistoryEntry {
  int64_t run = 0;             // 1, 2, ... in the order the runs were committed
  std::string time;            // UTC, 2026-12-09T01:40:12Z
  std::vector<int32_t> kinds;  // a modification's kinds in order; empty for an undo
  int64_t undo_of = 0;         // an undo: the run undone; 0 when that run is in no history
  std::optional<Extent> extent;  // of all its areas (an undo: of the run undone, when known)
  uint64_t rings = 0;          // fingerprint of every area's rings (XXH3)
  uint64_t run_id = 0;         // its journal's: names its kept undo record
  std::vector<std::string> tiles;  // the tiles changed
  int64_t points = 0;          // grid points changed, each once
  int64_t words = 0;           // stored words changed
  bool undo() const { return kinds.empty(); }
  bool operator==(const HistoryEntry&) const = default;
};

struct History {
  std::vector<HistoryEntry> entries;  // oldest first
  int32_t damaged_lines = 0;          // lines skipped (a cut last line is not counted)
  std::size_t kept_bytes = 0;         // bytes of the whole lines (a cut last line follows them)
  // Why the history could not be read (IS_A_LINK, FILE_TOO_LARGE, an
  // error code); 0 when it was read or there is none.
  int32_t error = 0;
  // Appends an entry whose run number is greater than every other's.
  void add(HistoryEntry entry);
  const HistoryEntry* find(int64_t run) const;  // a binary search: run numbers ascend
  // The undo that undid `run`, if any.
  const HistoryEntry* undone_by(int64_t run) const;
  std::map<int64_t, std::size_t> undone;  // run -> index of the undo that undid it
  int64_t next_run() const { return entries.empty() ? 1 : entries.back().run + 1; }
};

// Why the history cannot be read, for a message ("it is a symbolic link",
// "it is larger than 16 MB", ...).
std::string history_reason(int32_t error);

// One line of the history (with its newline), and the lines of a file.
std::string encode_history_line(const HistoryEntry& entry);
History parse_history(std::string_view bytes);
History read_history(OwnFiles& files, char drive);

// The entry of a modification run of `modifications`: its kinds, extent
// and rings (the caller adds what it changed).
HistoryEntry modification_entry(std::span<const AreaModification> modifications);

// Adds `entry` (its run number and time filled in here) to the history;
// the notice when it could not be written. `history`: the history as it
// was before the entry (when given; at least its newest MAX_UNDO_RUNS
// runs).
std::optional<Notice> append_history(OwnFiles& files, char drive, HistoryEntry& entry, History* history = nullptr);

// Before a run commits its journal as the new UNDO: keeps the record it
// replaces as UNDO.<its run id> (a record of bare entries, of an earlier
// release, has no id and is replaced as before).
void keep_undo_record(FileServices& files, char drive);
// After a run: removes the kept records of all but the newest `keep`
// modifications of the history.
void prune_undo_records(OwnFiles& files, char drive, const History& history, int32_t keep);

// Grid points whose words a journal changes, each counted once however
// many records and tiles store it (GridPointCount).
int64_t changed_points(const Journal& journal);

// 16 lower-case hex digits; the shortest text that reads back as `v`.
std::string hex64(uint64_t v);
std::string number_text(double v);

// "set sea", "clear town" ...
std::string kind_text(int32_t kind);

}  // namespace kavlin
