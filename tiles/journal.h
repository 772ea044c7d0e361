// The run journal: what one modification changes, kept beside the database
// (X:\KAVLIN\JOURNAL) so that a run that fails or is killed halfway can be
// rolled back exactly, and kept after a successful run as the undo record
// (X:\KAVLIN\UNDO).
//
// Every change of one run is the same operation (one flag bit set, or
// cleared) on a set of grid words, so the journal holds no record copies
// and no word values: for each tile file its program path and identity,
// and for each record whose words change the positions of those words (a
// bitmap of one bit per word, or runs of consecutive words when that is
// shorter) and a 64-bit hash of their new values. The opposite operation
// on exactly those words restores their old values whatever state a word
// is in (old, new, or its record half written). An undo checks first that
// every such word still holds the flag state the run gave it, and that
// the hash of their values is unchanged.
//
// The file is a sequence of entries, each [magic][length][payload][crc32],
// appended and forced to the device before the file it describes is
// written (the entries of a group of files held together in one append).
// A last entry cut short by a crash fails its length or checksum and is
// dropped: the file it describes was never written. Any other entry that
// fails, and any entry whose checksum holds but whose contents do not
// describe a tile of this database, makes the journal damaged: nothing is
// done with it.
//
// A run of several modifications (a batch) journals, for each record, the
// words each modification changed, on the record as the modifications
// before it left it, and one hash of the final values of all of them. The
// opposite operations of those modifications applied last to first give
// every bit the value it had before the run: the last operation applied
// to a bit is the opposite of the first modification that changed it,
// whatever state the word is in. Applied first to last with their own
// kinds they give the record as the run wrote it, from any of those
// states, which proves the file and lets an undo check the words.
//
// Entries name their tiles relative to the database that holds the
// journal: of the path stored (X:\KAVLIN\E006\E006N49.33M) the part after
// the drive counts, the drive letter the run used is not looked at, so
// that a journal only ever acts on its own database, wherever that
// database has been copied or moved.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tiles/engine.h"
#include "tiles/tile_files.h"
#include "base/file_services.h"

