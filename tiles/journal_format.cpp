#include "tiles/journal_format.h"

#include <xxhash.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "base/database_folder.h"
#include "base/kernels.h"
#include "tiles/tile_files.h"

namespace kavlin {

namespace {

constexpr uint32_t ENTRY_MAGIC = 0x4C4E4A4B;  // "KJNL" little-endian
constexpr uint8_t ENTRY_START = 1;
constexpr uint8_t ENTRY_FILE = 2;
constexpr uint8_t ENTRY_STEPS_FILE = 3;  // a file of a run of several modifications
// Bounds a damaged length field; a file entry of a 3-second tile whose
// every word changes stays far below it.
constexpr uint32_t MAX_ENTRY = 64u << 20;
// How a record's changed words are stored.
constexpr uint8_t FORM_RUNS = 0;    // u16 count, then (u16 first, u16 count) each
constexpr uint8_t FORM_BITMAP = 1;  // the bitmap as it is


void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
void put_u32(std::string& out, uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}

// Reads little-endian values from a payload; `ok` turns false on reading
// beyond its end.
struct Reader {
  std::string_view bytes;
  std::size_t pos = 0;
  bool ok = true;
  uint64_t get(int size) {
    if (!ok || bytes.size() - pos < static_cast<std::size_t>(size)) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int b = 0; b < size; ++b) v |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[pos + b])) << (8 * b);
    pos += static_cast<std::size_t>(size);
    return v;
  }
  std::string_view take(std::size_t size) {
    if (!ok || bytes.size() - pos < size) {
      ok = false;
      return {};
    }
    const std::string_view part = bytes.substr(pos, size);
    pos += size;
    return part;
  }
  bool at_end() const { return ok && pos == bytes.size(); }
};

uint32_t checksum(std::string_view payload) {
  return static_cast<uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size())));
}

std::string frame(const std::string& payload) {
  std::string out;
  out.reserve(payload.size() + 12);
  put_u32(out, ENTRY_MAGIC);
  put_u32(out, static_cast<uint32_t>(payload.size()));
  out += payload;
  put_u32(out, checksum(payload));
  return out;
}

// The path of a tile relative to its database, from the path stored: the
// drive the run used ("X:\\"), which is not looked at, and the path in the
// database.
std::string_view relative_of(std::string_view stored) {
  if (stored.size() < 3 || stored[1] != ':' || stored[2] != '\\') return {};
  return stored.substr(3);
}

// Reads the records of a file entry whose head has been checked; each
// read is false when the entry is refused (`why` set) or cut short (`why`
// empty).
struct RecordReader {
  Reader& in;
  std::string_view payload;
  int32_t words;
  std::size_t map_bytes;
  std::string& why;

  bool refuse(const char* reason) {
    why = reason;
    return false;
  }
  // The changed words of a record or an operation, in either form.
  bool words_of(uint8_t form, WordBitmap& changed) {
    if (form == FORM_BITMAP) {
      const std::string_view bits = in.take(map_bytes);
      if (!in.ok) return false;
      changed.assign(bits.begin(), bits.end());
      // Bits beyond the last word stay clear.
      if (words % 8 != 0 && (changed.back() >> (words % 8)) != 0) {
        return refuse("marks a word beyond the end of its record");
      }
      return true;
    }
    if (form != FORM_RUNS) return refuse("has a record of an unknown form");
    const auto runs = static_cast<uint32_t>(in.get(2));
    // Four bytes a run: the count is bounded by what the entry holds.
    if (!in.ok || runs > (payload.size() - in.pos) / 4) return false;
    changed.assign(map_bytes, 0);
    int32_t next_free = 0;
    for (uint32_t r = 0; r < runs && in.ok; ++r) {
      const auto first = static_cast<int32_t>(in.get(2));
      const auto count = static_cast<int32_t>(in.get(2));
      if (first < next_free || count < 1 || count > words - first) {
        return refuse("marks a word beyond the end of its record");
      }
      next_free = first + count + 1;  // runs do not touch
      for (int32_t w = first; w < first + count; ++w) changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
    }
    return in.ok;
  }
  bool number_ok(const JournalRecord& record, int32_t previous) {
    if (record.record > previous && record.record <= RECORDS_PER_TILE) return true;
    return refuse("has a record number out of order or outside 1 to 144");
  }
  // A record with the words of each of its operations (indices into the
  // run's `modifications` kinds, ascending).
  bool with_steps(JournalRecord& record, int32_t previous, std::size_t modifications) {
    record.hash = in.get(8);
    const auto steps = static_cast<uint32_t>(in.get(2));
    if (!in.ok || !number_ok(record, previous)) return false;
    if (steps < 1 || steps > modifications || steps > (payload.size() - in.pos) / 4) {
      return refuse("has a record of no or too many modifications");
    }
    record.changed.assign(map_bytes, 0);
    int32_t previous_step = -1;
    for (uint32_t k = 0; k < steps; ++k) {
      JournalStep step;
      step.modification = static_cast<int32_t>(in.get(2));
      const auto form = static_cast<uint8_t>(in.get(1));
      if (!in.ok) return false;
      if (step.modification <= previous_step || static_cast<std::size_t>(step.modification) >= modifications) {
        return refuse("names its modifications out of order or beyond the run's");
      }
      previous_step = step.modification;
      if (!words_of(form, step.changed)) return false;
      for (std::size_t b = 0; b < map_bytes; ++b) record.changed[b] |= step.changed[b];
      record.steps.push_back(std::move(step));
    }
    // A run of one kind keeps no steps: all of `changed` is by that kind.
    if (modifications == 1) record.steps.clear();
    return true;
  }
  // A record of an earlier release's run of one kind: its changed words.
  bool plain(JournalRecord& record, int32_t previous) {
    const auto form = static_cast<uint8_t>(in.get(1));
    record.hash = in.get(8);
    if (!in.ok || !number_ok(record, previous)) return false;
    return words_of(form, record.changed);
  }
};

