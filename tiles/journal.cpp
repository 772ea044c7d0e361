#include "tiles/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>

namespace kavlin {

namespace {

constexpr uint32_t ENTRY_MAGIC = 0x4C4E4A4B;  // "KJNL" little-endian
constexpr uint8_t ENTRY_START = 1;
constexpr uint8_t ENTRY_FILE = 2;
constexpr uint32_t FORMAT_VERSION = 1;
// Bounds a damaged length field; a file entry of a 3-second tile whose
// every word changes stays far below it.
constexpr uint32_t MAX_ENTRY = 64u << 20;

// A word of a record write that is not the run's operation on the word
// read: the journal could not undo it.
constexpr int32_t kNotTheRunsChange = EINVAL;
// A second name of a file already opened.
constexpr int32_t kSharedFile = EEXIST;

void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
void put_u16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void put_u32(std::string& out, uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}
void put_u64(std::string& out, uint64_t v) {
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
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

std::optional<JournalFile> decode_file(std::string_view payload) {
  Reader in{payload};
  in.get(1);  // the entry type
  JournalFile file;
  const auto path_length = static_cast<std::size_t>(in.get(2));
  file.path = std::string(in.take(path_length));
  file.identity.device = in.get(8);
  file.identity.inode = in.get(8);
  file.record_length = static_cast<int32_t>(in.get(4));
  const auto records = static_cast<uint32_t>(in.get(4));
  const int32_t words = file.record_length / 2;
  for (uint32_t n = 0; n < records && in.ok; ++n) {
    JournalRecord record;
    record.record = static_cast<int32_t>(in.get(4));
    const auto runs = static_cast<uint32_t>(in.get(4));
    if (record.record < 1 || record.record > RECORDS_PER_TILE || runs > static_cast<uint32_t>(words)) return {};
    int64_t total = 0;
    int32_t next_free = 0;
    for (uint32_t r = 0; r < runs && in.ok; ++r) {
      WordRun run;
      run.first = static_cast<int32_t>(in.get(4));
      run.count = static_cast<int32_t>(in.get(4));
      if (run.first < next_free || run.count < 1 || run.count > words - run.first) return {};
      next_free = run.first + run.count;
      total += run.count;
      record.runs.push_back(run);
    }
    for (int64_t v = 0; v < total && in.ok; ++v) record.values.push_back(static_cast<uint16_t>(in.get(2)));
    file.records.push_back(std::move(record));
  }
  if (!in.at_end() || file.record_length <= 0) return {};
  return file;
}

std::string last_component(const std::string& path) {
  const std::size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The word's value before the run, from its value after it.
inline uint16_t restore(KindOperation undo, uint16_t word) { return apply_kind(undo, word); }

}  // namespace

std::string journal_path(char drive) { return std::string(1, drive) + ":\\KAVLIN\\JOURNAL"; }
std::string undo_path(char drive) { return std::string(1, drive) + ":\\KAVLIN\\UNDO"; }
std::string lock_path(char drive) { return std::string(1, drive) + ":\\KAVLIN\\LOCK"; }

int32_t opposite_kind(int32_t kind) { return kind % 2 == 1 ? kind + 1 : kind - 1; }

std::string JournalFile::tile_name() const { return last_component(path); }

int64_t JournalFile::word_count() const {
  int64_t n = 0;
  for (const JournalRecord& r : records) n += static_cast<int64_t>(r.values.size());
  return n;
}

int64_t Journal::word_count() const {
  int64_t n = 0;
  for (const JournalFile& f : files) n += f.word_count();
  return n;
}

std::string encode_journal_start(int32_t kind) {
  std::string payload;
  put_u8(payload, ENTRY_START);
  put_u32(payload, FORMAT_VERSION);
  put_u32(payload, static_cast<uint32_t>(kind));
  return frame(payload);
}

std::string encode_journal_file(const JournalFile& file) {
  std::size_t size = 1 + 2 + file.path.size() + 8 + 8 + 4 + 4;
  for (const JournalRecord& record : file.records) size += 8 + 8 * record.runs.size() + 2 * record.values.size();
  std::string payload;
  payload.reserve(size);
  put_u8(payload, ENTRY_FILE);
  put_u16(payload, static_cast<uint16_t>(file.path.size()));
  payload += file.path;
  put_u64(payload, file.identity.device);
  put_u64(payload, file.identity.inode);
  put_u32(payload, static_cast<uint32_t>(file.record_length));
  put_u32(payload, static_cast<uint32_t>(file.records.size()));
  for (const JournalRecord& record : file.records) {
    put_u32(payload, static_cast<uint32_t>(record.record));
    put_u32(payload, static_cast<uint32_t>(record.runs.size()));
    for (const WordRun& run : record.runs) {
      put_u32(payload, static_cast<uint32_t>(run.first));
      put_u32(payload, static_cast<uint32_t>(run.count));
    }
    // The values in one piece, little-endian.
    const std::size_t at = payload.size();
    payload.resize(at + 2 * record.values.size());
    char* out = payload.data() + at;
    for (const uint16_t v : record.values) {
      *out++ = static_cast<char>(v & 0xFF);
      *out++ = static_cast<char>(v >> 8);
    }
  }
  return frame(payload);
}

Journal decode_journal(std::string_view bytes) {
  Journal journal;
  Reader in{bytes};
  while (in.ok && in.pos < bytes.size()) {
    const auto magic = static_cast<uint32_t>(in.get(4));
    const auto length = static_cast<uint32_t>(in.get(4));
    if (!in.ok || magic != ENTRY_MAGIC || length < 1 || length > MAX_ENTRY) break;
    const std::string_view payload = in.take(length);
    const auto sum = static_cast<uint32_t>(in.get(4));
    if (!in.ok || sum != checksum(payload)) break;
    const auto type = static_cast<uint8_t>(payload[0]);
    if (!journal.valid) {
      Reader start{payload};
      start.get(1);
      const auto version = static_cast<uint32_t>(start.get(4));
      const auto kind = static_cast<int32_t>(start.get(4));
      if (type != ENTRY_START || version != FORMAT_VERSION || !start.at_end() || !kind_operation(kind)) break;
      journal.valid = true;
      journal.kind = kind;
    } else {
      std::optional<JournalFile> file = type == ENTRY_FILE ? decode_file(payload) : std::nullopt;
      if (!file) break;
      journal.files.push_back(std::move(*file));
    }
  }
  // An empty file, or one cut inside its first entry, is torn as well.
  journal.torn = !in.ok || in.pos < bytes.size() || !journal.valid;
  return journal;
}

RollbackResult roll_back(FileServices& files, const Journal& journal) {
  RollbackResult result;
  const std::optional<KindOperation> undo = kind_operation(opposite_kind(journal.kind));
  if (!undo) return result;
  std::vector<uint8_t> buffer;
  for (const JournalFile& file : journal.files) {
    const std::string name = file.tile_name();
    auto fail = [&] {
      result.ok = false;
      result.failed_tile = name;
      return result;
    };
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) return fail();
    FileIdentity identity;
    // The inode alone: the device number of a drive may differ after a
    // restart of the machine.
    if (files.FILE_IDENTITY(unit, identity) != 0 || identity.inode != file.identity.inode) {
      files.CLOSE_FILE(unit);
      return fail();
    }
    buffer.resize(static_cast<std::size_t>(file.record_length));
    bool wrote = false;
    for (const JournalRecord& record : file.records) {
      if (files.READ_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      bool changed = false;
      for (const WordRun& run : record.runs) {
        for (int32_t w = run.first; w < run.first + run.count; ++w) {
          const uint16_t now = get_word(buffer, 2 * w);
          const uint16_t old = restore(*undo, now);
          if (old != now) {
            put_word(buffer, 2 * w, old);
            changed = true;
          }
        }
      }
      if (!changed) continue;
      if (files.WRITE_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      wrote = true;
    }
    if (wrote && files.FLUSH_FILE(unit) != 0) {
      files.CLOSE_FILE(unit);
      return fail();
    }
    if (files.CLOSE_FILE(unit) != 0 && wrote) return fail();
    if (wrote) ++result.tiles;
  }
  return result;
}

JournalingFiles::JournalingFiles(FileServices& inner, std::string journal_path, int32_t kind)
    : inner_(inner), journal_path_(std::move(journal_path)), kind_(kind) {}

JournalingFiles::~JournalingFiles() = default;

std::string JournalingFiles::DRIVE_LETTERS() { return inner_.DRIVE_LETTERS(); }
bool JournalingFiles::DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) {
  return inner_.DRIVE_SPACE(letter, total_bytes, free_bytes);
}
bool JournalingFiles::NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) {
  return inner_.NEXT_DIR_ENTRY(pattern, entry, handle);
}
void JournalingFiles::END_DIR_SEARCH(int32_t& handle) { inner_.END_DIR_SEARCH(handle); }
int32_t JournalingFiles::OPEN_TEXT_FILE(const std::string& path, int32_t& unit) {
  return inner_.OPEN_TEXT_FILE(path, unit);
}
int32_t JournalingFiles::OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) {
  return inner_.OPEN_HOST_TEXT_FILE(host_path, unit);
}
int32_t JournalingFiles::READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) {
  return inner_.READ_TEXT_LINE(unit, field, length);
}
int32_t JournalingFiles::READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) {
  return inner_.READ_TEXT_LINE_CUT(unit, field, length, cut_text);
}
int32_t JournalingFiles::RECORD_COUNT(int32_t unit, int64_t& records) { return inner_.RECORD_COUNT(unit, records); }
int32_t JournalingFiles::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  return inner_.FILE_IDENTITY(unit, identity);
}

