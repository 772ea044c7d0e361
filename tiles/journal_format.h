// The run journal's entry format: what one modification changes, kept
// beside the database (X:\KAVLIN\JOURNAL) so that a run that fails or is
// killed halfway can be rolled back exactly (tiles/rollback), and kept
// after a successful run as the undo record (X:\KAVLIN\UNDO). The writer
// that makes it during a run is tiles/journaling_files.
//
// What one record of a run changes is kept as the words each operation
// (a kind: one flag bit set, or cleared) changed, with a 64-bit hash of
// the new values of all of them: no record copies and no word values. The
// operations of one record touch distinct bits (a word's flag changed is
// set or cleared by the run, never both: what a record ends with against
// what it began with), so the opposite operations on exactly those words
// restore their old values, in any order, whatever state a word is in
// (old, new, or its record half written); the operations themselves give
// the record as the run wrote it from any of those states, which proves
// the file and lets an undo check the words. A run is a list of
// modifications (a single run is a list of one); its start entry lists
// their kinds, and a record names each operation by the first
// modification of its kind. However many modifications touched a record,
// it is journaled once, with at most one set of words per kind.
//
// Journals of earlier releases named, for a run of several modifications,
// the words each modification changed in turn (applied first to last, and
// their opposites last to first), and for a run of one modification only
// the changed words; both are still read, rolled back and undone.
//
// Entries name their tiles relative to the database that holds the
// journal: of the path stored (X:\KAVLIN\E006\E006N49.33M) the part after
// the drive counts, the drive letter the run used is not looked at, so
// that a journal only ever acts on its own database, wherever that
// database has been copied or moved.
//
// The start entry names the format's version. Version 3 hashes the changed
// words with XXH3; version 2 (journals and undo records of earlier
// releases) with a keyed sum that is kept only to prove those.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_services.h"

namespace kavlin {

// Program paths of the database's own files, beside the longitude folders.
std::string journal_path(char drive);  // X:\KAVLIN\JOURNAL
std::string undo_path(char drive);     // X:\KAVLIN\UNDO
std::string lock_path(char drive);     // X:\KAVLIN\LOCK
std::string gate_path(char drive);     // X:\KAVLIN\GATE, passed before LOCK (tiles/safe_run)

// The kind that undoes kind 1..10: set <-> clear of the same flag.
int32_t opposite_kind(int32_t kind);

// The version of the entries this program writes, and the oldest it reads.
inline constexpr uint32_t JOURNAL_VERSION = 3;
// Most modifications one run may have: a record's operation names one by
// a 16-bit index.
inline constexpr std::size_t MAX_RUN_MODIFICATIONS = 0xFFFF;
inline constexpr uint32_t OLDEST_JOURNAL_VERSION = 2;

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

// Bitmap bits 64n..64n+63 (fewer at the end, the rest 0).
inline uint64_t bitmap_block(const WordBitmap& changed, std::size_t n) {
  uint8_t bytes[8] = {};
  std::memcpy(bytes, changed.data() + 8 * n, std::min<std::size_t>(8, changed.size() - 8 * n));
  uint64_t bits;
  std::memcpy(&bits, bytes, 8);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  return bits;
}
inline std::size_t bitmap_blocks(const WordBitmap& changed) { return (changed.size() + 7) / 8; }

// Calls `f(word)` for every word the bitmap marks, in ascending order.
template <typename F>
void for_each_changed(const WordBitmap& changed, F&& f) {
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    for (uint64_t bits = bitmap_block(changed, n); bits != 0; bits &= bits - 1) {
      f(static_cast<int32_t>(64 * n) + std::countr_zero(bits));
    }
  }
}

// Whether the bitmap marks any word.
bool any_changed(const WordBitmap& changed);

// The words of a record one operation changed: the kind of modification
// `modification` (an index into Journal::kinds).
struct JournalStep {
  int32_t modification = 0;
  WordBitmap changed;
  bool operator==(const JournalStep&) const = default;
};