// A file entry whose checksum holds, checked field by field before any
// memory is taken for it; empty with `why` set when it fails.
std::optional<JournalFile> decode_file(std::string_view payload, char drive, std::string& why,
                                       std::size_t modifications) {
  Reader in{payload};
  const bool with_steps = static_cast<uint8_t>(in.get(1)) == ENTRY_STEPS_FILE;
  JournalFile file;
  const auto path_length = static_cast<std::size_t>(in.get(2));
  const std::string_view relative = relative_of(in.take(path_length));
  file.identity.device = in.get(8);
  file.identity.inode = in.get(8);
  file.record_length = static_cast<int32_t>(in.get(4));
  const auto records = static_cast<uint32_t>(in.get(4));
  if (!in.ok) {
    why = "is cut short";
    return {};
  }
  if (!journal_tile_path_valid(relative)) {
    why = "names no tile of this database";
    return {};
  }
  file.path = std::string(1, drive) + ":\\" + std::string(relative);
  if (file.record_length != TILE_ORIGIN(file.tile_name()).record_length()) {
    why = "has a record length other than its tile's";
    return {};
  }
  if (records > static_cast<uint32_t>(RECORDS_PER_TILE)) {
    why = "has more than 144 records";
    return {};
  }
  const int32_t words = file.record_length / 2;
  RecordReader read{in, payload, words, bitmap_bytes(words), why};
  int32_t previous = 0;
  for (uint32_t n = 0; n < records && in.ok; ++n) {
    JournalRecord record;
    record.record = static_cast<int32_t>(in.get(2));
    const bool ok = with_steps ? read.with_steps(record, previous, modifications) : read.plain(record, previous);
    if (!ok) {
      if (!why.empty()) return {};
      break;  // cut short
    }
    previous = record.record;
    file.records.push_back(std::move(record));
  }
  if (!in.at_end()) {
    why = in.ok ? "has bytes beyond its records" : "is cut short";
    return {};
  }
  return file;
}

// Calls `f(run)` for every run of consecutive changed words, in order,
// found a 64-bit block at a time.
template <typename F>
void for_each_run(const WordBitmap& changed, F&& f) {
  WordRun open{0, 0};  // the run that may go on in the next block
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    uint64_t bits = bitmap_block(changed, n);
    int32_t at = static_cast<int32_t>(64 * n);
    while (bits != 0) {
      const int skip = std::countr_zero(bits);
      bits >>= skip;
      at += skip;
      const int count = std::countr_one(bits);
      if (open.count > 0 && open.first + open.count == at) {
        open.count += count;  // goes on from the block before
      } else {
        if (open.count > 0) f(open);
        open = {at, count};
      }
      if (count == 64) break;
      bits >>= count;
      at += count;
    }
  }
  if (open.count > 0) f(open);
}

std::vector<WordRun> runs_of(const WordBitmap& changed) {
  std::vector<WordRun> runs;
  for_each_run(changed, [&](const WordRun& run) { runs.push_back(run); });
  return runs;
}

// The number of runs: the bits whose lower neighbour is clear.
std::size_t run_count(const WordBitmap& changed) {
  int64_t count = 0;
  uint64_t carry = 0;  // the top bit of the block before
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    const uint64_t bits = bitmap_block(changed, n);
    const uint64_t starts = bits & ~((bits << 1) | carry);
    if (starts != 0) count += std::popcount(starts);
    carry = bits >> 63;
  }
  return static_cast<std::size_t>(count);
}

