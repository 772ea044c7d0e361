// kavlin-apply and the run journal, end to end: a run killed at any moment
// leaves the database as before it or as after it once the next start has
// rolled back, two runs at once give the result of one after the other, a
// run waits for the lock, links are refused, and --undo.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "tests/engine_test_db.h"
#include "tests/fault_files.h"
#include "tests/test_support.h"
#include "tests/tool_support.h"
#include "tiles/journal_format.h"
#include "tiles/journaling_files.h"
#include "tiles/rollback.h"
#include "tiles/safe_run.h"
#include "cli/apply_cli.h"
#include "tools/demo_db.h"
#include "base/host_file_services.h"

namespace kavlin::testing {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Nearly every word of the four demo tiles, no edge copies.
const Args kWhole = {"--set", "sea", "--rect", "5.001", "50.999", "6.999", "49.001"};
const Args kClearWhole = {"--clear", "sea", "--rect", "5.001", "50.999", "6.999", "49.001"};
// Across the corner of the four demo tiles, with edge copies.
const Args kSetA = {"--set", "sea", "--rect", "5.5", "50.5", "6.5", "49.5"};

class JournalToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(work());
    write_file(work() / "DRIVE.DAT", "D\n");
    demo::write_demo_database(root());
    before = snapshot();
  }
  fs::path drives() const { return dir.path() / "drives"; }
  fs::path work() const { return dir.path() / "work"; }
  fs::path root() const { return drives() / "d:"; }
  fs::path kavlin() const { return root() / "KAVLIN"; }
  std::map<std::string, std::optional<std::string>> env() const { return {{"KAVLIN_DRIVES", drives().string()}}; }

  ProcessResult apply(const Args& args) { return run_program(KAVLIN_APPLY_BIN, args, work(), env()); }
  StartedProgram start(const Args& args) { return start_program(KAVLIN_APPLY_BIN, args, work(), env()); }

  Snapshot snapshot() const {
    Snapshot files;
    for (const auto& e : fs::recursive_directory_iterator(drives())) {
      if (e.is_regular_file() && !is_run_bookkeeping(e.path())) files[e.path().string()] = read_file(e.path());
    }
    return files;
  }
  // Puts `state` back in place (the same files, so their identity stays)
  // and removes the undo record.
  void restore(const Snapshot& state) {
    for (const auto& [path, bytes] : state) write_file(path, bytes);
    fs::remove(kavlin() / "UNDO");
  }
  Snapshot run_in_turn(const Args& first, const Args& second) {
    restore(before);
    EXPECT_EQ(apply(first).exit_status, 0);
    EXPECT_EQ(apply(second).exit_status, 0);
    const Snapshot result = snapshot();
    restore(before);
    return result;
  }

  TempDir dir;
  Snapshot before;
};

