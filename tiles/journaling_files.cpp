#include "tiles/journaling_files.h"

#include <sys/mman.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/kernels.h"

namespace kavlin {

namespace {


// A word of a record write that is not the run's operation on the word
// read: the journal could not undo it.
constexpr int32_t kNotTheRunsChange = EINVAL;
// A second name of a file already opened.
constexpr int32_t kSharedFile = EEXIST;

}  // namespace

bool find_changes(KindOperation op, std::span<const uint8_t> before, std::span<const uint8_t> after,
                  WordBitmap& changed) {
  if (before.size() != after.size() || after.size() % 2 != 0) return false;
  const auto flag = static_cast<uint16_t>(op.set ? op.mask : static_cast<uint16_t>(~op.mask));
  changed.assign(bitmap_bytes(static_cast<int32_t>(after.size() / 2)), 0);
  return kernels::find_changed_words(op.set, std::countr_zero(flag), before.data(), after.data(), after.size(),
                                     changed.data());
}

JournalingFiles::JournalingFiles(FileServices& inner, std::string journal_path, std::vector<int32_t> kinds,
                                 JournalingOptions options)
    : inner_(inner), journal_path_(std::move(journal_path)), kinds_(std::move(kinds)), options_(options) {
  kind_index_.fill(-1);
  for (std::size_t m = kinds_.size(); m-- > 0;) {
    if (kind_operation(kinds_[m])) kind_index_[static_cast<std::size_t>(kinds_[m])] = static_cast<int32_t>(m);
  }
}

int32_t JournalingFiles::RECORD_COUNT(int32_t unit, int64_t& records) { return inner_.RECORD_COUNT(unit, records); }
int32_t JournalingFiles::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  return inner_.FILE_IDENTITY(unit, identity);
}

int32_t JournalingFiles::OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_unit(path, record_length, unit, false);
}

int32_t JournalingFiles::OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_unit(path, record_length, unit, true);
}

int32_t JournalingFiles::open_unit(const std::string& path, int32_t record_length, int32_t& unit, bool read_only) {
  const int32_t status = read_only ? inner_.OPEN_RECORD_FILE_READ(path, record_length, unit)
                                   : inner_.OPEN_RECORD_FILE(path, record_length, unit);
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
  // A file whose records are held is written before it is read again (a
  // unit number handed out again was closed by the writer: collected first).
  bool held = in_writer(unit) != static_cast<std::size_t>(-1);
  for (const int32_t h : held_) held = held || units_.at(h).identity == identity;
  if (group_) {
    for (const UnitState* state : group_->states) held = held || state->identity == identity;
  }
  if (held) {
    if (const int32_t rc = write_held(); rc != 0) {
      inner_.CLOSE_FILE(unit);
      unit = 0;
      return rc;
    }
  }
  release(unit);
  UnitState& state = units_[unit];
  state.path = path;
  state.identity = identity;
  state.record_length = record_length;
  if (!spares_.empty()) {
    state.arena = std::move(spares_.back().arena);
    state.changes = std::move(spares_.back().changes);
    spares_.pop_back();
  }
  state.slots.assign(RECORDS_PER_TILE + 1, Slot::Empty);
  state.lent.assign(RECORDS_PER_TILE + 1, 0);
  state.reported_record = 0;
  state.changes.resize(RECORDS_PER_TILE + 1);  // read only where a slot says Written
  return 0;
}

void JournalingFiles::FreeArena::operator()(uint8_t* bytes) const { std::free(bytes); }

void JournalingFiles::make_arena(UnitState& state) {
  // Made once and reused from file to file (a later file of another record
  // length reuses the bytes when they suffice); never zero-filled. Aligned
  // to and rounded up to 2 MiB, so that the kernel may back an arena with
  // huge pages: a fresh arena then costs two page faults instead of some
  // seven hundred, a tenth of a small run's time.
  constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
  const std::size_t size = static_cast<std::size_t>(std::max(state.record_length, 0)) * RECORDS_PER_TILE;
  if (state.arena.size >= size) return;
  const std::size_t rounded = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  void* bytes = std::aligned_alloc(HUGE_PAGE, rounded);
  if (bytes == nullptr) throw std::bad_alloc();
  ::madvise(bytes, rounded, MADV_HUGEPAGE);  // a hint only: ordinary pages serve as well
  state.arena.bytes.reset(static_cast<uint8_t*>(bytes));
  state.arena.size = rounded;
}