// The hash of version 2: a keyed NH sum over the 8-byte chunks of the
// record (chunk c = words 4c..4c+3, the unchanged words 0, the record
// padded with zeros to whole 32-byte blocks), finished with a 64-bit
// mixer. Kept only to prove the journals and undo records of that version.
uint64_t changed_words_hash_v2(std::span<const uint8_t> record, const WordBitmap& changed) {
  constexpr uint32_t KEY0_STEP = 0x9E3779B9u, KEY0_BASE = 0x85EBCA6Bu;
  constexpr uint32_t KEY1_STEP = 0xC2B2AE35u, KEY1_BASE = 0x27D4EB2Fu;
  uint64_t acc = 0;
  const std::size_t size = record.size();
  const std::size_t chunks = 4 * ((size + 31) / 32);
  for (uint32_t c = 0; c < chunks; ++c) {
    uint32_t half[2] = {0, 0};  // words 4c, 4c+1 and 4c+2, 4c+3, the lower one in the low bits
    for (uint32_t k = 0; k < 4; ++k) {
      const std::size_t w = 4 * std::size_t{c} + k;
      if (2 * w + 1 >= size || w / 8 >= changed.size() || (changed[w / 8] >> (w % 8) & 1) == 0) continue;
      half[k / 2] |= static_cast<uint32_t>(get_word(record, static_cast<int32_t>(2 * w))) << (16 * (k % 2));
    }
    acc += static_cast<uint64_t>(half[0] + (c * KEY0_STEP + KEY0_BASE)) * (half[1] + (c * KEY1_STEP + KEY1_BASE));
  }
  acc ^= acc >> 33;
  acc *= 0xFF51AFD7ED558CCDULL;
  acc ^= acc >> 33;
  acc *= 0xC4CEB9FE1A85EC53ULL;
  acc ^= acc >> 33;
  return acc;
}

}  // namespace

