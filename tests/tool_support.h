// Helpers of the command-line program tests: running a program as a child
// process, and reading grid words out of tile files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kavlin::testing {

struct ProcessResult {
  int exit_status = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args` in the folder `cwd`. `env` changes the
// child's environment: a value sets the variable, nullopt removes it.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd,
                          const std::map<std::string, std::optional<std::string>>& env = {});

class TempDir;

// A child process started and not yet waited for.
struct StartedProgram {
  pid_t pid = -1;
  std::shared_ptr<TempDir> capture;  // its standard output and error
};
// run_program in two halves: start the child, then wait for it. A child
// that was killed has exit_status -1.
StartedProgram start_program(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& cwd,
                             const std::map<std::string, std::optional<std::string>>& env = {});
ProcessResult wait_program(StartedProgram& started);
// True while the child has not ended (it is not reaped).
bool program_running(const StartedProgram& started);

// A tile file's bytes with word access by record, row and column.
struct TileImage {
  std::string bytes;
  int32_t columns = 101;
  int32_t record_length = 20402;

  static TileImage load(const std::filesystem::path& path, int32_t LAT_DEG);
  uint16_t word(int32_t record, int32_t l, int32_t k) const;
  std::size_t word_count() const { return bytes.size() / 2; }
  uint16_t word_at_index(std::size_t index) const;
};

}  // namespace kavlin::testing
