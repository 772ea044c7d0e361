// kavlin-apply --batch as a child process: every line checked before
// anything is written, a refused line named by its number.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine_test_db.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"
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
  std::map<std::string, std::string> snapshot() const { return snapshot_of(""); }
  // The files of the drives folder, or of one drive's folder in it.
  std::map<std::string, std::string> snapshot_of(const std::string& drive) const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "drives" / drive)) {
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

// Areas of one areas file, named by the lines (one area twice, one
// unused), change the words their own polygon files change; a name the
// file lacks refuses its line.
TEST_F(BatchToolTest, AreasOfOneAreasFileAreTheirPolygonFiles) {
  const std::string lake = "5.6 49.6\n5.8 49.6\n5.7 49.8\n5.6 49.6\n";
  const std::string box = "5.75 49.75\n6.25 49.75\n6.25 49.25\n5.75 49.25\nRING\n5.9 49.6\n6 49.6\n6 49.5\n";
  write_file(dir_ / "work" / "areas" / "layer.txt", "AREA lake\n" + lake + "AREA unused\n1 2\nAREA box\n" + box);
  write_file(dir_ / "work" / "areas" / "box.txt", box);
  write_file(dir_ / "work" / "areas" / "by_name.txt",
             "--set town --area layer.txt lake\n--kind 3 --area layer.txt box\n--clear sea --area layer.txt lake\n");
  write_file(dir_ / "work" / "areas" / "by_file.txt",
             "--set town --polygon lake.txt\n--kind 3 --polygon box.txt\n--clear sea --polygon lake.txt\n");
  const auto before = snapshot();
  ASSERT_EQ(apply({"--drive", "D", "--batch", "areas/by_name.txt"}).exit_status, 0);
  const auto by_name = snapshot();
  ASSERT_EQ(apply({"--drive", "D", "--undo"}).exit_status, 0);
  ASSERT_EQ(apply({"--drive", "D", "--batch", "areas/by_file.txt"}).exit_status, 0);
  EXPECT_TRUE(snapshot() == by_name);
  EXPECT_FALSE(by_name == before);

  write_file(dir_ / "work" / "areas" / "by_name.txt", "--set town --area layer.txt lake\n--set town --area layer.txt nope\n");
  const ProcessResult refused = apply({"--drive", "D", "--batch", "areas/by_name.txt"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_NE(refused.err.find("Error: There is no area nope in "), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("line 2 of areas/by_name.txt"), std::string::npos) << refused.err;
}

// Memory, with the child's address space limited (prlimit --as): a batch
// of 10000 points runs within 64 MB and its dry run within 32 MB (the
// engine keeps no row evaluator or copies of a line it is not at work on),
// a dry run over two lines of 36 tiles (91 files) within 64 MB; with too
// little memory (for the run, or for the vertex tables of its lines) it
// says so, ends with status 5 and changes nothing.
TEST_F(BatchToolTest, MemoryBoundsAndTheAnswerWhenMemoryRunsOut) {
  std::ostringstream points;
  points.precision(17);
  for (int n = 0; n < 10000; ++n) {
    points << (n % 2 == 0 ? "--set" : "--clear") << " town --point " << 5 + (12 + n * 7 % 2376) / 1200.0 << " "
           << 49 + (12 + n * 13 % 1176) / 1200.0 << "\n";
  }
  write_file(dir_ / "work" / "points.txt", points.str());
  // Drive E: the 72 tiles of E010..E021 x N40..N45 and the neighbours west
  // and south of them, zero-filled (sparse) files.
  const fs::path drive_e = dir_ / "drives" / "e:" / "KAVLIN";
  for (int32_t lon = 9; lon <= 21; ++lon) {
    for (int32_t lat = 39; lat <= 45; ++lat) {
      const std::string name = kavlin::TILE_NAME(lon, lat);
      fs::create_directories(drive_e / name.substr(0, 4));
      write_file(drive_e / name.substr(0, 4) / name, "");
      fs::resize_file(drive_e / name.substr(0, 4) / name, kavlin::RECORDS_PER_TILE * kavlin::RECORD_LENGTH_3S);
    }
  }
  write_file(dir_ / "work" / "tiles.txt",
             "--set sea --rect 10.0 45.99 15.99 40.0\n--set sea --rect 16.0 45.99 21.99 40.0\n");
  // 100 lines of a polygon of 25000 vertices: some 40 MB of vertex tables.
  std::ostringstream ring;
  ring.precision(17);
  for (int n = 0; n < kavlin::MAX_VERTICES; ++n) {
    ring << 5.5 + 0.3 * std::cos(n * 2 * M_PI / kavlin::MAX_VERTICES) << " "
         << 49.5 + 0.3 * std::sin(n * 2 * M_PI / kavlin::MAX_VERTICES) << "\n";
  }
  write_file(dir_ / "work" / "ring.txt", ring.str());
  std::string rings;
  for (int n = 0; n < 100; ++n) rings += "--set trees --polygon ring.txt\n";
  write_file(dir_ / "work" / "rings.txt", rings);
  const std::string no_memory = std::string("Error: ") + kavlin::OUT_OF_MEMORY_TEXT + "\n";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int megabytes;
    int status;
    std::string says;  // on standard output, or all of standard error
  };
  const Case cases[] = {
      {"points, dry run", {"--drive", "D", "--dry-run", "--batch", "points.txt"}, 32, 0, "Dry run: no file was changed."},
      {"tiles, dry run", {"--drive", "E", "--dry-run", "--batch", "tiles.txt"}, 64, 0, "grid points that would change: "},
      {"points, too little memory", {"--drive", "D", "--batch", "points.txt"}, 12, 5, no_memory},
      {"points, dry run, too little memory", {"--drive", "D", "--dry-run", "--batch", "points.txt"}, 12, 5, no_memory},
      {"polygons, too little memory", {"--drive", "D", "--batch", "rings.txt"}, 32, 5, no_memory},
      {"points", {"--drive", "D", "--batch", "points.txt"}, 64, 0, "lines applied: 10000\n"},
  };
  const auto before = snapshot_of("d:");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"--as=" + std::to_string(c.megabytes << 20), KAVLIN_APPLY_BIN};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = run_program("/usr/bin/prlimit", args, dir_ / "work", {{"KAVLIN_DRIVES", (dir_ / "drives").string()}});
    EXPECT_EQ(r.exit_status, c.status) << r.err;
    if (c.status == 0) {
      EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.err, c.says);
      EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(dir_ / "drives" / "d:" / "KAVLIN" / "JOURNAL"));
    EXPECT_EQ(snapshot_of("d:") == before, c.status != 0 || c.args[2] == "--dry-run");
  }
  EXPECT_TRUE(undo_record());
}

}  // namespace
