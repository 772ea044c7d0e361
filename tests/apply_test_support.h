// Shared pieces of the kavlin-apply tests: the test with its drives and
// working folders, the usage hint, exact text of a double, and the report
// of a run that is done.
#pragma once

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tools/demo_db.h"

namespace kavlin::testing {

inline const std::string TRY_HELP = "Try 'kavlin-apply --help' for more information.\n";

// Shortest text that reads back as exactly this double.
inline std::string exact(double value) {
  char buffer[64];
  const auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, ptr);
}

class ApplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(work());
    std::filesystem::create_directories(drives());
    write_file(work() / "DRIVE.DAT", "D\n");
  }

  std::filesystem::path drives() const { return dir_ / "drives"; }
  std::filesystem::path work() const { return dir_ / "work"; }
  std::filesystem::path root(char letter = 'd') const { return drives() / (std::string(1, letter) + ":"); }
  std::filesystem::path tile(int32_t lon, int32_t lat, char letter = 'd') const {
    return kavlin::demo::tile_host_path(root(letter), lon, lat);
  }

  void make_demo(char letter = 'd') { kavlin::demo::write_demo_database(root(letter)); }
  void make_tiles(const std::vector<kavlin::demo::TileId>& tiles, char letter = 'd') {
    kavlin::demo::write_database(root(letter), tiles, kavlin::demo::demo_word);
  }

  ProcessResult apply(const std::vector<std::string>& args) {
    return run_program(KAVLIN_APPLY_BIN, args, work(), {{"KAVLIN_DRIVES", drives().string()}});
  }

  // Every file below the drives folder with its bytes, but the
  // database's own lock and undo record (the journal is compared: no run
  // may leave one behind).
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(drives())) {
      if (kavlin::testing::is_run_bookkeeping(e.path())) continue;
      if (e.is_regular_file()) files[e.path().string()] = read_file(e.path());
    }
    return files;
  }

  TempDir dir_;
};

inline std::string done_output(int64_t tiles, int64_t words) {
  return "Info: All modifications are done!\ntiles rewritten: " + std::to_string(tiles) +
         "\ngrid words changed: " + std::to_string(words) + "\n";
}

}  // namespace kavlin::testing