// The run killed right before each of its write points in turn (a child
// process running kavlin-apply's own code): the next start leaves the
// database as before the run, or, killed after the commit, as after it.
TEST_F(JournalToolTest, KilledAtAnyMomentTheNextStartLeavesBeforeOrAfter) {
  cli::ApplyRequest request;
  request.drive = 'D';
  request.kind = 1;
  request.area = cli::AreaKind::Rectangle;
  request.LON1 = 5.5, request.LAT1 = 50.5, request.LON2 = 6.5, request.LAT2 = 49.5;
  auto run_child = [&](int n) {
    std::cout.flush();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // The run's write points (record writes, journal forcings, flushes,
      // renames, removals) counted, the process killed right before the
      // n-th (0: never).
      FaultFiles files(DriveTable(drives().string()), 0, {FaultFiles::Rule(call::MUTATING).nth(n).kill_process()});
      std::ostringstream out, err;
      const int status = cli::run_request(request, files, out, err);
      files.CLOSE_ALL_FILES();
      ::_exit(status == cli::EXIT_DONE ? 100 + std::min(files.count(call::MUTATING), 100) : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  };
  // A whole run: its number of write points.
  const int whole = run_child(0);
  ASSERT_TRUE(WIFEXITED(whole) && WEXITSTATUS(whole) > 100) << whole;
  const int points = WEXITSTATUS(whole) - 100;
  const Snapshot after = snapshot();
  ASSERT_FALSE(after == before);
  ASSERT_GE(points, 4);
  int interrupted = 0;
  int rolled_back = 0;
  for (int n = 1; n <= points; ++n) {
    SCOPED_TRACE("killed before write point " + std::to_string(n));
    restore(before);
    const int status = run_child(n);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ++interrupted;
    const bool journal = fs::exists(kavlin() / "JOURNAL");
    const ProcessResult next = apply({"--recover"});
    ASSERT_EQ(next.exit_status, 0) << next.err;
    rolled_back += next.err == std::string("Info: ") + RECOVERED_TEXT + "\n" ? 1 : 0;
    EXPECT_FALSE(fs::exists(kavlin() / "JOURNAL"));
    const Snapshot state = snapshot();
    EXPECT_TRUE(state == before || (state == after && !journal)) << journal;
    if (journal) {
      EXPECT_TRUE(state == before);
    }
  }
  EXPECT_GT(interrupted, 0);
  EXPECT_GT(rolled_back, 0);
}

TEST_F(JournalToolTest, TwoRunsAtOnceGiveOneAfterTheOther) {
  // Both over nearly every word: run side by side, their changes would mix.
  const Snapshot a_then_b = run_in_turn(kWhole, kClearWhole);
  const Snapshot b_then_a = run_in_turn(kClearWhole, kWhole);
  ASSERT_FALSE(a_then_b == b_then_a);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    restore(before);
    StartedProgram a = start(kWhole);
    StartedProgram b = start(kClearWhole);
    EXPECT_EQ(wait_program(a).exit_status, 0);
    EXPECT_EQ(wait_program(b).exit_status, 0);
    const Snapshot both = snapshot();
    EXPECT_TRUE(both == a_then_b || both == b_then_a);
  }
}

TEST_F(JournalToolTest, ARunWaitsForTheLockAndSaysSoOnce) {
  HostFileServices holder(DriveTable(drives().string()));
  int32_t handle = 0;
  ASSERT_EQ(holder.LOCK_FILE(lock_path('D'), false, handle), 0);
  StartedProgram child = start(kSetA);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(program_running(child));
  EXPECT_TRUE(snapshot() == before);
  holder.UNLOCK_FILE(handle);
  const ProcessResult r = wait_program(child);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, cli::WAITING_LINE);
  EXPECT_FALSE(snapshot() == before);
}

TEST_F(JournalToolTest, TileLinkedToAnotherIsRefused) {
  fs::remove(demo::tile_host_path(root(), 6, 49));
  fs::create_symlink(demo::tile_host_path(root(), 5, 49), demo::tile_host_path(root(), 6, 49));
  const Snapshot linked = snapshot();
  const ProcessResult r = apply(kSetA);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.err, "Error: Tiles E005N49.33M and E006N49.33M are one file! Modification is not possible!\n");
  EXPECT_TRUE(snapshot() == linked);
}

TEST_F(JournalToolTest, FailedWriteIsReportedAndTheDatabaseRestored) {
  // Writes 1-144 are E005N49's (the first tile, every record changed), then
  // E005N50's changed records.
  for (const auto& [n, tile] : std::vector<std::pair<int, std::string>>{{100, "E005N49.33M"}, {145, "E005N50.63M"}}) {
    // Record by record, so that each write can fail.
    FaultFiles files(DriveTable(drives().string()), FaultFiles::RECORD_BY_RECORD,
                     {FaultFiles::Rule(call::WRITE_RECORD).nth(n)});
    cli::ApplyRequest request;
    request.drive = 'D';
    request.kind = 1;
    request.area = cli::AreaKind::Rectangle;
    request.LON1 = 5.001, request.LAT1 = 50.999, request.LON2 = 6.999, request.LAT2 = 49.001;
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_request(request, files, out, err), cli::EXIT_FILE_ERROR);
    EXPECT_EQ(err.str(), "Error: Error writing record of file " + tile + "!\nInfo: " + RESTORED_TEXT + "\n");
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(files.open_count(), 0u);
  }
}

