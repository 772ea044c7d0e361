// Undo of a run: the last one from X:\KAVLIN\UNDO, an earlier one from the
// undo record kept of it, each only when every word it changed still holds
// the value it left.
#include <map>
#include <utility>

#include "tiles/safe_run.h"
#include "tiles/run_history.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

// Whether every word the undo record's run changed still holds the value
// the run gave it: the run's operations on each record would change none
// of its changed words, and those words as a whole have the hash they
// had. Counts into `result` (its tiles, the words the undo would restore,
// words and records changed since); a file that cannot be opened or read
// gives its notice (a dry run opens the tiles for reading only).
std::optional<Notice> check_undo_record(FileServices& files, const Journal& record, bool dry_run,
                                        UndoResult& result) {
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> redone;
  for (const JournalFile& file : record.files) {
    const std::string name = file.tile_name();
    result.tiles.push_back(name);
    int32_t unit = 0;
    // A dry run only reads: read-only tiles and media do. An undo opens
    // every file for writing before the first is written.
    const int32_t opened = dry_run ? files.OPEN_RECORD_FILE_READ(file.path, file.record_length, unit)
                                   : files.OPEN_RECORD_FILE(file.path, file.record_length, unit);
    if (opened != 0) return tile_open_error(name);
    // The file is judged by its words, as a rollback judges it, not by its
    // inode: a copy of the database, or a tile put back from a copy, holds
    // the run's words as well, and any other file fails the checks below.
    buffer.resize(static_cast<std::size_t>(file.record_length));
    for (const JournalRecord& r : file.records) {
      if (files.READ_RECORD(unit, r.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return tile_read_error(name);
      }
      // The words the undo gives another value (a word set and cleared
      // again by a run is journaled by earlier releases, yet keeps its value).
      redone.assign(buffer.begin(), buffer.end());
      undo_journaled(redone, r, record);
      for (int32_t w = 0; w < file.record_length / 2; ++w) {
        result.words += get_word(buffer, 2 * w) != get_word(redone, 2 * w) ? 1 : 0;
      }
      redone.assign(buffer.begin(), buffer.end());
      redo_journaled(redone, r, record);
      int64_t flags_changed = 0;
      for_each_changed(r.changed, [&](int32_t w) {
        flags_changed += get_word(buffer, 2 * w) != get_word(redone, 2 * w) ? 1 : 0;
      });
      result.changed_since += flags_changed;
      if (flags_changed == 0 && record.hash(buffer, r.changed) != r.hash) ++result.changed_records;
    }
    files.CLOSE_FILE(unit);
  }
  return std::nullopt;
}


// Where the undo record of the run to undo lies, its bytes, and the
// history line of the run when it has one.
struct UndoTarget {
  std::string path;
  std::string bytes;
  int32_t read = 0;  // READ_WHOLE_FILE's answer
  const HistoryEntry* entry = nullptr;
};

// The history line whose journal the record `bytes` is, when the run is
// still undoable by the history.
const HistoryEntry* entry_of_record(const History& history, std::string_view bytes) {
  const std::optional<uint64_t> id = journal_run_id(bytes);
  if (!id) return nullptr;
  for (auto e = history.entries.rbegin(); e != history.entries.rend(); ++e) {
    if (!e->undo() && e->run_id == *id) return history.undone_by(e->run) == nullptr ? &*e : nullptr;
  }
  return nullptr;
}

// The last run's record is UNDO; when there is none (the run that would
// have replaced it failed once it had kept it aside), the newest run of the
// history, when it is a modification, from its kept record. An earlier
// run's record is the one kept of it, or UNDO while it is the last.
UndoTarget locate_undo_record(FileServices& files, char drive, const History& history, int64_t run) {
  UndoTarget target;
  const std::size_t limit = journal_size_limit(files, drive);
  const auto read = [&](const std::string& path) {
    target.path = path;
    target.bytes.clear();
    target.read = files.READ_WHOLE_FILE(path, target.bytes, limit);
  };
  if (run == 0) {
    read(undo_path(drive));
    if (target.read == 0) target.entry = entry_of_record(history, target.bytes);
    if (target.read != FILE_NOT_FOUND || history.entries.empty()) return target;
    const HistoryEntry& newest = history.entries.back();
    if (newest.undo()) return target;
    read(kept_undo_path(drive, newest.run_id));
    target.entry = &newest;
    return target;
  }
  target.entry = history.find(run);
  read(kept_undo_path(drive, target.entry->run_id));
  if (target.read != FILE_NOT_FOUND) return target;
  read(undo_path(drive));
  if (target.read == 0 && journal_run_id(target.bytes) != target.entry->run_id) target.read = FILE_NOT_FOUND;
  return target;
}

// Why run `run` of the history cannot be undone before its record is
// read: there is none, it is an undo, or it is undone.
std::optional<Notice> run_refusal(const History& history, int64_t run) {
  const HistoryEntry* entry = history.find(run);
  const std::string name = "Run " + std::to_string(run);
  if (entry == nullptr) return Notice{"There is no run " + std::to_string(run) + " in the history!", "Info"};
  if (entry->undo()) return Notice{name + " is an undo: it cannot be undone!", "Info"};
  if (const HistoryEntry* by = history.undone_by(run)) {
    return Notice{name + " is undone already, by run " + std::to_string(by->run) + "!", "Info"};
  }
  return std::nullopt;
}

// Why the record found for run `run` (0: the last) cannot be used: there
// is none, it is a link or no regular file, or it cannot be read.
std::optional<std::pair<UndoResult::Outcome, Notice>> record_refusal(const UndoTarget& target, int64_t run) {
  using Outcome = UndoResult::Outcome;
  if (target.read == FILE_NOT_FOUND) {
    if (run == 0) return std::pair{Outcome::NothingToUndo, Notice{"There is no modification to undo!", "Info"}};
    return std::pair{Outcome::NothingToUndo,
                     Notice{"The undo record of run " + std::to_string(run) + " is no longer kept! Nothing was undone.",
                            "Info"}};
  }
  if (target.read == IS_A_LINK || target.read == NOT_A_REGULAR_FILE) {
    return std::pair{Outcome::FileError, own_file_notice(target.path, target.read)};
  }
  if (target.read != 0 && target.read != FILE_TOO_LARGE) {
    return std::pair{Outcome::FileError,
                     Notice{"The undo record " + target.path + " cannot be read: " + own_file_reason(target.read) +
                                "! Nothing was undone.",
                            "Error"}};
  }
  return std::nullopt;
}

// Whether two journals change a word of the same record of the same tile.
bool overlap(const Journal& a, const Journal& b) {
  std::map<std::pair<std::string, int32_t>, const WordBitmap*> changed;
  for (const JournalFile& f : a.files) {
    for (const JournalRecord& r : f.records) changed[{f.tile_name(), r.record}] = &r.changed;
  }
  for (const JournalFile& f : b.files) {
    for (const JournalRecord& r : f.records) {
      const auto it = changed.find({f.tile_name(), r.record});
      if (it == changed.end()) continue;
      for (std::size_t n = 0; n < std::min(bitmap_blocks(*it->second), bitmap_blocks(r.changed)); ++n) {
        if ((bitmap_block(*it->second, n) & bitmap_block(r.changed, n)) != 0) return true;
      }
    }
  }
  return false;
}

// The first run after `entry`, not undone, that changed a word `record`
// names: by its undo record where one is kept, else by the tiles its
// history line names; 0 when none is known.
int64_t later_run_touching(FileServices& files, char drive, const History& history, const HistoryEntry& entry,
                           const Journal& record) {
  int64_t by_tiles = 0;
  for (const HistoryEntry& later : history.entries) {
    if (later.run <= entry.run || later.undo() || history.undone_by(later.run) != nullptr) continue;
    const UndoTarget kept = locate_undo_record(files, drive, history, later.run);
    if (kept.read == 0) {
      const Journal journal = decode_journal(kept.bytes, drive);
      if (journal.valid && !journal.damaged && overlap(record, journal)) return later.run;
      continue;
    }
    for (const std::string& tile : later.tiles) {
      for (const JournalFile& f : record.files) {
        if (by_tiles == 0 && f.tile_name() == tile) by_tiles = later.run;
      }
    }
  }
  return by_tiles;
}

// The refusal of an undo whose words changed since its run.
Notice changed_since_notice(const UndoResult& result, const std::string& since, int64_t later) {
  const std::string by = later > 0 ? ", by run " + std::to_string(later) : "";
  if (result.changed_since > 0) {
    const std::string count = std::to_string(result.changed_since);
    return {count + (result.changed_since == 1 ? " grid word has" : " grid words have") + " changed since " +
                since + by + "! Nothing was undone.",
            "Error"};
  }
  const std::string count = std::to_string(result.changed_records);
  return {"Grid words of " + count + (result.changed_records == 1 ? " record have" : " records have") +
              " changed since " + since + by + "! Nothing was undone.",
          "Error"};
}

// The history line of an undo of `entry` (none: a run the history does not know).
HistoryEntry undo_entry(const HistoryEntry* entry) {
  HistoryEntry undo;
  if (entry == nullptr) return undo;
  undo.undo_of = entry->run;
  undo.extent = entry->extent;
  undo.rings = entry->rings;
  return undo;
}

}  // namespace

