// The writing of held files: a group's entries appended to the journal
// and forced, then its records written, each file forced and closed, in
// order; on the caller's thread, or on a writer thread of the object's own
// while the caller computes the next files (write_behind()).
#include <cstring>
#include <system_error>

#include "tiles/journaling_files.h"

namespace kavlin {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

}  // namespace

JournalingFiles::~JournalingFiles() {
  discard_held();
  stop_writer();
}

std::size_t JournalingFiles::in_writer(int32_t unit) const {
  if (!group_) return kNone;
  for (std::size_t n = 0; n < group_->units.size(); ++n) {
    if (group_->units[n] == unit) return n;
  }
  return kNone;
}

// Hands the held files over as one group, once the group before is
// written: to the writer thread, or written here and now.
int32_t JournalingFiles::hand_off() {
  if (const int32_t rc = finish_group(); rc != 0) return rc;
  if (held_.empty()) return 0;
  auto group = std::make_unique<Group>();
  group->units.swap(held_);
  group->entries.swap(held_entries_);
  for (const int32_t unit : group->units) group->states.push_back(&units_.at(unit));
  group->close_asked.assign(group->units.size(), 0);
  group->closed.assign(group->units.size(), 0);
  // Closes asked for while the files were held go with them.
  for (std::size_t n = 0; n < group->units.size(); ++n) {
    group->close_asked[n] = group->states[n]->close_asked ? 1 : 0;
  }
  // From here on the journal may exist, even cut short.
  writing_started_ = true;
  group_ = std::move(group);
  // A writer thread that cannot be had (memory or processes run short)
  // leaves this group and the next to be written here.
  if (write_behind_ && !writer_.joinable()) {
    try {
      writer_ = std::thread([this] { writer_loop(); });
    } catch (const std::system_error&) {
      write_behind_ = false;
    }
  }
  if (!write_behind_) {
    try {
      write_group(*group_);
    } catch (...) {
      group_->error = std::current_exception();
    }
    group_->done = true;
    return finish_group();
  }
  const std::lock_guard<std::mutex> lock(writer_mutex_);
  pending_ = group_.get();
  writer_wake_.notify_all();
  return 0;
}

void JournalingFiles::writer_loop() {
  std::unique_lock<std::mutex> lock(writer_mutex_);
  for (;;) {
    writer_wake_.wait(lock, [this] { return pending_ != nullptr || stopping_; });
    if (pending_ == nullptr) return;
    Group& group = *pending_;
    lock.unlock();
    try {
      write_group(group);
    } catch (...) {
      group.error = std::current_exception();
    }
    lock.lock();
    group.done = true;
    pending_ = nullptr;
    writer_wake_.notify_all();
  }
}

void JournalingFiles::stop_writer() {
  {
    const std::lock_guard<std::mutex> lock(writer_mutex_);
    stopping_ = true;
    writer_wake_.notify_all();
  }
  if (writer_.joinable()) writer_.join();
}

// Writes one group. Touches only the group and its units' names, records
// and arenas, which nobody else touches until the group is collected.
void JournalingFiles::write_group(Group& group) {
  // The entries are on the device before any byte of their files is
  // written.
  if (!group.entries.empty()) {
    if (const int32_t rc = append(group.entries); rc != 0) {
      for (const UnitState* state : group.states) {
        if (state->has_entry) {
          group.failed_tile = last_component(state->path);
          break;
        }
      }
      group.status = rc;
      return;
    }
  }
  for (std::size_t n = 0; n < group.units.size(); ++n) {
    const int32_t unit = group.units[n];
    UnitState& state = *group.states[n];
    const std::string name = last_component(state.path);
    group.last_written = name;
    int32_t rc = 0;
    // Runs of consecutive records in one transfer each.
    for (int32_t record = 1; record <= RECORDS_PER_TILE && rc == 0; ++record) {
      if (state.slots[record] != Slot::Written) continue;
      int32_t last = record;
      while (last < RECORDS_PER_TILE && state.slots[last + 1] == Slot::Written) ++last;
      const std::span<uint8_t> bytes(state.bytes(record).data(),
                                     static_cast<std::size_t>(last - record + 1) * state.record_length);
      rc = inner_.WRITE_RECORDS(unit, record, state.record_length, bytes);
      record = last;
    }
    if (rc == 0) rc = inner_.FLUSH_FILE(unit);
    // Its grid points counted here, beside the transfers, rather than on
    // the engine's thread.
    if (rc == 0 && state.has_entry) {
      for (int32_t record = 1; record <= RECORDS_PER_TILE; ++record) {
        const JournalRecord& change = state.changes[record];
        if (state.slots[record] == Slot::Written && any_changed(change.changed)) {
          changes_.points.add(name, record, change.changed);
        }
      }
    }
    bool close = false;
    if (rc == 0) {
      const std::lock_guard<std::mutex> lock(writer_mutex_);
      close = group.close_asked[n] != 0;
      group.closed[n] = close ? 1 : 0;
    }
    if (close) {
      rc = inner_.CLOSE_FILE(unit);
      if (rc == 0) ++group.written;
    }
    if (rc != 0) {
      // The file's records are unknown from here on.
      group.failed_tile = name;
      group.status = rc;
      return;
    }
    if (!close) ++group.written;
  }
}

// Waits for the group handed over (if any) and collects it.
int32_t JournalingFiles::finish_group() {
  if (!group_) return 0;
  {
    std::unique_lock<std::mutex> lock(writer_mutex_);
    writer_wake_.wait(lock, [this] { return group_->done; });
  }
  std::unique_ptr<Group> group = std::move(group_);
  return collect(*group);
}

// Ends the holding of a written group's files: those written are kept
// open with their records as on the file, unless closed; the others are
// left with nothing kept, or closed when their close was asked for.
int32_t JournalingFiles::collect(Group& group) {
  // A writer that threw (a dying process) leaves everything as it was.
  if (group.error) std::rethrow_exception(group.error);
  if (!group.last_written.empty()) last_written_ = group.last_written;
  if (group.status != 0) failed_tile_ = group.failed_tile;
  int32_t status = group.status;
  for (std::size_t n = 0; n < group.units.size(); ++n) {
    const int32_t unit = group.units[n];
    UnitState& state = *group.states[n];
    const bool written = n < group.written;
    state.held = false;
    state.any_written = false;
    for (Slot& slot : state.slots) {
      if (slot == Slot::Written || !written) slot = written ? Slot::Read : Slot::Empty;
    }
    if (group.closed[n] != 0) {
      release(unit);
    } else if (group.close_asked[n] != 0) {
      // Asked for after the writer had passed the file.
      const std::string name = last_component(state.path);
      release(unit);
      const int32_t rc = inner_.CLOSE_FILE(unit);
      if (rc != 0 && written && status == 0) {
        status = rc;
        failed_tile_ = name;
      }
    }
  }
  return status;
}

int32_t JournalingFiles::write_held() {
  if (const int32_t rc = hand_off(); rc != 0) return rc;
  return finish_group();
}

void JournalingFiles::discard_held() {
  // The group handed over is written to its end (or its failure); the
  // files held after it are dropped unwritten: their entries were never
  // appended.
  if (group_) {
    try {
      finish_group();
    } catch (...) {
    }
  }
  for (const int32_t unit : held_) {
    UnitState& state = units_.at(unit);
    state.held = false;
    state.any_written = false;
    std::fill(state.slots.begin(), state.slots.end(), Slot::Empty);
    if (state.close_asked) {
      release(unit);
      inner_.CLOSE_FILE(unit);
    }
  }
  held_.clear();
  held_entries_.clear();
}

}  // namespace kavlin