// --recover (or --undo) that has done its work but cannot remove the
// journal (or the undo record) says so after what it did, and ends with
// status 3.
TEST_F(JournalToolTest, RecoverOrUndoThatCannotRemoveItsFileSaysSo) {
  ASSERT_EQ(apply(kSetA).exit_status, 0);
  const Snapshot after = snapshot();
  const std::string undo_record = read_file(kavlin() / "UNDO");
  const struct {
    Args args;
    bool journal;  // a run killed before its commit left its journal
    int failing;   // the first removal that fails
    std::string out, err;
  } cases[] = {
      {{"--recover"}, true, 1, "", std::string("Error: ") + RECOVERED_TEXT + " But the journal D:\\KAVLIN\\JOURNAL"},
      {{"--undo"}, false, 2, "Info: The last modification is undone!\n", "Error: The undo record D:\\KAVLIN\\UNDO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    restore(after);
    fs::remove(kavlin() / "JOURNAL");
    write_file(kavlin() / "UNDO", undo_record);
    if (c.journal) write_file(kavlin() / "JOURNAL", undo_record);
    FaultFiles files(DriveTable(drives().string()), 0,
                     {FaultFiles::Rule(call::REMOVE_SYNCED).from(c.failing).fail(EACCES)});
    Args args = {"--drive", "D"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(cli::run_request(cli::parse_arguments(args).request, files, out, err), cli::EXIT_FILE_ERROR);
    const std::string said = err.str();
    EXPECT_EQ(out.str().substr(0, c.out.size()), c.out);
    EXPECT_EQ(said.substr(0, c.err.size()), c.err);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    Snapshot tiles = snapshot();
    tiles.erase((kavlin() / "JOURNAL").string());
    EXPECT_TRUE(tiles == before);
  }
}

TEST_F(JournalToolTest, UndoRestoresTheLastModificationOrSaysWhyNot) {
  EXPECT_EQ(apply({"--undo"}).err, "Info: There is no modification to undo!\n");
  const ProcessResult run = apply(kSetA);
  ASSERT_EQ(run.exit_status, 0);
  const std::string words = run.out.substr(run.out.rfind(": ") + 2);  // "M\n"
  const Snapshot after = snapshot();

  // Two words changed by hand since: refused, nothing changed.
  const fs::path e005 = demo::tile_host_path(root(), 5, 49);
  const Journal record = decode_journal(read_file(kavlin() / "UNDO"));
  ASSERT_EQ(record.files.at(0).tile_name(), "E005N49.33M");
  // A record of E005N49 with more than one changed word.
  const auto& records = record.files.at(0).records;
  const auto many = std::find_if(records.begin(), records.end(), [](const JournalRecord& r) { return r.word_count() > 1; });
  ASSERT_NE(many, records.end());
  const JournalRecord& first = *many;
  std::vector<int32_t> positions;
  for (const WordRun& run : first.runs()) {
    for (int32_t w = run.first; w < run.first + run.count; ++w) positions.push_back(w);
  }
  ASSERT_GE(positions.size(), 2u);
  std::string bytes = read_file(e005);
  for (const int32_t w : {positions.front(), positions.back()}) {
    set_word_at(bytes, RECORD_LENGTH_3S, first.record, w, word_at(bytes, RECORD_LENGTH_3S, first.record, w) ^ 0x0100);
  }
  write_file(e005, bytes);
  const Snapshot touched = snapshot();
  // Bits other than the flag are seen by the record's hash: counted by
  // record.
  const ProcessResult refused = apply({"--undo"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err,
            "Error: Grid words of 1 record have changed since the last modification! Nothing was undone.\n");
  EXPECT_TRUE(snapshot() == touched);
  // The flag of the same two words back to its old state: counted by word.
  for (const int32_t w : {positions.front(), positions.back()}) {
    set_word_at(bytes, RECORD_LENGTH_3S, first.record, w, word_at(bytes, RECORD_LENGTH_3S, first.record, w) ^ FLAG_SEA);
  }
  write_file(e005, bytes);
  const ProcessResult refused_flags = apply({"--undo"});
  EXPECT_EQ(refused_flags.exit_status, 1);
  EXPECT_EQ(refused_flags.err, "Error: 2 grid words have changed since the last modification! Nothing was undone.\n");

  write_file(e005, after.at(e005.string()));
  const ProcessResult dry = apply({"--undo", "--dry-run"});
  EXPECT_EQ(dry.exit_status, 0);
  EXPECT_EQ(dry.out, "Dry run: no file was changed.\n"
                     "tiles that would be rewritten: E005N49.33M E005N50.63M E006N49.33M E006N50.63M\n"
                     "grid words that would be restored: " + words);
  EXPECT_TRUE(snapshot() == after);
  const ProcessResult undo = apply({"--drive", "D", "--undo"});
  EXPECT_EQ(undo.exit_status, 0) << undo.err;
  EXPECT_EQ(undo.out, "Info: The last modification is undone!\ntiles rewritten: 4\ngrid words restored: " + words);
  EXPECT_TRUE(snapshot() == before);
  EXPECT_FALSE(fs::exists(kavlin() / "UNDO"));
  EXPECT_EQ(apply({"--undo"}).exit_status, 1);
  EXPECT_EQ(apply({"--undo", "--point", "5", "49"}).exit_status, 2);
}

// The ways out and the refusals, end to end: exit statuses and messages.
TEST_F(JournalToolTest, WaysOutOfAStuckStateAndRefusalsThatNameThem) {
  // Nothing pending.
  ProcessResult r = apply({"--recover"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "Info: There is no interrupted modification to undo!\n");
  r = apply({"--discard-journal"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "Info: There is no journal to set aside!\n");
  EXPECT_EQ(apply({"--recover", "--undo"}).exit_status, 2);
  EXPECT_EQ(apply({"--discard-journal", "--dry-run"}).exit_status, 2);

  // A journal that names a file outside the tiles: refused by every
  // program that would act on it, kept, then set aside.
  JournalFile planted{"D:\\KAVLIN\\POLY\\AREA_16.TXT", {1, 2}, RECORD_LENGTH_3S,
                      {JournalRecord::from_runs(1, RECORD_LENGTH_3S / 2, {{0, 4}}, 1)}};
  const std::string bytes = encode_journal_start({1}) + encode_journal_file(planted);
  write_file(kavlin() / "JOURNAL", bytes);
  const std::string damaged = "Error: " + damaged_journal_notice('D', "entry 2 names no tile of this database").text + "\n";
  for (const Args& args : {Args{"--recover"}, kSetA, Args{"--dry-run", "--point", "5.5", "49.5", "--kind", "1"},
                           Args{"--undo"}}) {
    r = apply(args);
    EXPECT_EQ(r.exit_status, 3) << args.front();
    EXPECT_EQ(r.err, damaged) << args.front();
    EXPECT_EQ(read_file(kavlin() / "JOURNAL"), bytes);
    Snapshot now = snapshot();
    now.erase((kavlin() / "JOURNAL").string());
    EXPECT_TRUE(now == before);
  }
  r = apply({"--discard-journal"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("Warning: The journal was set aside as D:\\KAVLIN\\JOURNAL-", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("; its modification was not undone! Which tiles it touched cannot be read from it"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(kavlin() / "JOURNAL"));
  int aside = 0;
  for (const auto& e : fs::directory_iterator(kavlin())) {
    if (e.path().filename().string().rfind("JOURNAL-", 0) == 0) aside += read_file(e.path()) == bytes ? 1 : 0;
  }
  EXPECT_EQ(aside, 1);

  // A damaged undo record: exit 3, nothing undone, kept.
  ASSERT_EQ(apply(kSetA).exit_status, 0);
  const Snapshot after = snapshot();
  std::string undo = read_file(kavlin() / "UNDO");
  undo[undo.size() - 6] ^= 0x01;
  write_file(kavlin() / "UNDO", undo);
  r = apply({"--undo"});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.err, std::string("Error: ") + UNDO_DAMAGED_TEXT + "\n");
  EXPECT_TRUE(snapshot() == after);
  EXPECT_EQ(read_file(kavlin() / "UNDO"), undo);

  // LOCK a folder: no run, exit 3, the message names LOCK and the reason.
  fs::remove(kavlin() / "LOCK");
  fs::create_directory(kavlin() / "LOCK");
  r = apply(kClearWhole);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.err, "Error: " + lock_notice('D', NOT_A_REGULAR_FILE).text + "\n");
  EXPECT_TRUE(snapshot() == after);
}

// A dry run opens the tiles for reading only: tiles marked read-only are
// read, where a run is refused at opening them; the same for the check of
// a dry undo.
TEST_F(JournalToolTest, DryRunReadsReadOnlyTiles) {
  ASSERT_EQ(apply(kSetA).exit_status, 0);  // the undo record
  const Snapshot after = snapshot();
  for (const auto& e : fs::recursive_directory_iterator(kavlin())) {
    if (e.is_regular_file()) fs::permissions(e.path(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  const struct {
    Args dry;
    std::string out;  // how the dry run's report begins
    Args run;
  } cases[] = {
      {{"--dry-run", "--set", "sea", "--point", "5.5", "49.5"}, "Dry run: no file was changed.\n",
       {"--set", "sea", "--point", "5.5", "49.5"}},
      {{"--dry-run", "--undo"},
       "Dry run: no file was changed.\ntiles that would be rewritten: E005N49.33M E005N50.63M E006N49.33M E006N50.63M\n",
       {"--undo"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.run.front());
    const ProcessResult dry = apply(c.dry);
    EXPECT_EQ(dry.exit_status, 0) << dry.err;
    EXPECT_EQ(dry.out.substr(0, c.out.size()), c.out);
    const ProcessResult run = apply(c.run);
    EXPECT_EQ(run.exit_status, 3);
    EXPECT_EQ(run.err, "Error: Error opening file E005N49.33M!\n");
    EXPECT_TRUE(snapshot() == after);
  }
}

}  // namespace
}  // namespace kavlin::testing

namespace kavlin::testing {
namespace {

// Three runs, the history newest first, the middle one undone, the first
// refused with the later run named; the command line of both.
TEST_F(JournalToolTest, HistoryListsTheRunsAndUndoOfAnEarlierRunNamesTheLaterOne) {
  const Args runs[] = {{"--set", "town", "--rect", "5.5", "49.6", "5.7", "49.4"},
                       {"--set", "trees", "--rect", "6.1", "49.6", "6.3", "49.4"},
                       {"--set", "trees", "--rect", "5.6", "49.5", "5.65", "49.45"}};
  std::vector<std::string> words;
  for (const Args& args : runs) {
    const ProcessResult r = apply(args);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    words.push_back(r.out.substr(r.out.find("grid words changed: ") + 20));
  }
  const ProcessResult listed = apply({"--history"});
  EXPECT_EQ(listed.exit_status, 0) << listed.err;
  const std::string time = "  [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z  ";
  EXPECT_THAT(listed.out, ::testing::ContainsRegex(
                              "^run 3" + time + "set trees\n"
                              "  area: longitude 5.6 to 5.65, latitude 49.45 to 49.5, rings [0-9a-f]{16}\n"
                              "  tiles: E005N49.33M\n"
                              "  grid points changed: [0-9]+, stored grid words changed: " + words[2] +
                              "  undo record kept: kavlin-apply --undo 3\n"
                              "run 2" + time + "set trees\n"));
  EXPECT_NE(listed.out.find("run 1"), std::string::npos);

  const ProcessResult undone = apply({"--undo", "2"});
  EXPECT_EQ(undone.exit_status, 0) << undone.err;
  EXPECT_EQ(undone.out, "Info: Run 2 is undone!\ntiles rewritten: 1\ngrid words restored: " + words[1]);
  const ProcessResult refused = apply({"--undo", "1"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_THAT(refused.err, ::testing::EndsWith("changed since run 1, by run 3! Nothing was undone.\n"));
  EXPECT_THAT(apply({"--history"}).out, ::testing::StartsWith("run 4"));
  EXPECT_THAT(apply({"--history"}).out, ::testing::HasSubstr("undo of run 2\n"));

  const struct {
    Args args;
    int status;
    const char* err;
  } answers[] = {
      {{"--undo", "7"}, 1, "Info: There is no run 7 in the history!\n"},
      {{"--undo", "4"}, 1, "Info: Run 4 is an undo: it cannot be undone!\n"},
      {{"--undo", "0"}, 2, "kavlin-apply: --undo RUN needs a run number from 1 on\n"},
      {{"--history", "--dry-run"}, 2, "kavlin-apply: --history takes only --drive\n"},
  };
  for (const auto& a : answers) {
    const ProcessResult r = apply(a.args);
    EXPECT_EQ(r.exit_status, a.status) << a.args[0] << " " << a.args[1];
    EXPECT_THAT(r.err, ::testing::StartsWith(a.err));
  }
}

}  // namespace
}  // namespace kavlin::testing
