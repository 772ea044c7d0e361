// kavlin-apply --check as a child process: what it prints, its exit
// statuses, and that it writes no tile.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli/apply_cli.h"
#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/tile_files.h"
#include "tools/demo_db.h"

namespace fs = std::filesystem;
using kavlin::testing::ProcessResult;
using kavlin::testing::read_file;
using kavlin::testing::run_program;
using kavlin::testing::TempDir;
using kavlin::testing::write_file;

namespace {

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(work());
    fs::create_directories(root() / "KAVLIN");
  }
  fs::path work() const { return dir_ / "work"; }
  fs::path root() const { return dir_ / "drives" / "d:"; }
  fs::path tile(int32_t lon, int32_t lat) const { return kavlin::demo::tile_host_path(root(), lon, lat); }

  // The demo database: E005/E006 x N49/N50, every copy of a point alike.
  void make_demo() { kavlin::demo::write_demo_database(root()); }

  ProcessResult check(std::vector<std::string> args) {
    args.insert(args.begin(), {"--drive", "D", "--check"});
    return run_program(KAVLIN_APPLY_BIN, args, work(), {{"KAVLIN_DRIVES", (dir_ / "drives").string()}});
  }

  std::map<std::string, std::string> tiles() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root())) {
      if (e.is_regular_file() && !kavlin::testing::is_run_bookkeeping(e.path())) {
        files[e.path().string()] = read_file(e.path());
      }
    }
    return files;
  }

  TempDir dir_;
};

// The output up to the bits 5 to 15 line, which tells the demo's own
// values.
std::string without_high_bits(const std::string& out) {
  const auto at = out.find("bits 5 to 15 (not judged): ");
  return at == std::string::npos ? out : out.substr(0, at);
}

TEST_F(CheckTest, SoundDatabasePassesAndNothingIsWritten) {
  make_demo();
  const auto before = tiles();
  const ProcessResult r = check({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(without_high_bits(r.out),
            "Check: no fault found.\n"
            "tiles checked: 4\n"
            "tile files of a wrong size: 0\n"
            "tile files that could not be read: 0\n"
            "stored grid words checked: 4421376\n"
            "copies compared with another copy of their point: 96575\n"
            "copies that differ: 0\n"
            "tiles with faults: 0\n");
  EXPECT_NE(r.out.find("\nbits 5 to 15 (not judged): "), std::string::npos);
  EXPECT_EQ(tiles(), before);
}

TEST_F(CheckTest, PlantedDisagreementIsReportedWithStatusFour) {
  make_demo();
  // The word at row 50 of the west edge of E006N49, record 13, and its copy
  // in E005N49, record 24, column 101.
  std::string bytes = read_file(tile(6, 49));
  const int32_t word = 49 * kavlin::COLUMNS_3S;
  const uint16_t was = kavlin::testing::word_at(bytes, kavlin::RECORD_LENGTH_3S, 13, word);
  kavlin::testing::set_word_at(bytes, kavlin::RECORD_LENGTH_3S, 13, word, 0xBEEF);
  write_file(tile(6, 49), bytes);
  char old_word[8];
  std::snprintf(old_word, sizeof old_word, "0x%04X", was);

  const ProcessResult r = check({});
  EXPECT_EQ(r.exit_status, kavlin::cli::EXIT_CHECK_FAULTS);
  EXPECT_EQ(r.exit_status, 4);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(without_high_bits(r.out),
            "E006N49.33M: grid words that differ from another copy of their point: 1\n"
            "  record 13 row 50 column 1 holds 0xBEEF, E005N49.33M record 24 row 50 column 101 holds " +
                std::string(old_word) +
                "\n"
                "Check: faults found.\n"
                "tiles checked: 4\n"
                "tile files of a wrong size: 0\n"
                "tile files that could not be read: 0\n"
                "stored grid words checked: 4421376\n"
                "copies compared with another copy of their point: 96575\n"
                "copies that differ: 1\n"
                "tiles with faults: 1\n");
}

TEST_F(CheckTest, NothingToCheckAndFileErrorsAreStatusThree) {
  const ProcessResult empty = check({});
  EXPECT_EQ(empty.exit_status, 3);
  EXPECT_EQ(empty.err, "kavlin-apply: no tile file in D:\\KAVLIN\\: nothing was checked\n");
  EXPECT_EQ(empty.out.substr(0, empty.out.find('\n')), "Check: no tile file was checked.");

  make_demo();
  const ProcessResult missing = check({"--point", "7.5", "49.5"});
  EXPECT_EQ(missing.exit_status, 3);
  EXPECT_EQ(missing.err, "Error: Error opening file E007N49.33M!\n");
  EXPECT_EQ(missing.out.substr(0, missing.out.find('\n')), "Check: not complete: tile files could not be read.");
}

TEST_F(CheckTest, AreasAreCheckedAsForAModification) {
  make_demo();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--rect", "0.5", "55.5", "5.5", "49.5"}, "Error: Area is too big! Modification is not possible!\n"},
      {{"--point", "5.5", "-0.5"}, "Error: Area reaches south of the equator! Modification is not possible!\n"},
      {{"--rect", "5.2", "49.2", "5.2", "49.1"},
       "Error in co-ordinates: Lower right corner is not east of upper left corner!\n"},
  };
  for (const auto& [area, message] : cases) {
    const ProcessResult r = check(area);
    EXPECT_EQ(r.exit_status, 1) << message;
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.out, "");
  }
}

TEST(CheckParse, CheckTakesOnlyTheDriveAndAnArea) {
  using kavlin::cli::parse_arguments;
  using kavlin::cli::ParseResult;
  const ParseResult whole = parse_arguments({"--check", "--drive", "E"});
  EXPECT_EQ(whole.action, ParseResult::Action::Run);
  EXPECT_TRUE(whole.request.check);
  EXPECT_EQ(whole.request.area, kavlin::cli::AreaKind::None);
  const ParseResult area = parse_arguments({"--point", "5", "49", "--check"});
  EXPECT_EQ(area.action, ParseResult::Action::Run);
  EXPECT_EQ(area.request.area, kavlin::cli::AreaKind::Point);

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {{"--check", "--set", "trees"}, "--check takes no kind"},
      {{"--check", "--kind", "1", "--point", "5", "49"}, "--check takes no kind"},
      {{"--check", "--dry-run"}, "--check takes only --drive and an area"},
      {{"--check", "--undo"}, "--check takes only --drive and an area"},
      {{"--check", "--batch", "b.txt"}, "--check takes only --drive and an area"},
      {{"--check", "--recover"}, "--recover takes only --drive"},
      {{"--discard-journal", "--check"}, "--discard-journal takes only --drive"},
      {{"--check", "--repair"}, "unknown option '--repair'"},
  };
  for (const auto& [args, error] : refused) {
    const ParseResult r = parse_arguments(args);
    EXPECT_EQ(r.action, ParseResult::Action::Usage) << error;
    EXPECT_EQ(r.error, error);
  }
}

}  // namespace
