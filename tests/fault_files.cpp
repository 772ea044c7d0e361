#include "tests/fault_files.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

#include "tiles/journal_format.h"

namespace kavlin::testing {

FaultFiles::FaultFiles(DriveTable drives, unsigned options, std::vector<Rule> rules)
    : HostFileServices(std::move(drives)), options_(options) {
  for (Rule& rule : rules) add(std::move(rule));
}

int FaultFiles::sum(const std::array<int, 10>& counts, call::Set calls) {
  int n = 0;
  for (std::size_t bit = 0; bit < counts.size(); ++bit) n += (calls >> bit & 1u) != 0 ? counts[bit] : 0;
  return n;
}

std::vector<std::string> FaultFiles::paths(call::Set calls) const {
  std::vector<std::string> out;
  for (const Logged& entry : log_) {
    if ((entry.call & calls) != 0) out.push_back(entry.path);
  }
  return out;
}

int FaultFiles::journal_appends() const {
  int n = 0;
  for (const std::string& path : paths(call::WRITE_SYNCED)) n += path.ends_with("\\JOURNAL") ? 1 : 0;
  return n;
}

int32_t FaultFiles::pass(call::Set which, const std::string& path, const std::function<int32_t()>& host,
                         Logged entry, std::span<const uint8_t> bytes, const std::function<void()>& tear) {
  entry.call = which;
  entry.path = path;
  entry.file = last_component(path);
  entry.elsewhere = std::this_thread::get_id() != maker_;
  std::optional<Act> act;
  int32_t code = 0;
  std::chrono::milliseconds pause{0};
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[static_cast<std::size_t>(std::countr_zero(which))];
    // Every matching rule counts the call; waits add up, the first other
    // act is done.
    for (auto& [rule, seen] : rules_) {
      if ((rule.calls & which) == 0 || (!rule.file.empty() && rule.file != entry.file) ||
          (rule.other_thread && !entry.elsewhere) || ++seen < rule.first || seen > rule.last) {
        continue;
      }
      if (rule.act == Act::Slow) {
        pause += rule.pause;
      } else if (!act) {
        act = rule.act, code = rule.code;
        if (!failed_file_ && (act == Act::Fail || act == Act::Tear || act == Act::OutOfMemory)) {
          failed_file_ = entry.file;
          counts_at_fault_ = counts_;
        }
      }
    }
  }
  std::this_thread::sleep_for(pause);
  if (act == Act::OutOfMemory) throw std::bad_alloc();
  if (act == Act::Kill) throw Killed{};
  if (act == Act::KillProcess) ::kill(::getpid(), SIGKILL);
  if (act == Act::Tear) tear();
  entry.status = act ? code : host();

  const std::lock_guard<std::mutex> lock(mutex_);
  if ((logged_ & which) == 0) return entry.status;
  if (log_bytes_) entry.bytes.assign(bytes.begin(), bytes.end());
  std::string all;
  if (which == call::WRITE_SYNCED && entry.status == 0 && HostFileServices::READ_WHOLE_FILE(path, all) == 0) {
    for (const JournalFile& f : decode_journal(all).files) entry.journaled.push_back(f.tile_name());
  }
  log_.push_back(std::move(entry));
  return log_.back().status;
}

std::string FaultFiles::unit_path(int32_t unit) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = paths_.find(unit);
  return it == paths_.end() ? std::string() : it->second;
}

int32_t FaultFiles::opened(const int32_t& unit, const std::string& path, int32_t status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (status == 0) paths_[unit] = path;
  return status;
}

int32_t FaultFiles::OPEN_TEXT_FILE(const std::string& path, int32_t& unit) {
  return pass(call::OPEN_TEXT_FILE, path, [&] { return HostFileServices::OPEN_TEXT_FILE(path, unit); }, {});
}

int32_t FaultFiles::OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) {
  return opened(unit, path, HostFileServices::OPEN_RECORD_FILE(path, record_length, unit));
}

int32_t FaultFiles::OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) {
  return opened(unit, path, HostFileServices::OPEN_RECORD_FILE_READ(path, record_length, unit));
}

int32_t FaultFiles::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  return pass(call::READ_RECORD, unit_path(unit), [&] { return HostFileServices::READ_RECORD(unit, record, buffer); },
              {});
}

int32_t FaultFiles::WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  Logged at;
  at.offset = static_cast<uint64_t>(record - 1) * buffer.size();
  const auto tear = [&] {
    std::vector<uint8_t> torn(buffer.size());
    if (HostFileServices::READ_RECORD(unit, record, torn) != 0) throw std::logic_error("read for a torn write");
    std::copy_n(buffer.begin(), buffer.size() / 2, torn.begin());
    HostFileServices::WRITE_RECORD(unit, record, torn);
  };
  return pass(
      call::WRITE_RECORD, unit_path(unit), [&] { return HostFileServices::WRITE_RECORD(unit, record, buffer); }, at,
      buffer, tear);
}

int32_t FaultFiles::WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length,
                                  std::span<const uint8_t> buffer) {
  if ((options_ & RECORD_BY_RECORD) != 0) return RecordFiles::WRITE_RECORDS(unit, first, record_length, buffer);
  Logged at;
  at.offset = static_cast<uint64_t>(first - 1) * static_cast<uint64_t>(record_length);
  return pass(
      call::WRITE_RECORDS, unit_path(unit),
      [&] { return HostFileServices::WRITE_RECORDS(unit, first, record_length, buffer); }, at, buffer);
}

int32_t FaultFiles::FLUSH_FILE(int32_t unit) {
  return pass(call::FLUSH_FILE, unit_path(unit), [&] { return HostFileServices::FLUSH_FILE(unit); }, {});
}

int32_t FaultFiles::CLOSE_FILE(int32_t unit) {
  const std::string path = unit_path(unit);
  // A close that fails has let the unit go all the same.
  const int32_t closed = HostFileServices::CLOSE_FILE(unit);
  return pass(call::CLOSE_FILE, path, [&] { return closed; }, {});
}

int32_t FaultFiles::WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) {
  Logged at;
  at.append = append;
  std::string had;  // an append goes after it
  if (append && HostFileServices::READ_WHOLE_FILE(path, had) == 0) at.offset = had.size();
  return pass(
      call::WRITE_SYNCED, path, [&] { return HostFileServices::WRITE_SYNCED(path, bytes, append); }, at, bytes);
}

int32_t FaultFiles::READ_WHOLE_FILE(const std::string& path, std::string& bytes, std::size_t max_bytes) {
  return pass(call::READ_WHOLE_FILE, path, [&] { return HostFileServices::READ_WHOLE_FILE(path, bytes, max_bytes); },
              {});
}

int32_t FaultFiles::RENAME_SYNCED(const std::string& path, const std::string& to) {
  Logged at;
  at.to = to;
  return pass(call::RENAME_SYNCED, path, [&] { return HostFileServices::RENAME_SYNCED(path, to); }, at);
}

int32_t FaultFiles::REMOVE_SYNCED(const std::string& path) {
  return pass(call::REMOVE_SYNCED, path, [&] { return HostFileServices::REMOVE_SYNCED(path); }, {});
}

}  // namespace kavlin::testing