int32_t JournalingFiles::OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) {
  const int32_t status = inner_.OPEN_RECORD_FILE(path, record_length, unit);
  if (status != 0) return status;
  FileIdentity identity;
  if (const int32_t rc = inner_.FILE_IDENTITY(unit, identity); rc != 0) {
    inner_.CLOSE_FILE(unit);
    unit = 0;
    return rc;
  }
  bool known = false;
  for (const auto& [seen, seen_path] : opened_) {
    if (seen == identity && seen_path != path) {
      if (!shared_) shared_ = std::make_pair(last_component(seen_path), last_component(path));
      inner_.CLOSE_FILE(unit);
      unit = 0;
      return kSharedFile;
    }
    known = known || seen_path == path;
  }
  if (!known) opened_.emplace_back(identity, path);
  UnitState& state = units_[unit];
  state = UnitState{};
  state.path = path;
  state.identity = identity;
  state.record_length = record_length;
  return 0;
}

int32_t JournalingFiles::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return inner_.READ_RECORD(unit, record, buffer);
  UnitState& state = it->second;
  // A record written and not yet on the file reads as written.
  if (const auto kept = state.kept.find(record); kept != state.kept.end() && kept->second.bytes.size() == buffer.size()) {
    std::copy(kept->second.bytes.begin(), kept->second.bytes.end(), buffer.begin());
    return 0;
  }
  const int32_t status = inner_.READ_RECORD(unit, record, buffer);
  if (status == 0) state.read[record].assign(buffer.begin(), buffer.end());
  return status;
}

