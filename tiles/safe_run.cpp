#include "tiles/safe_run.h"

#include <optional>

namespace kavlin {

namespace {

Notice open_error(const std::string& name) { return {"Error opening file " + name + "!", "Error"}; }
Notice read_error(const std::string& name) { return {"Error reading record of file " + name + "!", "Error"}; }
Notice write_error(const std::string& name) { return {"Error writing record of file " + name + "!", "Error"}; }

Notice shared_file_notice(const std::string& first, const std::string& second) {
  return {"Tiles " + first + " and " + second + " are one file! Modification is not possible!", "Error"};
}

bool journal_exists(FileServices& files, char drive) {
  std::string bytes;
  return files.READ_WHOLE_FILE(journal_path(drive), bytes) != FILE_NOT_FOUND;
}

// After a failure once writing began: rolls the journal back and removes
// it; the notice that follows the file error.
Notice restore_after_failure(FileServices& files, char drive, bool& restored) {
  restored = false;
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes);
  if (read != 0 && read != FILE_NOT_FOUND) return rollback_failed_notice("");
  const Journal journal = decode_journal(bytes);
  const RollbackResult rollback = roll_back(files, journal);
  if (!rollback.ok) return rollback_failed_notice(rollback.failed_tile);
  // Once the tiles are restored a journal left behind changes nothing
  // when it is rolled back once more.
  if (read == 0) files.REMOVE_SYNCED(journal_path(drive));
  restored = true;
  return {RESTORED_TEXT, "Info"};
}

}  // namespace

Notice rollback_failed_notice(const std::string& tile) {
  const std::string which = tile.empty() ? std::string("the journal") : "file " + tile;
  return {"The database could not be restored: " + which +
              " cannot be rewritten! The journal KAVLIN\\JOURNAL is kept and rolled back at the next start.",
          "Error"};
}

DatabaseLock::DatabaseLock(FileServices& files, char drive, bool wait, const Busy& busy) : files_(files) {
  const std::string path = lock_path(drive);
  const int32_t status = files_.LOCK_FILE(path, false, handle_);
  if (status != FILE_BUSY) return;
  was_busy_ = true;
  if (!wait) return;
  if (busy) {
    busy([&] { return files_.LOCK_FILE(path, false, handle_) == 0; });
  }
  if (handle_ == 0) files_.LOCK_FILE(path, true, handle_);
}

DatabaseLock::~DatabaseLock() {
  if (handle_ != 0) files_.UNLOCK_FILE(handle_);
}

Recovery recover_journal(FileServices& files, char drive) {
  Recovery recovery;
  std::string bytes;
  const int32_t read = files.READ_WHOLE_FILE(journal_path(drive), bytes);
  if (read == FILE_NOT_FOUND) return recovery;
  if (read != 0) {
    recovery.state = Recovery::State::Failed;
    recovery.notice = rollback_failed_notice("");
    return recovery;
  }
  const Journal journal = decode_journal(bytes);
  if (journal.files.empty()) {
    // Cut short before its first file entry was complete: nothing of the
    // run reached a tile.
    files.REMOVE_SYNCED(journal_path(drive));
    return recovery;
  }
  const RollbackResult rollback = roll_back(files, journal);
  if (!rollback.ok) {
    recovery.state = Recovery::State::Failed;
    recovery.notice = rollback_failed_notice(rollback.failed_tile);
    return recovery;
  }
  files.REMOVE_SYNCED(journal_path(drive));
  recovery.state = Recovery::State::Restored;
  recovery.notice = {RECOVERED_TEXT, "Info"};
  return recovery;
}

SafeRunResult run_journaled(FileServices& files, char drive, const VertexTable& table, int32_t mod_kind,
                            const EngineOptions& options) {
  const AreaModification one{&table, mod_kind};
  return run_journaled(files, drive, {&one, 1}, options);
}