void JournalingFiles::release(int32_t unit) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return;
  spares_.push_back({std::move(it->second.arena), std::move(it->second.changes)});
  units_.erase(it);
}

JournalingFiles::UnitState* JournalingFiles::record_unit(int32_t unit, int32_t record, std::size_t size) {
  const auto it = units_.find(unit);
  if (it == units_.end() || record < 1 || record > RECORDS_PER_TILE ||
      size != static_cast<std::size_t>(it->second.record_length)) {
    return nullptr;
  }
  make_arena(it->second);
  return &it->second;
}

std::span<uint8_t> JournalingFiles::record_buffer(int32_t unit, int32_t record, int32_t length) {
  // Checking what the engine reports needs the record as read.
  if (options_.check_reported_changes) return {};
  UnitState* state = record_unit(unit, record, static_cast<std::size_t>(std::max(length, 0)));
  if (state == nullptr || state->held || length % 2 != 0) return {};
  state->lent[record] = 1;
  return state->bytes(record);
}

void JournalingFiles::changed_words(int32_t index, int32_t unit, int32_t record, std::span<const uint8_t> changed) {
  const auto it = units_.find(unit);
  if (it == units_.end() || record < 1 || record > RECORDS_PER_TILE) return;
  if (index < 0 || static_cast<std::size_t>(index) >= kinds_.size()) return;
  UnitState& state = it->second;
  if (changed.size() != bitmap_bytes(state.record_length / 2)) return;
  state.reported_changes.assign(changed.begin(), changed.end());
  state.reported_record = record;
  state.reported_modification = index;
}

bool JournalingFiles::find_operations(std::span<const uint8_t> before, std::span<const uint8_t> after,
                                      std::vector<JournalStep>& steps) const {
  steps.clear();
  const auto words = static_cast<int32_t>(after.size() / 2);
  if (kinds_.size() == 1) {
    // One kind: the kernel that finds its changes.
    JournalStep step{0, {}};
    if (!find_changes(*kind_operation(kinds_.front()), before, after, step.changed)) return false;
    if (any_changed(step.changed)) steps.push_back(std::move(step));
    return true;
  }
  // Each changed flag bit by the kind that gives it its new value.
  std::array<WordBitmap, 11> by_kind;
  for (int32_t w = 0; w < words; ++w) {
    const uint16_t was = get_word(before, 2 * w);
    const uint16_t now = get_word(after, 2 * w);
    const auto diff = static_cast<uint16_t>(was ^ now);
    if (diff == 0) continue;
    if ((diff & ~FLAG_BITS) != 0) return false;
    for (int flag = 0; flag < 5; ++flag) {
      if ((diff >> flag & 1) == 0) continue;
      const auto kind = static_cast<std::size_t>(2 * flag + ((now >> flag & 1) != 0 ? 1 : 2));
      if (kind_index_[kind] < 0) return false;
      if (by_kind[kind].empty()) by_kind[kind].assign(bitmap_bytes(words), 0);
      by_kind[kind][static_cast<std::size_t>(w / 8)] |= static_cast<uint8_t>(1u << (w % 8));
    }
  }
  for (std::size_t kind = 1; kind <= 10; ++kind) {
    if (!by_kind[kind].empty()) steps.push_back({kind_index_[kind], std::move(by_kind[kind])});
  }
  std::sort(steps.begin(), steps.end(),
            [](const JournalStep& a, const JournalStep& b) { return a.modification < b.modification; });
  return true;
}