namespace kavlin {

// Program paths of the database's own files, beside the longitude folders.
std::string journal_path(char drive);  // X:\KAVLIN\JOURNAL
std::string undo_path(char drive);     // X:\KAVLIN\UNDO
std::string lock_path(char drive);     // X:\KAVLIN\LOCK

// The kind that undoes kind 1..10: set <-> clear of the same flag.
int32_t opposite_kind(int32_t kind);

// Consecutive changed words of a record, by word index from 0.
struct WordRun {
  int32_t first = 0;
  int32_t count = 0;
  bool operator==(const WordRun&) const = default;
};

// The changed words of one record: bit w % 8 of byte w / 8 is word w.
using WordBitmap = std::vector<uint8_t>;

// Bytes of the bitmap of a record of `words` grid words.
inline std::size_t bitmap_bytes(int32_t words) { return (static_cast<std::size_t>(words) + 7) / 8; }

// The words one modification of a run of several changed in a record.
struct JournalStep {
  int32_t modification = 0;  // index into Journal::kinds
  WordBitmap changed;
  bool operator==(const JournalStep&) const = default;
};

struct JournalRecord {
  int32_t record = 0;   // 1..144
  WordBitmap changed;   // bitmap_bytes(record words) bytes, unused bits 0
  uint64_t hash = 0;    // changed_words_hash of the record after the run
  // A run of several modifications: what each changed, in their order
  // (`changed` is the union); empty for a run of one.
  std::vector<JournalStep> steps;
  bool operator==(const JournalRecord&) const = default;
  int64_t word_count() const;
  std::vector<WordRun> runs() const;
  // A record whose words `runs` change (tests and tools).
  static JournalRecord from_runs(int32_t record, int32_t words, const std::vector<WordRun>& runs, uint64_t hash);
};

// A 64-bit hash of the words of `record` that `changed` marks, in position
// order (positions and values both count).
uint64_t changed_words_hash(std::span<const uint8_t> record, const WordBitmap& changed);

// Compares a record as read (`before`) with what a run writes (`after`)
// for the run's operation `op`: fills `changed` (bitmap_bytes(words)
// bytes, overwritten) with the words that differ and `hash` with
// changed_words_hash(after, changed). False when any difference is not
// the operation (another bit, or the flag the wrong way). When `copy_to`
// is given, `after` is copied there on the way (it may be `before`).
bool find_changes(KindOperation op, std::span<const uint8_t> before, std::span<const uint8_t> after,
                  WordBitmap& changed, uint64_t& hash, uint8_t* copy_to = nullptr);
// find_changes and changed_words_hash use the processor's vector
// instructions where they can; true makes them use the plain 64-bit
// versions everywhere (for tests).
extern bool scalar_changes_only;
// True makes JournalingFiles compare the changed words the engine reports
// with those find_changes finds, and refuse a write where they differ
// (for tests).
extern bool check_reported_changes;

struct JournalFile {
  std::string path;  // program path, X:\KAVLIN\E006\E006N49.33M
  FileIdentity identity;
  int32_t record_length = 0;
  std::vector<JournalRecord> records;  // ascending record numbers
  bool operator==(const JournalFile&) const = default;
  // The 11-character tile name: the path's last component.
  std::string tile_name() const;
  int64_t word_count() const;
};

struct Journal {
  bool valid = false;   // the first entry (the kind) was read
  bool torn = false;    // a cut or failing last entry ended the file
  bool damaged = false; // an entry before the last failed, or one names no tile of the database
  std::string damage;   // what is wrong, for the message ("entry 3 fails its checksum")
  int32_t kind = 0;     // the run's modification kind; 0 for several
  std::vector<int32_t> kinds;  // the kinds of a run of several, in order
  std::vector<JournalFile> files;
  int64_t word_count() const;
};

// Journals and undo records larger than this are damaged: 36 tiles and
// their neighbours with every word changed stay far below it.
inline constexpr std::size_t MAX_JOURNAL_BYTES = 64u << 20;

// One entry each.
std::string encode_journal_start(int32_t kind);
// The start of the journal of a run of several modifications: their kinds.
std::string encode_journal_start(const std::vector<int32_t>& kinds);
std::string encode_journal_file(const JournalFile& file);
// The entries of a journal file up to the first one that fails, each
// checked: a tile path of the form KAVLIN\Ennn\EnnnNnn.33M or .63M
// (nothing else), that tile kind's record length, record numbers 1 to 144
// in ascending order, word positions inside the record. The paths of the
// result are on drive `drive`, the database that holds the journal.
Journal decode_journal(std::string_view bytes, char drive = 'C');

// True for a database-relative tile path an entry may hold:
// KAVLIN\E006\E006N49.33M, a tile name as TILE_NAME makes it.
bool journal_tile_path_valid(std::string_view relative);

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
RollbackResult roll_back(FileServices& files, const Journal& journal);

// File services that journal what a run writes (see the file comment),
// over the services that do the work.
//
// Record reads pass through and are remembered; a record write is kept
// back, its changed words as the engine reports them (as a ChangeSink) or,
// when not reported, found by comparing it with what was read; FLUSH_FILE
// appends the file's changed words to the journal and forces it to the
// device, then writes the kept records and flushes the file. A file closed
// without a flush is not written at all. Each file opened must be another
// file than every other name opened before: a second name of one file (a
// symbolic or hard link) fails to open, and shared_file() names both.
//
// With hold_files(n), n > 1, FLUSH_FILE holds the file (its close too)
// until n files are held, then appends their entries with one forcing of
// the journal and writes, flushes and closes them in order; write_held()
// does so for the files held so far. A failure then names the file it hit
// (failed_tile()), and the files after it in the group are not written.
class JournalingFiles : public FileServices, public ChangeSink {
 public:
  JournalingFiles(FileServices& inner, std::string journal_path, int32_t kind);
  // For a run of several modifications of kinds `kinds`: the engine tells
  // the words each changed (changed_words_of), and every record written
  // must be exactly those operations, in order, on the record as read.
  JournalingFiles(FileServices& inner, std::string journal_path, std::vector<int32_t> kinds);
  ~JournalingFiles() override;