std::string last_component(const std::string& path) {
  const std::size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool any_changed(const WordBitmap& changed) {
  return std::any_of(changed.begin(), changed.end(), [](uint8_t b) { return b != 0; });
}

int64_t JournalRecord::word_count() const {
  int64_t n = 0;
  for (std::size_t b = 0; b < bitmap_blocks(changed); ++b) n += std::popcount(bitmap_block(changed, b));
  return n;
}


std::vector<WordRun> JournalRecord::runs() const { return runs_of(changed); }

JournalRecord JournalRecord::from_runs(int32_t record, int32_t words, const std::vector<WordRun>& runs,
                                       uint64_t hash) {
  JournalRecord r;
  r.record = record;
  r.changed.assign(bitmap_bytes(words), 0);
  for (const WordRun& run : runs) {
    for (int32_t w = run.first; w < run.first + run.count; ++w) r.changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
  }
  r.hash = hash;
  return r;
}

uint64_t changed_words_hash(std::span<const uint8_t> record, const WordBitmap& changed) {
  // The record with its unchanged words 0, then the bitmap: one buffer,
  // reused, hashed in one call.
  // A bitmap of another length than the record's is cut or padded with 0.
  const std::size_t map_bytes = bitmap_bytes(static_cast<int32_t>(record.size() / 2));
  thread_local std::vector<uint8_t> input;
  input.resize(record.size() + map_bytes);
  std::memset(input.data() + record.size(), 0, map_bytes);
  std::memcpy(input.data() + record.size(), changed.data(), std::min(changed.size(), map_bytes));
  kernels::masked_words(record.data(), record.size(), input.data() + record.size(), input.data());
  return XXH3_64bits(input.data(), input.size());
}

uint64_t Journal::hash(std::span<const uint8_t> record, const WordBitmap& changed) const {
  return version == 2 ? changed_words_hash_v2(record, changed) : changed_words_hash(record, changed);
}

std::string journal_path(char drive) { return database_root(drive) + "JOURNAL"; }
std::string undo_path(char drive) { return database_root(drive) + "UNDO"; }
std::string lock_path(char drive) { return database_root(drive) + "LOCK"; }
std::string gate_path(char drive) { return database_root(drive) + "GATE"; }

int32_t opposite_kind(int32_t kind) { return kind % 2 == 1 ? kind + 1 : kind - 1; }

std::string JournalFile::tile_name() const { return last_component(path); }

int64_t JournalFile::word_count() const {
  int64_t n = 0;
  for (const JournalRecord& r : records) n += r.word_count();
  return n;
}

int64_t Journal::word_count() const {
  int64_t n = 0;
  for (const JournalFile& f : files) n += f.word_count();
  return n;
}

std::string encode_journal_start(const std::vector<int32_t>& kinds) {
  std::string payload;
  put_u8(payload, ENTRY_START);
  put_u32(payload, JOURNAL_VERSION);
  put_u32(payload, 0);
  put_u32(payload, static_cast<uint32_t>(kinds.size()));
  for (const int32_t kind : kinds) put_u8(payload, static_cast<uint8_t>(kind));
  return frame(payload);
}

namespace {

// Little-endian values written through a pointer into space made before.
struct Writer {
  uint8_t* p;
  void u8(uint8_t v) { *p++ = v; }
  void u16(uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
    p += 2;
  }
  void u32(uint32_t v) {
    for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>((v >> (8 * b)) & 0xFF);
    p += 4;
  }
  void u64(uint64_t v) {
    for (int b = 0; b < 8; ++b) p[b] = static_cast<uint8_t>((v >> (8 * b)) & 0xFF);
    p += 8;
  }
  void bytes(const void* data, std::size_t size) {
    std::memcpy(p, data, size);
    p += size;
  }
};

// The bytes of a record's changed words stored as runs, or 0 when the
// bitmap is shorter (a few areas of whole rows, or a few scattered words,
// go as runs).
std::size_t runs_size(const WordBitmap& changed) {
  const std::size_t size = 2 + 4 * run_count(changed);
  return size < changed.size() ? size : 0;
}

void put_words(Writer& w, const WordBitmap& changed, std::size_t as_runs) {
  if (as_runs != 0) {
    w.u16(static_cast<uint16_t>((as_runs - 2) / 4));
    for_each_run(changed, [&](const WordRun& run) {
      w.u16(static_cast<uint16_t>(run.first));
      w.u16(static_cast<uint16_t>(run.count));
    });
  } else {
    w.bytes(changed.data(), changed.size());
  }
}

}  // namespace

// Framed as frame() does: every record with the words of each of its
// operations (a record without steps: all its words by modification 0).
void encode_file_entry(std::string& out, const std::string& path, const FileIdentity& identity,
                       int32_t record_length, const std::vector<const JournalRecord*>& records) {
  std::vector<std::size_t> runs;
  std::size_t size = 1 + 2 + path.size() + 8 + 8 + 4 + 4;
  auto size_step = [&](const WordBitmap& changed) {
    runs.push_back(runs_size(changed));
    size += 3 + (runs.back() != 0 ? runs.back() : changed.size());
  };
  for (const JournalRecord* record : records) {
    size += 2 + 8 + 2;
    if (record->steps.empty()) size_step(record->changed);
    for (const JournalStep& step : record->steps) size_step(step.changed);
  }
  const std::size_t start = out.size();
  out.resize(start + 8 + size + 4);
  Writer w{reinterpret_cast<uint8_t*>(out.data()) + start};
  w.u32(ENTRY_MAGIC);
  w.u32(static_cast<uint32_t>(size));
  uint8_t* const payload = w.p;
  w.u8(ENTRY_STEPS_FILE);
  w.u16(static_cast<uint16_t>(path.size()));
  w.bytes(path.data(), path.size());
  w.u64(identity.device);
  w.u64(identity.inode);
  w.u32(static_cast<uint32_t>(record_length));
  w.u32(static_cast<uint32_t>(records.size()));
  std::size_t next = 0;
  auto put_step = [&](int32_t modification, const WordBitmap& changed) {
    const std::size_t as_runs = runs[next++];
    w.u16(static_cast<uint16_t>(modification));
    w.u8(as_runs != 0 ? FORM_RUNS : FORM_BITMAP);
    put_words(w, changed, as_runs);
  };
  for (const JournalRecord* record : records) {
    w.u16(static_cast<uint16_t>(record->record));
    w.u64(record->hash);
    w.u16(static_cast<uint16_t>(record->steps.empty() ? 1 : record->steps.size()));
    if (record->steps.empty()) put_step(0, record->changed);
    for (const JournalStep& step : record->steps) put_step(step.modification, step.changed);
  }
  w.u32(checksum({reinterpret_cast<const char*>(payload), size}));
}

std::string encode_journal_file(const JournalFile& file) {
  std::vector<const JournalRecord*> records;
  for (const JournalRecord& record : file.records) records.push_back(&record);
  std::string out;
  encode_file_entry(out, file.path, file.identity, file.record_length, records);
  return out;
}

bool journal_tile_path_valid(std::string_view relative) {
  // KAVLIN\E006\E006N49.33M: 7 + 4 + 1 + 11 characters.
  const std::string FOLDER = std::string(DATABASE_FOLDER) + '\\';
  if (relative.size() != FOLDER.size() + 5 + TILE_NAME_LENGTH || relative.substr(0, FOLDER.size()) != FOLDER) {
    return false;
  }
  const std::string name(relative.substr(FOLDER.size() + 5));
  if (relative.substr(FOLDER.size(), 4) != name.substr(0, 4) || relative[FOLDER.size() + 4] != '\\') return false;
  return tile_name_valid(name);
}

namespace {

// The start entry whose checksum holds: a known version and the kinds of
// the run (one kind alone in journals of earlier releases, or a list of
// kinds, at most as many as a record's operations can name) into
// `journal`; false when it is none.
bool decode_start(std::string_view payload, Journal& journal) {
  Reader head{payload};
  const auto type = static_cast<uint8_t>(head.get(1));
  const auto version = static_cast<uint32_t>(head.get(4));
  const auto kind = static_cast<int32_t>(head.get(4));
  std::vector<int32_t> kinds;
  if (kind == 0) {
    const auto count = static_cast<uint32_t>(head.get(4));
    if (head.ok && count >= 1 && count <= MAX_RUN_MODIFICATIONS && count <= payload.size()) {
      for (uint32_t k = 0; k < count && head.ok; ++k) kinds.push_back(static_cast<int32_t>(head.get(1)));
    }
  } else {
    kinds.push_back(kind);
  }
  const bool kinds_ok = !kinds.empty() && std::all_of(kinds.begin(), kinds.end(), [](int32_t k) {
    return kind_operation(k).has_value();
  });
  const bool version_ok = version >= OLDEST_JOURNAL_VERSION && version <= JOURNAL_VERSION;
  if (type != ENTRY_START || !version_ok || !head.at_end() || !kinds_ok) return false;
  journal.valid = true;
  journal.version = version;
  // A start that names one kind alone (earlier releases) has file entries
  // without steps; a list of kinds, with steps.
  journal.plain_entries = kind != 0;
  journal.kinds = std::move(kinds);
  journal.kind = journal.kinds.size() == 1 ? journal.kinds.front() : 0;
  return true;
}

}  // namespace

bool decode_entries(std::string_view bytes, char drive, Journal& journal, int& entry, bool whole) {
  Reader in{bytes};
  // A failing entry: the end of a torn write when nothing follows it (and
  // the entries are not those of a whole append), damage otherwise.
  auto failed = [&](bool last, const std::string& why) {
    if (last && !whole) {
      journal.torn = true;
    } else {
      journal.damaged = true;
      journal.damage = "entry " + std::to_string(entry) + " " + why;
    }
  };
  while (in.pos < bytes.size()) {
    ++entry;
    const std::size_t start = in.pos;
    const auto magic = static_cast<uint32_t>(in.get(4));
    const auto length = static_cast<uint32_t>(in.get(4));
    if (!in.ok) {
      failed(true, "is cut short");
      break;
    }
    if (magic != ENTRY_MAGIC || length < 1 || length > MAX_ENTRY) {
      // Where an entry with a damaged head ends is unknown: it is the last
      // one only when no entry mark follows it.
      const std::string mark = [] {
        std::string m;
        put_u32(m, ENTRY_MAGIC);
        return m;
      }();
      failed(bytes.find(mark, start + 1) == std::string_view::npos, "has a damaged head");
      break;
    }
    const std::string_view payload = in.take(length);
    const auto sum = static_cast<uint32_t>(in.get(4));
    if (!in.ok) {
      failed(true, "is cut short");
      break;
    }
    if (sum != checksum(payload)) {
      failed(in.pos == bytes.size(), "fails its checksum");
      break;
    }
    // From here on the entry is as it was written: what it holds must
    // make sense, or the journal was made or changed by something else.
    const auto type = static_cast<uint8_t>(payload[0]);
    if (!journal.valid) {
      if (!decode_start(payload, journal)) {
        failed(false, "is no journal start of this program");
        break;
      }
    } else {
      std::string why = "is of an unknown type";
      // Entries of the form the start names.
      const uint8_t expected = journal.plain_entries ? ENTRY_FILE : ENTRY_STEPS_FILE;
      std::optional<JournalFile> file =
          type == expected ? decode_file(payload, drive, why, journal.kinds.size()) : std::nullopt;
      if (!file) {
        failed(false, why);
        break;
      }
      journal.files.push_back(std::move(*file));
    }
  }
  return !journal.damaged && !journal.torn;
}

}  // namespace kavlin