void JournalingFiles::join_operations(JournalRecord& change, std::vector<JournalStep>& more) const {
  const std::size_t size = change.changed.size();
  std::array<WordBitmap, 11> by_kind;
  auto words_of = [&](int32_t modification) -> WordBitmap& {
    WordBitmap& words = by_kind[static_cast<std::size_t>(kinds_[static_cast<std::size_t>(modification)])];
    if (words.empty()) words.assign(size, 0);
    return words;
  };
  if (change.steps.empty()) {
    words_of(0) = change.changed;
  } else {
    for (const JournalStep& step : change.steps) words_of(step.modification) = step.changed;
  }
  for (const JournalStep& step : more) {
    WordBitmap& to = words_of(step.modification);
    const auto opposite = static_cast<std::size_t>(opposite_kind(kinds_[static_cast<std::size_t>(step.modification)]));
    for_each_changed(step.changed, [&](int32_t w) {
      const auto byte = static_cast<std::size_t>(w / 8);
      const auto bit = static_cast<uint8_t>(1u << (w % 8));
      // A flag the write before changed the other way goes back: no change.
      if (!by_kind[opposite].empty() && (by_kind[opposite][byte] & bit) != 0) {
        by_kind[opposite][byte] = static_cast<uint8_t>(by_kind[opposite][byte] & ~bit);
      } else {
        to[byte] |= bit;
      }
    });
  }
  change.steps.clear();
  change.changed.assign(size, 0);
  for (std::size_t kind = 1; kind <= 10; ++kind) {
    if (by_kind[kind].empty() || !any_changed(by_kind[kind])) continue;
    for (std::size_t b = 0; b < size; ++b) change.changed[b] |= by_kind[kind][b];
    change.steps.push_back({kind_index_[kind], std::move(by_kind[kind])});
  }
  std::sort(change.steps.begin(), change.steps.end(),
            [](const JournalStep& a, const JournalStep& b) { return a.modification < b.modification; });
  if (kinds_.size() == 1) change.steps.clear();  // one kind: all of `changed` by it
}

int32_t JournalingFiles::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  UnitState* state = record_unit(unit, record, buffer.size());
  if (state == nullptr) return inner_.READ_RECORD(unit, record, buffer);
  const std::span<uint8_t> kept = state->bytes(record);
  // A record read before, or written and not yet on the file, reads as
  // kept; otherwise it is read into the arena and copied out (or read
  // right where the engine keeps it: the arena).
  if (state->slots[record] == Slot::Empty) {
    if (const int32_t status = inner_.READ_RECORD(unit, record, kept); status != 0) return status;
    state->slots[record] = Slot::Read;
  }
  if (buffer.data() != kept.data()) {
    std::memcpy(buffer.data(), kept.data(), kept.size());
    state->lent[record] = 0;
  }
  return 0;
}

int32_t JournalingFiles::WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  const auto it = units_.find(unit);
  if (it == units_.end()) return inner_.WRITE_RECORD(unit, record, buffer);
  UnitState& state = it->second;
  if (buffer.size() != static_cast<std::size_t>(state.record_length) || buffer.size() % 2 != 0) {
    return inner_.WRITE_RECORD(unit, record, buffer);  // refused there, as a bad size
  }
  make_arena(state);
  if (record < 1 || record > RECORDS_PER_TILE || kinds_.empty()) return kNotTheRunsChange;
  const std::span<uint8_t> kept = state.bytes(record);
  const bool in_place = buffer.data() == kept.data();
  const bool reported = state.reported_record == record;
  state.reported_record = 0;
  // A lent record comes back in place with its changes reported; anything
  // else means the arena no longer holds the record as read.
  const bool lent = state.lent[record] != 0;
  state.lent[record] = 0;
  if (lent && !(in_place && reported)) {
    state.slots[record] = Slot::Empty;
    return kNotTheRunsChange;
  }
  if (state.slots[record] == Slot::Empty) {
    // Written without being read first: what the file holds is the base.
    if (const int32_t rc = inner_.READ_RECORD(unit, record, kept); rc != 0) return rc;
    state.slots[record] = Slot::Read;
  }
  // The operations this write makes on what is kept (the record as read,
  // or as written before the flush): as the engine reports them, or found
  // by comparing. A write the journal could not undo leaves a record as
  // read to be read again.
  std::vector<JournalStep> more;
  if (reported && any_changed(state.reported_changes)) {
    const auto kind = static_cast<std::size_t>(kinds_[static_cast<std::size_t>(state.reported_modification)]);
    more.push_back({kind_index_[kind], state.reported_changes});
  }
  if (!in_place && (!reported || options_.check_reported_changes)) {
    std::vector<JournalStep> found;
    if (!find_operations(kept, buffer, found) || (reported && found != more)) {
      if (state.slots[record] == Slot::Read) state.slots[record] = Slot::Empty;
      return kNotTheRunsChange;
    }
    more = std::move(found);
  }
  JournalRecord& change = state.changes[record];
  if (state.slots[record] == Slot::Written) {
    join_operations(change, more);
  } else if (more.empty()) {
    return 0;  // the record as read: nothing to write
  } else if (more.size() == 1 && kinds_.size() == 1) {
    change.steps.clear();
    change.changed = std::move(more.front().changed);
  } else {
    change.changed.assign(bitmap_bytes(state.record_length / 2), 0);
    for (const JournalStep& step : more) {
      for (std::size_t n = 0; n < change.changed.size(); ++n) change.changed[n] |= step.changed[n];
    }
    change.steps = std::move(more);
  }
  if (!in_place) std::memcpy(kept.data(), buffer.data(), kept.size());
  change.hash = changed_words_hash(kept, change.changed);
  change.record = record;
  state.slots[record] = Slot::Written;
  state.any_written = true;
  return 0;
}

