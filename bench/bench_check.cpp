// The database check beside a plain read of the same files, measured in
// the same run on a database of 36 tiles (E006..E011 x N47..N52: 18 tiles
// of 3 seconds and 18 of 6 seconds, the row at 50 degrees between them):
//   - the check in this process (check_database over the host files),
//   - kavlin-apply --check as a whole process (lock and report included),
//     with the most memory it held (its maximum resident set, started from
//     a small process of its own so that ours is not counted),
//   - kavlin-apply --check of one tile (an area), and kavlin-apply --help,
//     for the memory beside it,
//   - the floor: every tile file read whole in 1 MiB pieces (pread) and
//     closed, one after another, in this process.
// The files are in the page cache after the first round; the figures are
// medians of the rounds.
//
// Usage: kavlin_bench_check [rounds]   (default 9)
// The scratch database lives under $TMPDIR (or /tmp).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_areas.h"
#include "tiles/db_check.h"
#include "tools/demo_db.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

#ifndef KAVLIN_APPLY_BIN
#error "KAVLIN_APPLY_BIN must name the kavlin-apply program"
#endif

namespace {

using namespace kavlin;
using bench::Child;
using bench::Clock;
using bench::load_average;
using bench::seconds_since;
namespace fs = std::filesystem;

std::vector<std::string> check_args(const std::vector<std::string>& area) {
  std::vector<std::string> args = {KAVLIN_APPLY_BIN, "--drive", "C", "--check"};
  args.insert(args.end(), area.begin(), area.end());
  return args;
}

// kavlin-apply --check, timed.
double run_check(const fs::path& root, const std::vector<std::string>& area) {
  const Child child = bench::run_child(check_args(area), root, "/dev/null");
  if (child.status != 0) throw std::runtime_error("kavlin-apply --check did not find the database sound");
  return child.seconds;
}

// The largest resident set of `command` in KiB. A child counts the
// resident set of the process it was started from as its own, so it is
// started from a fresh small process: this program again, with --max-rss.
long max_rss(const fs::path& root, const std::vector<std::string>& command) {
  std::vector<std::string> args = {"/proc/self/exe", "--max-rss"};
  args.insert(args.end(), command.begin(), command.end());
  const fs::path out = root / "max-rss.txt";
  const Child meter = bench::run_child(args, root, out);
  if (meter.status != 0) throw std::runtime_error(command[0] + " failed under the meter");
  std::ifstream in(out);
  long kib = -1;
  in >> kib;
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  // The meter: runs the rest of the command line, prints its largest
  // resident set in KiB and ends with its status.
  if (argc > 2 && std::strcmp(argv[1], "--max-rss") == 0) {
    try {
      const Child child = bench::run_child(std::vector<std::string>(argv + 2, argv + argc), {}, "/dev/null");
      std::printf("%ld\n", child.max_rss_kib);
      return child.status;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kavlin_bench_check: %s\n", e.what());
      return 1;
    }
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  std::string templ = (fs::temp_directory_path() / "kavlin-check-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return 1;
  const fs::path root = templ;
  try {
    std::vector<demo::TileId> tiles;
    for (int32_t lon = 6; lon <= 11; ++lon) {
      for (int32_t lat = 47; lat <= 52; ++lat) tiles.push_back({lon, lat});
    }
    const std::vector<fs::path> files = demo::write_database(root / "c:", tiles, demo::demo_word);
    uintmax_t bytes = 0;
    for (const fs::path& f : files) bytes += fs::file_size(f);

    setenv("KAVLIN_DRIVES", root.c_str(), 1);
    HostFileServices host(DriveTable::from_environment());
    const CheckOutput quiet{};

    std::vector<double> in_process, process, one_tile, floor;
    int64_t compared = 0;
    const std::string load_before = load_average();
    for (int round = 0; round <= rounds; ++round) {
      auto start = Clock::now();
      const DbCheckResult result = check_database(host, host, 'C', quiet);
      const double core = seconds_since(start);
      if (result.faults() || result.unreadable > 0 || result.tiles_checked != 36) {
        throw std::runtime_error("the check does not find the database sound");
      }
      compared = result.copies_compared;
      const double all = run_check(root, {});
      const double one = run_check(root, {"--point", "8.5", "49.5"});
      const double plain = bench::io_floor(files, false);
      if (round == 0) continue;  // warms the page cache and the program
      in_process.push_back(core);
      process.push_back(all);
      one_tile.push_back(one);
      floor.push_back(plain);
    }
    const long rss_all = max_rss(root, check_args({}));
    const long rss_one = max_rss(root, check_args({"--point", "8.5", "49.5"}));
    const long rss_help = max_rss(root, {KAVLIN_APPLY_BIN, "--help"});

    std::printf("The database check beside a plain read of the same files: 36 tiles (18 of 3 and 18 of 6\n"
                "seconds), %.1f MB, %lld copies compared; %u cores, medians of %d rounds, page cache warm;\n"
                "load average %s before, %s after\n",
                static_cast<double>(bytes) / 1e6, static_cast<long long>(compared), std::thread::hardware_concurrency(),
                rounds, load_before.c_str(), load_average().c_str());
    const double f = bench::median(floor);
    std::printf("%-44s %9s %7s %12s\n", "case", "seconds", "ratio", "max RSS KiB");
    std::printf("%-44s %9.4f %7.2f %12s\n", "plain read, 1 MiB pieces (floor)", f, 1.0, "-");
    std::printf("%-44s %9.4f %7.2f %12s\n", "check_database in this process", bench::median(in_process),
                bench::median(in_process) / f, "-");
    std::printf("%-44s %9.4f %7.2f %12ld\n", "kavlin-apply --check, whole database", bench::median(process),
                bench::median(process) / f, rss_all);
    std::printf("%-44s %9.4f %7s %12ld\n", "kavlin-apply --check --point 8.5 49.5 (1 tile)", bench::median(one_tile),
                "", rss_one);
    std::printf("%-44s %9s %7s %12ld\n", "kavlin-apply --help (for the resident set)", "", "", rss_help);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavlin_bench_check: %s\n", e.what());
    std::error_code ec;
    fs::remove_all(root, ec);
    return 1;
  }
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