  // Files held before their entries are appended (1: none held).
  void hold_files(int32_t files) { hold_files_ = std::max(files, 1); }
  // Appends the entries of the files held, writes, flushes and closes
  // them; 0 or the first failure.
  int32_t write_held();
  // Drops the held files unwritten (their entries were never appended).
  void discard_held();
  // The file whose held records could not be written (or, for a failed
  // journal write, the first file of the group that has an entry).
  const std::string& failed_tile() const { return failed_tile_; }

  // ChangeSink: the engine keeps each record in this object's own copy,
  // so that it is neither copied in nor out, and tells its changed words.
  std::span<uint8_t> record_buffer(int32_t unit, int32_t record, int32_t length) override;
  void changed_words(int32_t unit, int32_t record, std::span<const uint8_t> changed) override;
  void changed_words_of(int32_t index, int32_t unit, int32_t record, std::span<const uint8_t> changed) override;

  // The journal file has been created.
  bool journal_started() const { return journal_started_; }
  // Some file's kept records were begun to be written.
  bool writing_started() const { return writing_started_; }
  // Two tile names opened that are one file, in the order they were opened.
  const std::optional<std::pair<std::string, std::string>>& shared_file() const { return shared_; }
  // The tile whose records were written last.
  const std::string& last_written_tile() const { return last_written_; }

  std::string DRIVE_LETTERS() override;
  bool DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) override;
  bool NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) override;
  void END_DIR_SEARCH(int32_t& handle) override;
  int32_t OPEN_TEXT_FILE(const std::string& path, int32_t& unit) override;
  int32_t OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) override;
  int32_t READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) override;
  int32_t READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) override;
  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) override;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override;
  int32_t RECORD_COUNT(int32_t unit, int64_t& records) override;
  int32_t FLUSH_FILE(int32_t unit) override;
  int32_t FILE_IDENTITY(int32_t unit, FileIdentity& identity) override;
  int32_t CLOSE_FILE(int32_t unit) override;
  void CLOSE_ALL_FILES() override;

 private:
  // One record of an open tile, its bytes in the unit's arena.
  enum class Slot : uint8_t { Empty, Read, Written };
  struct UnitState {
    std::string path;
    FileIdentity identity;
    int32_t record_length = 0;
    // Records 1..144 one after another: as read from the file, and after
    // a write as written (not yet on the file).
    std::vector<uint8_t> arena;
    std::vector<Slot> slots;               // by record number, [0] unused
    std::vector<JournalRecord> changes;    // by record number, written ones
    std::vector<uint8_t> lent;             // by record number: the arena lent to the engine
    int32_t reported_record = 0;           // the record reported_changes is for
    WordBitmap reported_changes;
    std::vector<JournalStep> reported_steps;  // several modifications: for reported_record
    bool any_written = false;
    bool held = false;        // flushed, waiting for its group to be written
    bool has_entry = false;   // held with a journal entry
    bool close_asked = false; // closed while held
    std::span<uint8_t> bytes(int32_t record) {
      return {arena.data() + static_cast<std::size_t>(record - 1) * record_length,
              static_cast<std::size_t>(record_length)};
    }
  };
  struct Spare {
    std::vector<uint8_t> arena;
    std::vector<JournalRecord> changes;
  };
  int32_t append(const std::string& entries);
  int32_t write_steps(UnitState& state, int32_t record, std::span<const uint8_t> buffer);
  int32_t open_unit(const std::string& path, int32_t record_length, int32_t& unit, bool read_only);
  void release(int32_t unit);
  UnitState* record_unit(int32_t unit, int32_t record, std::size_t size);
  bool is_held(int32_t unit) const;

  FileServices& inner_;
  std::string journal_path_;
  int32_t kind_;
  std::vector<int32_t> kinds_;  // several modifications: their kinds
  std::map<int32_t, UnitState> units_;
  std::vector<Spare> spares_;  // reused from file to file
  int32_t hold_files_ = 1;
  std::vector<int32_t> held_;  // units held, in flush order
  std::string held_entries_;   // their entries
  std::string failed_tile_;
  std::vector<std::pair<FileIdentity, std::string>> opened_;
  std::optional<std::pair<std::string, std::string>> shared_;
  bool journal_started_ = false;
  bool writing_started_ = false;
  std::string last_written_;
};

}  // namespace kavlin
