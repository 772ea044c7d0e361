// A batch of 200 polygons over four tiles as one kavlin-apply process,
// against the same 200 polygons as 200 kavlin-apply processes: whole
// programs, lock, journal and undo record included, on the demo database
// (E005/E006 x N49/N50) made afresh before each way. Prints a table.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_areas.h"
#include "tools/demo_db.h"

namespace fs = std::filesystem;

namespace {

int run(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& drives) {
  return kavlin::bench::run_child(args, drives, "/dev/null", {}, cwd).status;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  std::string templ = (fs::temp_directory_path() / "kavlin-bench-batch-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return 1;
  const fs::path root = templ;
  const fs::path drives = root / "drives";
  const fs::path work = root / "work";
  fs::create_directories(work / "lakes");

  // 200 lakes: small polygons of 8 to 40 vertices anywhere over the four
  // tiles, some across the tile edges at 6 degrees and 50 degrees.
  std::mt19937 rng(19);
  std::uniform_real_distribution<double> lon(5.05, 6.95), lat(49.05, 50.95), radius(0.005, 0.04);
  std::ofstream batch(work / "lakes" / "batch.txt");
  for (int n = 1; n <= 200; ++n) {
    const double cx = n % 10 == 0 ? 6.0 : lon(rng), cy = n % 15 == 0 ? 50.0 : lat(rng), r = radius(rng);
    const int vertices = 8 + static_cast<int>(rng() % 33);
    std::ofstream lake(work / "lakes" / (std::to_string(n) + ".txt"));
    lake.precision(17);
    for (int v = 0; v <= vertices; ++v) {
      const double a = 2 * M_PI * (v % vertices) / vertices;
      lake << cx + r * std::cos(a) << " " << cy + r * (0.6 + 0.4 * std::sin(3 * a)) * std::sin(a) << "\n";
    }
    batch << (n % 4 == 0 ? "--clear" : "--set") << " inland-water --polygon " << n << ".txt\n";
  }
  batch.close();

  const unsigned cores = std::thread::hardware_concurrency();
  std::printf("kavlin-apply, 200 polygons over 4 tiles (%u cores seen)\n", cores);
  // Two rounds, the second timed: the first warms the page cache.
  double single = 0.0, one = 0.0;
  for (int round = 0; round < 2; ++round) {
    fs::remove_all(drives);
    kavlin::demo::write_demo_database(drives / "d:");
    auto start = std::chrono::steady_clock::now();
    std::ifstream lines(work / "lakes" / "batch.txt");
    for (std::string kind, type, option, file; lines >> kind >> type >> option >> file;) {
      if (run({KAVLIN_APPLY_BIN, "--drive", "D", kind, type, "--polygon", "lakes/" + file}, work, drives) != 0) {
        std::fprintf(stderr, "a single run failed\n");
        return 1;
      }
    }
    single = seconds_since(start);
    fs::remove_all(drives);
    kavlin::demo::write_demo_database(drives / "d:");
    start = std::chrono::steady_clock::now();
    if (run({KAVLIN_APPLY_BIN, "--drive", "D", "--batch", "lakes/batch.txt"}, work, drives) != 0) {
      std::fprintf(stderr, "the batch failed\n");
      return 1;
    }
    one = seconds_since(start);
  }
  std::printf("  %-34s %9.3f s\n", "200 single runs (200 processes)", single);
  std::printf("  %-34s %9.3f s\n", "one batch of 200 lines", one);
  std::printf("  %-34s %9.1f x\n", "batch speed-up", single / one);
  fs::remove_all(root);
  return 0;
}
