// Helpers of the command-line program tests: running a program as a child
// process, and reading grid words out of tile files.
#pragma once

#include <cstdint>
#include <filesystem>
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
