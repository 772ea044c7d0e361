// Record files that journal what a run writes (tiles/journal_format),
// over the file services that do the work (their record files, and the
// journal as one of the database's own files).
//
// Record reads pass through and are remembered; a record write is kept
// back, its changed words as the engine reports them (as a ChangeSink) or,
// when not reported, found by comparing it with what was read. A record
// whose bytes do not change is not kept: it is not written at all.
// FLUSH_FILE appends the file's changed words to the journal and forces it
// to the device, then writes the kept records and flushes the file; a file
// none of whose records changes is neither written nor flushed, and a run
// that changes no word makes no journal. A file closed without a flush is
// not written at all. Each file opened must be another file than every
// other name opened before: a second name of one file (a symbolic or hard
// link) fails to open, and shared_file() names both.
//
// With hold_files(n), n > 1, FLUSH_FILE holds the file (its close too)
// until n files are held, then appends their entries with one forcing of
// the journal and writes, flushes and closes them in order; write_held()
// does so for the files held so far. A failure then names the file it hit
// (failed_tile()), and the files after it in the group are not written.
//
// With write_behind() and record files beneath that take calls on units
// from two threads (concurrent_units()), a full group is handed to a
// writer thread and FLUSH_FILE returns: the engine computes the next files
// while the group's journal entries and records are written and forced.
// One group is in the writer's hands at a time (the next hand-over waits
// for it), so the groups, their order and what a failure names are those
// of the plain way; a failure is told at the next FLUSH_FILE, CLOSE_FILE
// of a file handed over, or write_held(), and no group after it is
// written. write_held() returns once every file is on the device.
#pragma once

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tiles/engine.h"
#include "tiles/journal_format.h"
#include "tiles/tile_files.h"
#include "tiles/change_mask.h"
#include "base/file_services.h"

namespace kavlin {

// Compares a record as read (`before`) with what a run writes (`after`)
// for the run's operation `op`: fills `changed` (bitmap_bytes(words)
// bytes, overwritten) with the words that differ. False when any
// difference is not the operation (another bit, or the flag the wrong way).
bool find_changes(KindOperation op, std::span<const uint8_t> before, std::span<const uint8_t> after,
                  WordBitmap& changed);

struct JournalingOptions {
  // Compare the changed words the engine reports with those find_changes
  // finds, and refuse a write where they differ (the engine then keeps
  // its records in its own buffers).
  bool check_reported_changes = false;
};

class JournalingFiles : public RecordFiles, public ChangeSink {
 public:
  // For a run of modifications of kinds `kinds`, in order: every record
  // written must differ from the record as read in flag bits only, each
  // changed the way one of those kinds changes it.
  JournalingFiles(FileServices& inner, std::string journal_path, std::vector<int32_t> kinds,
                  JournalingOptions options = {});
  ~JournalingFiles() override;

  // Files held before their entries are appended (1: none held).
  void hold_files(int32_t files) { hold_files_ = std::max(files, 1); }
  // Groups written by a thread of their own when the record files beneath
  // allow it (see above); the caller ends the run with write_held().
  void write_behind() { write_behind_ = inner_.concurrent_units(); }
  // Appends the entries of the files held, writes, flushes and closes
  // them; 0 or the first failure.
  int32_t write_held();
  // Drops the held files unwritten (their entries were never appended).
  void discard_held();
  // The file whose held records could not be written (or, for a failed
  // journal write, the first file of the group that has an entry).
  const std::string& failed_tile() const { return failed_tile_; }

  // ChangeSink: the engine keeps a record that one modification alone
  // changes in this object's own copy, so that it is neither copied in nor
  // out, and tells its changed words.
  std::span<uint8_t> record_buffer(int32_t unit, int32_t record, int32_t length) override;
  void changed_words(int32_t index, int32_t unit, int32_t record, std::span<const uint8_t> changed) override;

  // The journal file has been created.
  bool journal_started() const { return journal_started_; }
  // Some file's kept records were begun to be written.
  bool writing_started() const { return writing_started_; }
  // Two tile names opened that are one file, in the order they were opened.
  const std::optional<std::pair<std::string, std::string>>& shared_file() const { return shared_; }
  // The tile whose records were written last.
  const std::string& last_written_tile() const { return last_written_; }
  // The journal's run id (0 before its first append).
  uint64_t run_id() const { return run_id_; }
  // What the files journaled so far change: their tiles in order (told as
  // their entries are made) and the grid points, each once (counted as
  // their records are written, by whoever writes them).
  struct Changes {
    std::vector<std::string> tiles;
    GridPointCount points;
  };
  const Changes& changes() const { return changes_; }

  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) override;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override;
  int32_t RECORD_COUNT(int32_t unit, int64_t& records) override;
  int32_t FLUSH_FILE(int32_t unit) override;
  int32_t FILE_IDENTITY(int32_t unit, FileIdentity& identity) override;
  int32_t CLOSE_FILE(int32_t unit) override;

