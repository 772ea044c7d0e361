// kavlin-apply run end to end as a child process on temporary databases,
// where it refuses or fails: a DRIVE.DAT that cannot be read, a report that
// cannot be written, areas refused and files missing, the rules of
// DRIVE.DAT, and --help with the usage errors.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "tests/apply_test_support.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/tile_files.h"

namespace fs = std::filesystem;
using namespace kavlin::testing;

namespace {

// A DRIVE.DAT that is there but cannot be read is no reason to modify
// drive C: without --drive the run is refused before any file is touched.
TEST_F(ApplyTest, UnreadableDriveDatIsRefusedWithoutDrive) {
  make_tiles({{5, 49}}, 'c');
  make_tiles({{5, 49}}, 'd');
  const std::vector<std::string> point{"--kind", "7", "--point", "5.5", "49.5"};
  const std::string not_regular =
      "kavlin-apply: DRIVE.DAT cannot be read (it is not a regular file); name the drive with --drive X\n";
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::string err;
  };
  std::vector<Case> cases{
      {"folder", [](const fs::path& p) { fs::create_directory(p); }, not_regular},
      {"fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }, not_regular},
      {"link_to_folder", [this](const fs::path& p) { fs::create_directory_symlink(drives(), p); }, not_regular},
  };
  // The superuser reads a file whatever its permissions.
  if (geteuid() != 0) {
    cases.push_back({"no_read_permission",
                     [](const fs::path& p) {
                       write_file(p, "D\n");
                       fs::permissions(p, fs::perms::none);
                     },
                     "kavlin-apply: DRIVE.DAT cannot be read (Permission denied); name the drive with --drive X\n"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(work() / "DRIVE.DAT");
    c.make(work() / "DRIVE.DAT");
    const auto before = snapshot();
    for (const bool dry : {false, true}) {
      std::vector<std::string> args = point;
      if (dry) args.push_back("--dry-run");
      const auto r = apply(args);
      EXPECT_EQ(r.exit_status, 2);
      EXPECT_EQ(r.err, c.err);
      EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(snapshot() == before);
    // With --drive, DRIVE.DAT is not read at all.
    std::vector<std::string> args = point;
    args.insert(args.end(), {"--drive", "D"});
    const auto r = apply(args);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(tile(5, 49, 'c')) == before.at(tile(5, 49, 'c').string()));
    fs::permissions(work() / "DRIVE.DAT", fs::perms::owner_all, fs::perm_options::add);
    fs::remove(work() / "DRIVE.DAT");
  }
}

// The report on standard output is part of the result: when it cannot be
// written the run ends with status 3 and says so on standard error, though
// the tiles are written by then.
TEST_F(ApplyTest, ReportThatCannotBeWrittenIsAFailure) {
  make_tiles({{5, 49}});
  struct Case {
    const char* redirect;
    std::vector<std::string> args;
    bool modifies;
    std::string err;
  };
  const std::string full = "kavlin-apply: cannot write to standard output: No space left on device\n";
  const std::string closed = "kavlin-apply: cannot write to standard output: Bad file descriptor\n";
  const std::vector<Case> cases{
      {">/dev/full", {"--kind", "7", "--rect", "5.1", "49.2", "5.2", "49.1"}, true, full},
      {">&-", {"--kind", "8", "--rect", "5.1", "49.2", "5.2", "49.1"}, true, closed},
      {">&-", {"--help"}, false, closed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.redirect) + " " + c.args.front());
    const std::string before = read_file(tile(5, 49));
    std::vector<std::string> args{"-c", std::string("exec \"$0\" \"$@\" ") + c.redirect, KAVLIN_APPLY_BIN};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_program("/bin/sh", args, work(), {{"KAVLIN_DRIVES", drives().string()}});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(tile(5, 49)) != before, c.modifies);
  }
  // A refusal writes no report, so its status stays.
  const auto r = run_program("/bin/sh", {"-c", "exec \"$0\" \"$@\" >/dev/full", KAVLIN_APPLY_BIN, "--kind", "7",
                                         "--rect", "5.2", "49.2", "5.1", "49.1"},
                             work(), {{"KAVLIN_DRIVES", drives().string()}});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "Error in co-ordinates: Lower right corner is not east of upper left corner!\n");
}

struct Refusal {
  std::vector<std::string> args;
  int status;
  std::string err;
};

