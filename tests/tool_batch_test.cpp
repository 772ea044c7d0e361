// kavlin-apply --batch as a child process: every line checked before
// anything is written, a refused line named by its number.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tools/demo_db.h"

namespace fs = std::filesystem;
using kavlin::testing::ProcessResult;
using kavlin::testing::read_file;
using kavlin::testing::run_program;
using kavlin::testing::TempDir;
using kavlin::testing::write_file;

namespace {

class BatchToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "work" / "areas");
    kavlin::demo::write_demo_database(dir_ / "drives" / "d:");
    write_file(dir_ / "work" / "areas" / "lake.txt", "5.6 49.6\n5.8 49.6\n5.7 49.8\n5.6 49.6\n");
    write_file(dir_ / "work" / "areas" / "bad.txt", "5.6 49.6\nnot a vertex\n");
  }
  ProcessResult apply(const std::vector<std::string>& args) {
    return run_program(KAVLIN_APPLY_BIN, args, dir_ / "work", {{"KAVLIN_DRIVES", (dir_ / "drives").string()}});
  }
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "drives")) {
      if (kavlin::testing::is_run_bookkeeping(e.path())) continue;
      if (e.is_regular_file()) files[e.path().string()] = read_file(e.path());
    }
    return files;
  }
  bool undo_record() const { return fs::exists(dir_ / "drives" / "d:" / "KAVLIN" / "UNDO"); }
  TempDir dir_;
};

// Each refusal, on line 3 behind two lines that would change words: the
// line is named, nothing is written, no undo record is made.
TEST_F(BatchToolTest, ARefusedLineIsNamedAndNothingIsWritten) {
  struct Case {
    std::string line;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"--set town --rect 6.5 49.5 5.5 50.5", 1, "line 3 of areas/b.txt (--set town --rect 6.5 49.5 5.5 50.5) was refused"},
      {"--set town --rect 0.5 49.9 7.5 40.1", 1, "line 3 of areas/b.txt"},
      {"--set town --point 5.5 -0.5", 1, "line 3 of areas/b.txt"},
      {"--set town --polygon missing.txt", 1, "line 3 of areas/b.txt"},
      {"--set town --polygon bad.txt", 1, "line 3 of areas/b.txt"},
      {"--set town --point 8.5 49.5", 3, "Error opening file E008N49.33M!\nkavlin-apply: line 3 of areas/b.txt"},
      {"--set town --frob 1", 2, "areas/b.txt, line 3: unknown option '--frob'"},
      {"--drive D --set town --point 5.5 49.5", 2, "areas/b.txt, line 3: --drive belongs on the command line"},
      {"--set town", 2, "areas/b.txt, line 3: no area given"},
      {"--set town --polygon \"lake.txt", 2, "areas/b.txt, line 3: a quote is not closed"},
  };
  const auto before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    write_file(dir_ / "work" / "areas" / "b.txt",
               "--set town --polygon lake.txt\n  # a comment\n" + c.line + "\n--clear sea --point 5.5 49.5\n");
    for (const bool dry_run : {false, true}) {
      std::vector<std::string> args = {"--drive", "D", "--batch", "areas/b.txt"};
      if (dry_run) args.insert(args.begin(), "--dry-run");
      const ProcessResult r = apply(args);
      EXPECT_EQ(r.exit_status, c.status) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(snapshot() == before);
      EXPECT_FALSE(undo_record());
    }
  }
}

// Polygon paths relative to the batch file's folder; a dry run reports the
// totals and each line's grid points; the run is one undo.
TEST_F(BatchToolTest, LinesRunAsOneWithTheirPathsFromTheBatchFolder) {
  write_file(dir_ / "work" / "areas" / "b.txt",
             "--set town --polygon lake.txt\n\n--clear town --point 6 50   # four tiles\n"
             "--kind 3 --rect 5.75 49.75 6.25 49.25\n");
  const auto before = snapshot();
  const ProcessResult dry = apply({"--drive", "D", "--dry-run", "--batch", "areas/b.txt"});
  ASSERT_EQ(dry.exit_status, 0) << dry.err;
  // Listed tiles of any line in order of first listing; a tile only the
  // corner point's copies reach is a neighbour.
  EXPECT_NE(dry.out.find("Dry run: no file was changed.\ntiles that would be rewritten: E005N49.33M E006N50.63M "
                         "E006N49.33M\nneighbour tiles that would receive copies: E005N50.63M\n"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("\nline 3: grid points inside: 1\nline 4: grid points inside: "), std::string::npos)
      << dry.out;
  EXPECT_TRUE(snapshot() == before);

  const ProcessResult run = apply({"--drive", "D", "--batch", "areas/b.txt"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("lines applied: 3\n"), std::string::npos) << run.out;
  EXPECT_TRUE(undo_record());
  EXPECT_FALSE(snapshot() == before);
  const ProcessResult undo = apply({"--drive", "D", "--undo"});
  ASSERT_EQ(undo.exit_status, 0) << undo.err;
  EXPECT_TRUE(snapshot() == before);
}

}  // namespace