SafeRunResult run_journaled(FileServices& files, char drive, std::span<const AreaModification> modifications,
                            const EngineOptions& options) {
  SafeRunResult result;
  if (modifications.size() > 1 && !options.dry_run) {
    // The journal records one kind per run so far.
    result.engine.outcome = EngineOutcome::Refused;
    result.engine.notice = {"Several modifications in one run cannot be journaled yet! Modification is not possible!",
                            "Error"};
    result.notices.push_back(result.engine.notice);
    return result;
  }
  const int32_t mod_kind = modifications.empty() ? 0 : modifications.front().mod_kind;
  JournalingFiles journaled(files, journal_path(drive), mod_kind);
  // The engine tells the journal which words it changes, and the journal
  // holds JOURNAL_GROUP_FILES files at a time, their entries forced to the
  // device together.
  EngineOptions journaled_options = options;
  journaled_options.changes = &journaled;
  journaled.hold_files(JOURNAL_GROUP_FILES);
  result.engine = apply_modifications(journaled, drive, modifications, journaled_options);
  EngineResult& engine = result.engine;
  if (engine.outcome == EngineOutcome::Done && journaled.write_held() != 0) engine.outcome = EngineOutcome::FileError;
  // A held file that failed is named, not the file the engine had in hand.
  if (engine.outcome == EngineOutcome::FileError && !journaled.failed_tile().empty()) {
    engine.notice = write_error(journaled.failed_tile());
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
    // that changed no word leaves nothing to undo.
    if (journaled.journal_started()) {
      if (files.RENAME_SYNCED(journal_path(drive), undo_path(drive)) != 0 && journal_exists(files, drive)) {
        engine.outcome = EngineOutcome::FileError;
        engine.notice = write_error(journaled.last_written_tile());
      }
    } else {
      files.REMOVE_SYNCED(undo_path(drive));
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
  const int32_t read = files.READ_WHOLE_FILE(undo_path(drive), bytes);
  if (read == FILE_NOT_FOUND) return finish(UndoResult::Outcome::NothingToUndo, {"There is no modification to undo!", "Info"});
  const Journal record = decode_journal(bytes);
  if (read != 0 || !record.valid || record.torn) {
    return finish(UndoResult::Outcome::FileError,
                  {std::string("The undo record ") + undo_path(drive) + " cannot be read! Nothing was undone.",
                   "Error"});
  }

  // Every word must still hold the value the run gave it: its flag in the
  // state the run left it in, and the record's changed words as a whole
  // the hash they had.
  const KindOperation run_op = *kind_operation(record.kind);
  const auto flag = static_cast<uint16_t>(run_op.set ? run_op.mask : static_cast<uint16_t>(~run_op.mask));
  const uint16_t flag_after = run_op.set ? flag : 0;
  std::vector<uint8_t> buffer;
  for (const JournalFile& file : record.files) {
    const std::string name = file.tile_name();
    result.tiles.push_back(name);
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) {
      return finish(UndoResult::Outcome::FileError, open_error(name));
    }
    FileIdentity identity;
    if (files.FILE_IDENTITY(unit, identity) != 0 || identity.inode != file.identity.inode) {
      // Another file by that name now: none of its words is the run's.
      result.changed_since += file.word_count();
      files.CLOSE_FILE(unit);
      continue;
    }
    buffer.resize(static_cast<std::size_t>(file.record_length));
    for (const JournalRecord& r : file.records) {
      if (files.READ_RECORD(unit, r.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return finish(UndoResult::Outcome::FileError, read_error(name));
      }
      int64_t flags_changed = 0;
      for (const WordRun& run : r.runs()) {
        for (int32_t w = run.first; w < run.first + run.count; ++w) {
          if ((get_word(buffer, 2 * w) & flag) != flag_after) ++flags_changed;
        }
      }
      result.changed_since += flags_changed;
      if (flags_changed == 0 && changed_words_hash(buffer, r.changed) != r.hash) ++result.changed_records;
    }
    files.CLOSE_FILE(unit);
  }
  result.words = record.word_count();
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

  // The undo is a run of the opposite kind, journaled like any other.
  const int32_t kind = opposite_kind(record.kind);
  const KindOperation op = *kind_operation(kind);
  JournalingFiles journaled(files, journal_path(drive), kind);
  std::optional<Notice> failure;
  for (const JournalFile& file : record.files) {
    const std::string name = file.tile_name();
    int32_t unit = 0;
    if (journaled.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) {
      failure = open_error(name);
      break;
    }
    buffer.resize(static_cast<std::size_t>(file.record_length));
    for (const JournalRecord& r : file.records) {
      if (journaled.READ_RECORD(unit, r.record, buffer) != 0) {
        failure = read_error(name);
        break;
      }
      for (const WordRun& run : r.runs()) {
        for (int32_t w = run.first; w < run.first + run.count; ++w) {
          put_word(buffer, 2 * w, apply_kind(op, get_word(buffer, 2 * w)));
        }
      }
      if (journaled.WRITE_RECORD(unit, r.record, buffer) != 0) {
        failure = write_error(name);
        break;
      }
    }
    if (!failure && journaled.FLUSH_FILE(unit) != 0) failure = write_error(name);
    const int32_t closed = journaled.CLOSE_FILE(unit);
    if (!failure && closed != 0) failure = write_error(name);
    if (failure) break;
  }
  if (!failure && journaled.journal_started() && files.REMOVE_SYNCED(journal_path(drive)) != 0 &&
      journal_exists(files, drive)) {
    failure = write_error(journaled.last_written_tile());
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
  files.REMOVE_SYNCED(undo_path(drive));
  return finish(UndoResult::Outcome::Done, {"The last modification is undone!", "Info"});
}

void RECOVER_AT_START(UiServices& ui, FileServices& files, char drive) {
  // A modification running now owns its journal; should it not end, the
  // next run takes the lock and rolls the journal back.
  const DatabaseLock lock(files, drive, false);
  if (!lock.held()) return;
  const Recovery recovery = recover_journal(files, drive);
  if (recovery.state == Recovery::State::None) return;
  ui.MESSAGE_BOX(recovery.notice.text, recovery.notice.caption, 0);
  if (recovery.state == Recovery::State::Failed) ui.STOP_PROGRAM(0);
}

void APPLY_MODIFICATION_SAFELY(UiServices& ui, FileServices& files, ProgramValues& values) {
  const char drive = values.DRIVE_LETTER;
  const DatabaseLock lock(files, drive, true, [&ui](const std::function<bool()>& try_again) {
    ui.WAIT_UNTIL(WAITING_TEXT, try_again);
  });
  const Recovery recovery = recover_journal(files, drive);
  if (recovery.state != Recovery::State::None) {
    ui.MESSAGE_BOX(recovery.notice.text, recovery.notice.caption, 0);
    if (recovery.state == Recovery::State::Failed) ui.STOP_PROGRAM(0);
  }
  // The progress display shows itself only when the work lasts; it is gone
  // before the closing message.
  EngineOptions options;
  options.progress = [&ui](int32_t done, int32_t total) { ui.SHOW_PROGRESS(done, total); };
  options.writing = [&ui](const std::string& tile) { ui.SHOW_TILE_AT_WORK(tile); };
  const SafeRunResult result = run_journaled(files, drive, values.AREA, values.MOD_KIND, options);
  ui.END_PROGRESS();
  // The changed points stand out behind the completion message.
  if (result.engine.outcome == EngineOutcome::Done) ui.SHOW_CHANGES(values.MOD_KIND);
  for (const Notice& notice : result.notices) ui.MESSAGE_BOX(notice.text, notice.caption, 0);
  if (result.engine.outcome == EngineOutcome::Done) return;
  ui.STOP_PROGRAM(0);
}

}  // namespace kavlin