 private:
  // One record of an open tile, its bytes in the unit's arena.
  enum class Slot : uint8_t { Empty, Read, Written };
  // Bytes for records 1..144 of a file, not zero-filled: only slots that
  // are read or written are ever looked at.
  struct FreeArena {
    void operator()(uint8_t* bytes) const;
  };
  struct Arena {
    std::unique_ptr<uint8_t[], FreeArena> bytes;
    std::size_t size = 0;
  };
  struct UnitState {
    std::string path;
    FileIdentity identity;
    int32_t record_length = 0;
    // Records 1..144 one after another: as read from the file, and after
    // a write as written (not yet on the file). Made (or taken from a
    // spare) when a record is first read or written, so that a file only
    // opened and checked costs no memory.
    Arena arena;
    std::vector<Slot> slots;               // by record number, [0] unused
    std::vector<JournalRecord> changes;    // by record number, written ones
    std::vector<uint8_t> lent;             // by record number: the arena lent to the engine
    int32_t reported_record = 0;           // the record reported_changes is for
    int32_t reported_modification = 0;    // the modification that made them
    WordBitmap reported_changes;
    bool any_written = false;
    bool held = false;        // flushed, waiting for its group to be written
    bool has_entry = false;   // held with a journal entry
    bool close_asked = false; // closed while held
    // The bytes of a record; the arena must have been made (records()).
    std::span<uint8_t> bytes(int32_t record) {
      return {arena.bytes.get() + static_cast<std::size_t>(record - 1) * record_length,
              static_cast<std::size_t>(record_length)};
    }
  };
  struct Spare {
    Arena arena;
    std::vector<JournalRecord> changes;
  };
  // Held files handed over to be written, and what writing them gave.
  struct Group {
    std::vector<int32_t> units;
    std::vector<UnitState*> states;  // stable: units_ is a map
    std::string entries;
    // Guarded by writer_mutex_ while the writer has the group.
    std::vector<uint8_t> close_asked;
    bool done = false;
    // Set by whoever writes the group, read once it is done.
    std::vector<uint8_t> closed;  // closed after writing
    int32_t status = 0;
    std::size_t written = 0;      // files written, flushed (and closed) before a failure
    std::string failed_tile;
    std::string last_written;
    std::exception_ptr error;     // thrown while writing, thrown again in the caller
  };
  int32_t append(const std::string& entries);
  // The operations by which `after` differs from `before`, as steps in
  // modification order; false when a difference is none of the run's.
  bool find_operations(std::span<const uint8_t> before, std::span<const uint8_t> after,
                       std::vector<JournalStep>& steps) const;
  // Records in `change` the operations `more` of a write on the record as
  // written before (words whose flag goes back drop out).
  void join_operations(JournalRecord& change, std::vector<JournalStep>& more) const;
  int32_t open_unit(const std::string& path, int32_t record_length, int32_t& unit, bool read_only);
  void release(int32_t unit);
  UnitState* record_unit(int32_t unit, int32_t record, std::size_t size);
  // The unit's arena, made on first use.
  void make_arena(UnitState& state);
  bool is_held(int32_t unit) const;
  // The writing of held files (journaling_writer.cpp).
  int32_t hand_off();
  void write_group(Group& group);
  int32_t finish_group();
  int32_t collect(Group& group);
  std::size_t in_writer(int32_t unit) const;
  void writer_loop();
  void stop_writer();

  FileServices& inner_;
  std::string journal_path_;
  std::vector<int32_t> kinds_;  // of the run's modifications
  // The first modification of each kind 1..10, -1 for a kind the run
  // does not have: a record names an operation by it.
  std::array<int32_t, 11> kind_index_;
  std::map<int32_t, UnitState> units_;
  std::vector<Spare> spares_;  // reused from file to file
  int32_t hold_files_ = 1;
  std::vector<int32_t> held_;  // units held, in flush order
  std::string held_entries_;   // their entries
  bool write_behind_ = false;
  std::unique_ptr<Group> group_;  // handed over, not yet collected
  Group* pending_ = nullptr;      // the group the writer thread is to write
  bool stopping_ = false;
  std::mutex writer_mutex_;
  std::condition_variable writer_wake_;
  std::thread writer_;
  std::string failed_tile_;
  std::vector<std::pair<FileIdentity, std::string>> opened_;
  std::optional<std::pair<std::string, std::string>> shared_;
  bool journal_started_ = false;
  uint32_t appends_ = 0;  // appends made, the next one's sequence
  uint64_t run_id_ = 0;   // of the journal, drawn at its first append
  bool writing_started_ = false;
  std::string last_written_;
  Changes changes_;
  JournalingOptions options_;
};

}  // namespace kavlin