struct JournalRecord {
  int32_t record = 0;   // 1..144
  WordBitmap changed;   // bitmap_bytes(record words) bytes, unused bits 0
  uint64_t hash = 0;    // changed_words_hash of the record after the run
  // What each operation changed, in order (`changed` is the union); empty
  // when the run has one kind: all of `changed` by that kind.
  std::vector<JournalStep> steps;
  bool operator==(const JournalRecord&) const = default;
  int64_t word_count() const;
  std::vector<WordRun> runs() const;
  // A record whose words `runs` change (tests and tools).
  static JournalRecord from_runs(int32_t record, int32_t words, const std::vector<WordRun>& runs, uint64_t hash);
};

// A 64-bit hash of the words of `record` that `changed` marks (positions
// and values both count): XXH3 of the record with every other word 0,
// followed by the bitmap.
uint64_t changed_words_hash(std::span<const uint8_t> record, const WordBitmap& changed);

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
  bool torn = false;    // a cut or failing last append (or last bare entry) ended the file
  bool framed = false;  // written in appends framed as units (this release's layout)
  bool damaged = false; // an entry before the last failed, or one names no tile of the database
  std::string damage;   // what is wrong, for the message ("entry 3 fails its checksum")
  uint32_t version = JOURNAL_VERSION;  // of its start entry
  int32_t kind = 0;     // the kind of a run of one kind; 0 for several
  std::vector<int32_t> kinds;  // the kinds of the run's modifications, in order
  bool plain_entries = false;  // an earlier release's run of one kind: no steps in its entries
  std::vector<JournalFile> files;
  int64_t word_count() const;
  // The hash of the changed words of a record, as this journal's version
  // computes it.
  uint64_t hash(std::span<const uint8_t> record, const WordBitmap& changed) const;
};

// The most a journal or undo record may hold, whatever the database: what
// a rollback reads into memory. A run whose journal could grow beyond it is
// refused; 595 tiles with every record changed by one kind need some
// 116 MB. Below it, a journal may hold no more than the tile files of its
// database could need (journal_size_limit in tiles/run_journal).
inline constexpr std::size_t MAX_JOURNAL_BYTES = 256u << 20;

// One entry each: the start of a run's journal (the kinds of its
// modifications, in order), and a file.
std::string encode_journal_start(const std::vector<int32_t>& kinds);
std::string encode_journal_file(const JournalFile& file);
// The entry of file `path` with the records `records` (ascending),
// appended to `out`.
void encode_file_entry(std::string& out, const std::string& path, const FileIdentity& identity,
                       int32_t record_length, const std::vector<const JournalRecord*>& records);
// One append of a journal: `entries` framed as one unit, the `sequence`-th
// append (from 0) of the journal of run `run_id`.
std::string encode_journal_append(std::string_view entries, uint32_t sequence, uint64_t run_id);
// Bytes of the head of an append: magic, length, sequence, run id and the
// head's own checksum.
inline constexpr std::size_t JOURNAL_HEAD_BYTES = 24;
// The run id of a journal (or undo record) written in appends, read from
// its first head (its first JOURNAL_HEAD_BYTES bytes will do); none for one of bare entries or a first head that fails.
std::optional<uint64_t> journal_run_id(std::string_view bytes);
// A run id for a new journal: random, so that pages of another journal
// left on the device never pass for an append of this one.
uint64_t new_journal_run_id();

// The entries of a journal file up to the first one that fails, each
// checked: a known version, a tile path of the form
// KAVLIN\Ennn\EnnnNnn.33M or .63M (nothing else), that tile kind's record
// length, record numbers 1 to 144 in ascending order, word positions inside
// the record. The paths of the result are on drive `drive`, the database
// that holds the journal.
Journal decode_journal(std::string_view bytes, char drive = 'C');

// Decodes the bare entries `bytes` into `journal` (its start first, then
// files), counting them on from `entry`, as decode_journal describes.
// `whole`: the entries of an append whose checksum holds, where a failing
// last entry is damage too. False once an entry fails (journal.torn or
// journal.damaged set).
bool decode_entries(std::string_view bytes, char drive, Journal& journal, int& entry, bool whole);

// True for a database-relative tile path an entry may hold:
// KAVLIN\E006\E006N49.33M, a tile name as TILE_NAME makes it.
bool journal_tile_path_valid(std::string_view relative);

// The last component of a program path (a tile name).
std::string last_component(const std::string& path);

}  // namespace kavlin