TEST_F(ApplyTest, RefusedAreasAndFileErrors) {
  make_tiles({{5, 49}});
  write_file(work() / "two.txt", "5.1 49.1\n5.2 49.2\n");
  write_file(work() / "bad.txt", "5.1 49.1\n5.2 49.2,\n5.1 49.2\n");
  write_file(work() / "big.txt", "0.5 49.5\n6.5 49.5\n6.5 54.5\n0.5 49.5\n");
  const std::vector<Refusal> cases{
      {{"--kind", "1", "--rect", "5.2", "49.2", "5.2", "49.1"},
       1,
       "Error in co-ordinates: Lower right corner is not east of upper left corner!\n"},
      {{"--kind", "1", "--rect", "5.3", "49.1", "5.2", "49.2"},
       1,
       "Error in co-ordinates: Lower right corner is not east of upper left corner!\n"},
      {{"--kind", "1", "--rect", "5.1", "49.1", "5.2", "49.1"},
       1,
       "Error in co-ordinates: Lower right corner is not south of upper left corner!\n"},
      {{"--kind", "1", "--rect", "170", "49.1", "-170", "49"},
       1,
       "Error in co-ordinates: Lower right corner is not east of upper left corner!\n"},
      // 7 rows of 6 columns, and 6 rows of 7 columns (-0.5 lies in W001).
      {{"--kind", "1", "--rect", "0.5", "55.5", "5.5", "49.5"}, 1, "Error: Area is too big! Modification is not possible!\n"},
      {{"--kind", "1", "--rect", "-0.5", "54.5", "5.5", "49.5"}, 1, "Error: Area is too big! Modification is not possible!\n"},
      {{"--kind", "1", "--polygon", "big.txt"}, 1, "Error: Area is too big! Modification is not possible!\n"},
      {{"--kind", "1", "--polygon", "missing.txt"}, 1, "Error: File: missing.txt not found!\n"},
      {{"--kind", "1", "--polygon", "two.txt"}, 1, "Warning: The file contains only two records!\n"},
      {{"--kind", "1", "--polygon", "bad.txt"}, 1, "Error: Error reading file. Wrong format.\n"},
      {{"--kind", "1", "--point", "5.5", "-0.5"},
       1,
       "Error: Area reaches south of the equator! Modification is not possible!\n"},
      // 6 by 6 cells pass the limit and fail at the first missing tile.
      {{"--kind", "1", "--rect", "0.5", "54.5", "5.5", "49.5"}, 3, "Error: Error opening file E000N49.33M!\n"},
      {{"--kind", "1", "--point", "7.5", "49.5"}, 3, "Error: Error opening file E007N49.33M!\n"},
      // The west neighbour that would receive the copy is missing.
      {{"--kind", "1", "--point", "5", "49.5"}, 3, "Error: Error opening file E004N49.33M!\n"},
  };
  const auto before = snapshot();
  for (const Refusal& c : cases) {
    const auto r = apply(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.exit_status, c.status) << joined;
    EXPECT_EQ(r.err, c.err) << joined;
    EXPECT_EQ(r.out, "") << joined;
  }
  EXPECT_TRUE(snapshot() == before);
}

