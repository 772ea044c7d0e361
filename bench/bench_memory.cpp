// The peak memory (maximum resident set) of whole kavlin-apply processes
// on large batches: 10000 points over two tiles, run and dry run, 14 lines
// of 36 whole tiles each (504 tiles, 595 files with their neighbours), dry
// run and run, and the largest area (a star of 250000 vertices over 36
// tiles). The tiles are zero-filled sparse files, so the
// database costs no disk space. Prints a table.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "tiles/tile_files.h"

namespace fs = std::filesystem;

namespace {

// Runs kavlin-apply with `args` in `cwd`; its exit status and peak
// resident set in kilobytes.
int run(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& drives, long& max_kb) {
  const kavlin::bench::Child child = kavlin::bench::run_child(args, drives, "/dev/null", {}, cwd);
  max_kb = child.max_rss_kib;
  return child.status;
}

void make_tile(const fs::path& drive, int32_t lon, int32_t lat) {
  const std::string name = kavlin::TILE_NAME(lon, lat);
  const fs::path folder = drive / "KAVLIN" / name.substr(0, 4);
  fs::create_directories(folder);
  std::ofstream(folder / name).close();
  fs::resize_file(folder / name, static_cast<std::uintmax_t>(kavlin::RECORDS_PER_TILE) *
                                     kavlin::TILE_ORIGIN(lon, lat).record_length());
}

}  // namespace

int main() {
  std::string templ = (fs::temp_directory_path() / "kavlin-bench-memory-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return 1;
  const fs::path root = templ;
  const fs::path drives = root / "drives";
  const fs::path work = root / "work";
  fs::create_directories(work);
  // E000..E084 x N40..N46: 14 x 36 listed tiles and their west and south
  // neighbours; E005..E006 x N49 for the points.
  for (int32_t lon = 0; lon <= 84; ++lon) {
    for (int32_t lat = 40; lat <= 46; ++lat) make_tile(drives / "c:", lon, lat);
  }
  for (const int32_t lon : {5, 6}) make_tile(drives / "c:", lon, 49);
  {
    std::ofstream tiles(work / "tiles.txt");
    for (int n = 0; n < 14; ++n) tiles << "--set sea --rect " << 1 + 6 * n << ".0 46.99 " << 6 + 6 * n << ".99 41.0\n";
    std::ofstream points(work / "points.txt");
    points.precision(17);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> lon(12, 2388), lat(12, 1188);
    for (int n = 0; n < 10000; ++n) points << "--set town --point " << 5 + lon(rng) / 1200.0 << " " << 49 + lat(rng) / 1200.0 << "\n";
    // The largest area the tools take: a star of 250000 vertices (2500
    // tips) over the 36 tiles E000..E005 x N40..N45.
    std::ofstream star(work / "star.txt");
    star.precision(17);
    constexpr int vertices = 250000;
    for (int k = 0; k < vertices; ++k) {  // the last vertex closes the ring
      const double angle = 2.0 * 3.141592653589793 * (k % (vertices - 1)) / (vertices - 1);
      const double radius = k % 100 < 50 ? 2.9 : 1.2;
      star << 3.0 + radius * std::cos(angle) << " " << 43.0 + radius * std::sin(angle) << "\n";
    }
  }

  struct Case {
    const char* what;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"10000 points, run", {KAVLIN_APPLY_BIN, "--drive", "C", "--batch", "points.txt"}},
      {"10000 points, dry run", {KAVLIN_APPLY_BIN, "--drive", "C", "--dry-run", "--batch", "points.txt"}},
      {"504 tiles (14 x 36), dry run", {KAVLIN_APPLY_BIN, "--drive", "C", "--dry-run", "--batch", "tiles.txt"}},
      {"504 tiles (14 x 36), run", {KAVLIN_APPLY_BIN, "--drive", "C", "--batch", "tiles.txt"}},
      {"250000-vertex star, 36 tiles, run", {KAVLIN_APPLY_BIN, "--drive", "C", "--set", "trees", "--polygon", "star.txt"}},
  };
  std::printf("kavlin-apply, peak memory (maximum resident set; %u cores seen)\n", std::thread::hardware_concurrency());
  int failed = 0;
  for (const Case& c : cases) {
    long max_kb = 0;
    const int status = run(c.args, work, drives, max_kb);
    if (status != 0) {
      std::fprintf(stderr, "%s: exit status %d\n", c.what, status);
      failed = 1;
    }
    std::printf("  %-34s %9.1f MB\n", c.what, static_cast<double>(max_kb) / 1024.0);
  }
  fs::remove_all(root);
  return failed;
}
