// The host file services with faults scripted by rules, for the tests of
// what a run does when the device fails, tears a write or is slow, memory
// runs out or the process dies. Every call is counted; the calls asked for
// are logged in order, with their bytes where a test rebuilds the device.
#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "base/host_file_services.h"

namespace kavlin::testing {

// A process killed in a test: thrown where it dies, so that nothing after
// it runs.
struct Killed {};

// The calls a rule acts on and the log notes, as bits of a set (a
// WRITE_RECORDS is one call unless the files write record by record);
// MUTATING: every call that changes what is on the device.
namespace call {
using Set = uint32_t;
enum : Set {
  OPEN_TEXT_FILE = 1, WRITE_RECORD = 2, WRITE_RECORDS = 4, FLUSH_FILE = 8, CLOSE_FILE = 16, WRITE_SYNCED = 32,
  RENAME_SYNCED = 64, REMOVE_SYNCED = 128, READ_RECORD = 256, READ_WHOLE_FILE = 512,
  MUTATING = WRITE_RECORD | WRITE_RECORDS | FLUSH_FILE | WRITE_SYNCED | RENAME_SYNCED | REMOVE_SYNCED,
};
}  // namespace call

class FaultFiles : public HostFileServices {
 public:
  // Fail: the code returned, nothing done (a close is made all the same);
  // Tear: WRITE_RECORD writes the first half of the record, then fails;
  // OutOfMemory: throws std::bad_alloc; Kill: throws Killed; KillProcess:
  // SIGKILL; Slow: waits, then goes on.
  enum class Act { Fail, Tear, OutOfMemory, Kill, KillProcess, Slow };

  // The calls of `calls` on the file of one name (a tile's, JOURNAL) or
  // any, from any thread or only from another than the one that made the
  // files; the n-th of them (from 1) or every one from the n-th on; what
  // then. A new rule fails every such call with EIO.
  struct Rule {
    explicit Rule(call::Set calls) : calls(calls) {}
    Rule& nth(int n) { first = last = n; return *this; }  // 0: none
    Rule& from(int n) { first = n; last = INT_MAX; return *this; }
    Rule& on_file(std::string name) { file = std::move(name); return *this; }
    Rule& elsewhere() { other_thread = true; return *this; }
    Rule& fail(int32_t status = EIO) { act = Act::Fail; code = status; return *this; }
    Rule& tear(int32_t status = EIO) { act = Act::Tear; code = status; return *this; }
    Rule& out_of_memory() { act = Act::OutOfMemory; return *this; }
    Rule& kill() { act = Act::Kill; return *this; }
    Rule& kill_process() { act = Act::KillProcess; return *this; }
    Rule& slow(std::chrono::milliseconds wait) { act = Act::Slow; pause = wait; return *this; }
    std::string text() const {  // for a test's trace
      return "calls " + std::to_string(calls) + " #" + std::to_string(first) + " act " + std::to_string(int(act));
    }
    call::Set calls;
    std::string file;
    bool other_thread = false;
    int first = 1, last = INT_MAX;
    Act act = Act::Fail;
    int32_t code = EIO;
    std::chrono::milliseconds pause{0};
  };

  // A logged call, noted when it returned (a killed one is not).
  struct Logged {
    call::Set call = 0;
    std::string path;     // program path (a unit's, for the calls on one)
    std::string file;     // its last component
    std::string to;       // RENAME_SYNCED
    uint64_t offset = 0;  // of a write in its file (of an append: the size before)
    std::string bytes;    // a write's, when bytes are logged
    bool append = false;  // WRITE_SYNCED
    int32_t status = 0;
    bool elsewhere = false;  // made on another thread than the one that made the files
    std::vector<std::string> journaled;  // WRITE_SYNCED: the tiles the file names as a journal after it
  };

  // RECORD_BY_RECORD: WRITE_RECORDS goes through WRITE_RECORD a record at
  // a time, so that each write can fail. CONCURRENT: concurrent_units().
  static constexpr unsigned RECORD_BY_RECORD = 1, CONCURRENT = 2;
  explicit FaultFiles(DriveTable drives, unsigned options = 0, std::vector<Rule> rules = {});

  // Before the run: another rule; the calls of `calls` logged from now on
  // (with the bytes of the writes).
  void add(Rule rule) { rules_.emplace_back(std::move(rule), 0); }
  void log_calls(call::Set calls, bool with_bytes = false) { logged_ |= calls; log_bytes_ = log_bytes_ || with_bytes; }

  // After the run (no thread calls any more): how many calls of `calls`
  // were made, failed and killed ones too; the first fault (a call a rule
  // failed, tore or ran out of memory at): its file, and how many calls of
  // `calls` were made up to it (-1: none); the log, and the paths of its
  // calls of `calls`.
  int count(call::Set calls) const { return sum(counts_, calls); }
  const std::optional<std::string>& failed_file() const { return failed_file_; }
  int count_at_fault(call::Set calls) const { return failed_file_ ? sum(counts_at_fault_, calls) : -1; }
  const std::vector<Logged>& log() const { return log_; }
  std::vector<std::string> paths(call::Set calls) const;
  // The logged WRITE_SYNCED calls that append a journal (not the history).
  int journal_appends() const;

  bool concurrent_units() const override { return (options_ & CONCURRENT) != 0; }
  int32_t OPEN_TEXT_FILE(const std::string& path, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) override;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override;
  int32_t WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length, std::span<const uint8_t> buffer) override;
  int32_t FLUSH_FILE(int32_t unit) override;
  int32_t CLOSE_FILE(int32_t unit) override;
  int32_t WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) override;
  int32_t READ_WHOLE_FILE(const std::string& path, std::string& bytes,
                          std::size_t max_bytes = static_cast<std::size_t>(-1)) override;
  int32_t RENAME_SYNCED(const std::string& path, const std::string& to) override;
  int32_t REMOVE_SYNCED(const std::string& path) override;

 private:
  // The call counted, the rules asked (any wait and kill done), the host's
  // call made unless a rule failed it (`tear` tears), the call logged.
  int32_t pass(call::Set which, const std::string& path, const std::function<int32_t()>& host, Logged entry,
               std::span<const uint8_t> bytes = {}, const std::function<void()>& tear = {});
  // The unit's path noted once the open (an argument) has set `unit`.
  int32_t opened(const int32_t& unit, const std::string& path, int32_t status);
  std::string unit_path(int32_t unit);
  static int sum(const std::array<int, 10>& counts, call::Set calls);

  unsigned options_;
  std::thread::id maker_ = std::this_thread::get_id();
  std::mutex mutex_;  // guards what follows during a run
  std::vector<std::pair<Rule, int>> rules_;  // with the matching calls seen
  std::array<int, 10> counts_{};             // by call bit
  std::map<int32_t, std::string> paths_;     // of the open units
  std::optional<std::string> failed_file_;   // of the first fault
  std::array<int, 10> counts_at_fault_{};
  call::Set logged_ = 0;
  bool log_bytes_ = false;
  std::vector<Logged> log_;
};

}  // namespace kavlin::testing