bool JournalingFiles::is_held(int32_t unit) const {
  const auto it = units_.find(unit);
  return it != units_.end() && it->second.held;
}

int32_t JournalingFiles::FLUSH_FILE(int32_t unit) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  // A group the writer has finished is collected: a failure stops the run
  // here, before another file is handed over.
  if (group_) {
    bool done = false;
    {
      const std::lock_guard<std::mutex> lock(writer_mutex_);
      done = group_->done;
    }
    if (done) {
      if (const int32_t rc = finish_group(); rc != 0) return rc;
    }
  }
  const auto it = units_.find(unit);
  if (it == units_.end()) return inner_.FLUSH_FILE(unit);
  // Nothing of the file changes: nothing to write or force to the device.
  if (!it->second.any_written) return 0;
  UnitState& state = it->second;
  // The file's entry: the records whose words change. A file whose words
  // do not change needs none.
  std::vector<const JournalRecord*> records;
  for (int32_t record = 1; record <= RECORDS_PER_TILE; ++record) {
    const JournalRecord& change = state.changes[record];
    if (state.slots[record] == Slot::Written && any_changed(change.changed)) records.push_back(&change);
  }
  state.has_entry = !records.empty();
  if (state.has_entry) {
    encode_file_entry(held_entries_, state.path, state.identity, state.record_length, records);
    changes_.tiles.push_back(last_component(state.path));
  }
  state.held = true;
  held_.push_back(unit);
  if (static_cast<int32_t>(held_.size()) < hold_files_) return 0;
  return hand_off();
}

int32_t JournalingFiles::append(const std::string& entries) {
  // One append, one unit: the journal tells where it begins and ends and
  // whether it is whole (the first one holds the start entry too).
  if (!journal_started_) run_id_ = new_journal_run_id();
  const std::string bytes = encode_journal_append(
      journal_started_ ? entries : encode_journal_start(kinds_) + entries,
      appends_++, run_id_);
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const bool append = journal_started_;
  // From the first attempt on the journal may exist, even cut short.
  journal_started_ = true;
  return inner_.WRITE_SYNCED(journal_path_, data, append);
}

int32_t JournalingFiles::CLOSE_FILE(int32_t unit) {
  if (is_held(unit) && in_writer(unit) == static_cast<std::size_t>(-1)) {
    // Closed once its records are written.
    units_.at(unit).close_asked = true;
    return 0;
  }
  int32_t status = 0;
  if (const std::size_t n = in_writer(unit); n != static_cast<std::size_t>(-1)) {
    {
      const std::lock_guard<std::mutex> lock(writer_mutex_);
      if (!group_->done) {
        // The writer closes it once its records are written.
        group_->close_asked[n] = 1;
        return 0;
      }
    }
    status = finish_group();
    if (units_.count(unit) == 0) return status;  // closed by the writer
  }
  release(unit);  // records kept back and never flushed are dropped
  const int32_t closed = inner_.CLOSE_FILE(unit);
  return status != 0 ? status : closed;
}


}  // namespace kavlin