UndoResult undo_run(FileServices& files, char drive, int64_t run, bool dry_run) {
  UndoResult result;
  auto finish = [&](UndoResult::Outcome outcome, const Notice& notice) {
    result.outcome = outcome;
    result.notices.push_back(notice);
    return result;
  };
  const History history = read_history(files, drive);
  if (run > 0) {
    if (history.error != 0) {
      return finish(UndoResult::Outcome::FileError,
                    {"The history " + history_path(drive) + " cannot be read: " + history_reason(history.error) +
                         "! Nothing was undone.",
                     "Error"});
    }
    if (const std::optional<Notice> refusal = run_refusal(history, run)) {
      return finish(UndoResult::Outcome::NothingToUndo, *refusal);
    }
  }
  const UndoTarget target = locate_undo_record(files, drive, history, run);
  const std::string since = run == 0 ? std::string("the last modification") : "run " + std::to_string(run);
  if (const auto refusal = record_refusal(target, run)) return finish(refusal->first, refusal->second);
  // The undo record was complete and on the device before its run was
  // done: every entry of it must hold, the last one too.
  const Journal record = decode_journal(target.bytes, drive);
  if (target.read != 0 || !record.valid || record.torn || record.damaged) {
    return finish(UndoResult::Outcome::FileError, {UNDO_DAMAGED_TEXT, "Error"});
  }

  if (const std::optional<Notice> failure = check_undo_record(files, record, dry_run, result)) {
    return finish(UndoResult::Outcome::FileError, *failure);
  }
  if (result.changed_since > 0 || result.changed_records > 0) {
    // An earlier run names the later run that changed its words.
    const int64_t later =
        run > 0 ? later_run_touching(files, drive, history, *target.entry, record) : 0;
    return finish(UndoResult::Outcome::ChangedSince, changed_since_notice(result, since, later));
  }
  if (dry_run) return finish(UndoResult::Outcome::Done, {});

  // The undo is the rollback of the run, journaled like any run: of the
  // opposite kinds, last to first.
  std::vector<int32_t> undo_kinds;
  for (auto k = record.kinds.rbegin(); k != record.kinds.rend(); ++k) undo_kinds.push_back(opposite_kind(*k));
  RunJournal journal(files, drive, undo_kinds, RunJournal::Commit::Remove);
  HistoryEntry entry = undo_entry(target.entry);
  entry.words = result.words;
  journal.enter_history(std::move(entry));
  const RollbackResult undone = roll_back(journal.files(), record);
  const RunJournal::End end = journal.end(undone.ok);
  if (!end.committed) {
    result.outcome = UndoResult::Outcome::FileError;
    result.notices.push_back(end.failure ? *end.failure : tile_write_error(undone.failed_tile));
    if (end.restore) result.notices.push_back(*end.restore);
    return result;
  }
  result.run = end.run;
  result.history_failure = end.history;
  const Notice done = run == 0 ? Notice{"The last modification is undone!", "Info"}
                               : Notice{"Run " + std::to_string(run) + " is undone!", "Info"};
  // Done: the record of a modification that is undone goes.
  const int32_t removed = files.REMOVE_SYNCED(target.path);
  if (removed != 0 && files.FILE_KIND(target.path) != FILE_NOT_FOUND) {
    result.undo_record_kept = true;
    result.notices.push_back(done);
    return finish(UndoResult::Outcome::Done,
                  {"The undo record " + target.path + " could not be removed: " + own_file_reason(removed) +
                       "! It stays behind, naming words that are undone already: " + UNDO_HINT +
                       " changes nothing with it, and the next modification replaces it.",
                   "Error"});
  }
  return finish(UndoResult::Outcome::Done, done);
}

UndoResult undo_last_modification(FileServices& files, char drive, bool dry_run) {
  return undo_run(files, drive, 0, dry_run);
}

}  // namespace kavlin