TEST_F(ApplyTest, DriveDatRules) {
  make_tiles({{5, 49}}, 'c');
  make_tiles({{5, 49}}, 'e');
  make_tiles({{5, 49}}, 'd');
  const double lon = kavlin::grid_longitude(5, 3, 7, 3);
  const double lat = kavlin::grid_latitude(49, 4, 9);
  const std::vector<std::string> point{"--point", exact(lon), exact(lat)};

  struct Case {
    std::optional<std::string> drive_dat;  // nullopt: no DRIVE.DAT
    std::vector<std::string> extra;
    char changed_drive;                     // 0: nothing changes
    int status;
    std::string err;
  };
  const std::vector<Case> cases{
      {std::nullopt, {}, 'c', 0, "Info: Error opening DRIVE.DAT. Drive 'C' is used.\n"},
      {"", {}, 'c', 0, "Info: Error reading DRIVE.DAT. Drive 'C' is used.\n"},
      {"E:\\\r\n", {}, 'e', 0, ""},
      {"d\nE\n", {}, 'd', 0, ""},
      // --drive wins and DRIVE.DAT is not read at all.
      {std::nullopt, {"--drive", "E"}, 'e', 0, ""},
      {"Q\n", {"--drive", "d"}, 'd', 0, ""},
      // A drive the drives folder lacks: the tile cannot be opened.
      {"Q\n", {}, 0, 3, "Error: Error opening file E005N49.33M!\n"},
      {"\n", {}, 0, 3, "Error: Error opening file E005N49.33M!\n"},
  };
  for (const Case& c : cases) {
    fs::remove(work() / "DRIVE.DAT");
    if (c.drive_dat) write_file(work() / "DRIVE.DAT", *c.drive_dat);
    const auto before = snapshot();
    // Set or clear sea, whichever changes the word on the drive that should
    // be modified.
    int32_t kind = 1;
    if (c.changed_drive != 0) {
      const uint16_t word = TileImage::load(tile(5, 49, c.changed_drive), 49).word(39, 9, 7);
      kind = (word & kavlin::FLAG_SEA) ? 2 : 1;
    }
    std::vector<std::string> args = point;
    args.insert(args.end(), {"--kind", std::to_string(kind)});
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = apply(args);
    const std::string label = c.drive_dat ? "DRIVE.DAT '" + *c.drive_dat + "'" : "no DRIVE.DAT";
    EXPECT_EQ(r.exit_status, c.status) << label;
    EXPECT_EQ(r.err, c.err) << label;
    if (c.status == 0) {
      EXPECT_EQ(r.out, done_output(1, 1)) << label;
    }
    const auto after = snapshot();
    for (const char letter : {'c', 'd', 'e'}) {
      const std::string path = tile(5, 49, letter).string();
      EXPECT_EQ(before.at(path) != after.at(path), letter == c.changed_drive) << label << " " << letter;
    }
  }
}

TEST_F(ApplyTest, HelpAndUsageErrors) {
  const auto help = apply({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* text : {"--kind N", "--set TYPE", "--clear TYPE", "--point LON LAT", "--rect LON1 LAT1 LON2 LAT2",
                           "--polygon FILE", "--drive X", "--dry-run", "DRIVE.DAT", "KAVLIN_DRIVES", "Exit status"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, "no area given (use --point, --rect or --polygon)"},
      {{"--kind", "9"}, "no area given (use --point, --rect or --polygon)"},
      {{"--point", "5", "49"}, "no modification kind given (use --kind, --set or --clear)"},
      {{"--kind", "9", "--rect", "1", "2", "3"}, "--rect needs 4 values"},
      {{"--kind", "9", "--point", "5"}, "--point needs 2 values"},
      {{"--kind", "9", "--polygon"}, "--polygon needs 1 value"},
      {{"--kind", "9", "--polygon", "/" + std::string(255, 'p')}, "--polygon file name is longer than 255 characters"},
      {{"--point", "5", "49", "--kind"}, "--kind needs 1 value"},
      {{"--kind", "9", "--point", "5", "abc"}, "--point value 'abc' is not a number"},
      {{"--kind", "9", "--point", "inf", "49"}, "--point value 'inf' is not a number"},
      {{"--kind", "9", "--rect", "1", "nan", "2", "0"}, "--rect value 'nan' is not a number"},
      {{"--kind", "9", "--point", "0x1p3", "49"}, "--point value '0x1p3' is not a number"},
      {{"--kind", "11", "--point", "5", "49"}, "--kind must be 1 to 10, not 11"},
      {{"--kind", "0", "--point", "5", "49"}, "--kind must be 1 to 10, not 0"},
      {{"--kind", "9.0", "--point", "5", "49"}, "--kind value '9.0' is not a whole number"},
      {{"--kind", "9", "--set", "town", "--point", "5", "49"}, "only one of --kind, --set, --clear may be given"},
      {{"--set", "forest", "--point", "5", "49"},
       "unknown land-cover type 'forest' (use sea, inland-water, coastal-area, town or trees)"},
      {{"--kind", "9", "--point", "5", "49", "--polygon", "a.txt"}, "only one of --point, --rect, --polygon may be given"},
      {{"--kind", "9", "--point", "5", "49", "extra"}, "unexpected argument 'extra'"},
      {{"--kind", "9", "--bogus"}, "unknown option '--bogus'"},
      {{"--drive", "DD", "--kind", "9", "--point", "5", "49"}, "--drive needs a drive letter A to Z, not 'DD'"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = apply(args);
    EXPECT_EQ(r.exit_status, 2) << message;
    EXPECT_EQ(r.err, "kavlin-apply: " + message + "\n" + TRY_HELP);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