int32_t JournalingFiles::WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return inner_.WRITE_RECORD(unit, record, buffer);
  UnitState& state = it->second;
  if (buffer.size() != static_cast<std::size_t>(state.record_length) || buffer.size() % 2 != 0) {
    return inner_.WRITE_RECORD(unit, record, buffer);  // refused there, as a bad size
  }
  const std::optional<KindOperation> op = kind_operation(kind_);
  if (!op) return kNotTheRunsChange;
  auto read = state.read.find(record);
  if (read == state.read.end()) {
    // Written without being read first: what the file holds is the base.
    std::vector<uint8_t> base(buffer.size());
    if (const int32_t rc = inner_.READ_RECORD(unit, record, base); rc != 0) return rc;
    read = state.read.emplace(record, std::move(base)).first;
  }
  const std::vector<uint8_t>& before = read->second;
  const KindOperation undo = *kind_operation(opposite_kind(kind_));
  Kept kept;
  const auto words = static_cast<int32_t>(buffer.size() / 2);
  kept.values.reserve(static_cast<std::size_t>(words));
  for (int32_t w = 0; w < words; ++w) {
    const uint16_t old_word = get_word(before, 2 * w);
    const uint16_t new_word = get_word(buffer, 2 * w);
    if (old_word == new_word) continue;
    if (apply_kind(*op, old_word) != new_word || apply_kind(undo, new_word) != old_word) return kNotTheRunsChange;
    if (!kept.runs.empty() && kept.runs.back().first + kept.runs.back().count == w) {
      ++kept.runs.back().count;
    } else {
      kept.runs.push_back({w, 1});
    }
    kept.values.push_back(new_word);
  }
  kept.bytes.assign(buffer.begin(), buffer.end());
  state.kept[record] = std::move(kept);
  return 0;
}

int32_t JournalingFiles::append(const JournalFile& entry) {
  std::string bytes = journal_started_ ? encode_journal_file(entry) : encode_journal_start(kind_) + encode_journal_file(entry);
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const bool append = journal_started_;
  // From the first attempt on the journal may exist, even cut short.
  journal_started_ = true;
  return inner_.WRITE_SYNCED(journal_path_, data, append);
}

int32_t JournalingFiles::FLUSH_FILE(int32_t unit) {
  const auto it = units_.find(unit);
  if (it == units_.end() || it->second.kept.empty()) return inner_.FLUSH_FILE(unit);
  UnitState& state = it->second;
  JournalFile entry;
  entry.path = state.path;
  entry.identity = state.identity;
  entry.record_length = state.record_length;
  for (auto& [record, kept] : state.kept) {
    if (kept.runs.empty()) continue;
    entry.records.push_back({record, std::move(kept.runs), std::move(kept.values)});
  }
  writing_started_ = true;
  last_written_ = entry.tile_name();
  // The journal entry is on the device before any byte of the file is
  // written; a file whose words do not change needs none.
  if (!entry.records.empty()) {
    if (const int32_t rc = append(entry); rc != 0) {
      state.kept.clear();
      return rc;
    }
  }
  std::map<int32_t, Kept> kept = std::move(state.kept);
  state.kept.clear();
  state.read.clear();
  for (const auto& [record, k] : kept) {
    if (const int32_t rc = inner_.WRITE_RECORD(unit, record, k.bytes); rc != 0) return rc;
  }
  return inner_.FLUSH_FILE(unit);
}

int32_t JournalingFiles::CLOSE_FILE(int32_t unit) {
  units_.erase(unit);  // records kept back and never flushed are dropped
  return inner_.CLOSE_FILE(unit);
}

void JournalingFiles::CLOSE_ALL_FILES() {
  units_.clear();
  inner_.CLOSE_ALL_FILES();
}

}  // namespace kavlin
