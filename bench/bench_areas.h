// What the benchmarks share: the areas, as polygon files; the median of a
// set of timings; whole programs run as children (timed, their memory and
// their writes told); and the I/O floor of a set of files.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kavlin::bench {

// The star: 25000 vertices, 100 tips, centred on 9 E 47 N, reaching from
// about 6.05 to 11.95 E and 44.05 to 49.95 N (all 36 tiles E006..E011 x
// N44..N49 touched, no vertex on a whole degree).
void write_star(const std::filesystem::path& path);

// The comb: 25000 vertices, 6250 slightly slanted teeth pointing north from
// a spine along the south (44.05 to 44.35 N), from about 6.05 to 11.95 E up
// to 49.95 N. Every row of grid points above the spine crosses 12,500 edges.
void write_comb(const std::filesystem::path& path);

double median(std::vector<double> values);

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point start);
// The load averages of /proc/loadavg ("0.79 0.89 0.95").
std::string load_average();

// A finished child: its time from the start to its end, its exit status,
// its largest resident set, its processor time (user + system), what
// /proc/<pid>/io tells it wrote (write_bytes, wchar; -1 when unknown) and
// its standard output.
struct Child {
  double seconds = 0.0;
  int status = -1;
  long max_rss_kib = 0;
  double cpu_seconds = 0.0;
  long long write_bytes = -1;
  long long wchar = -1;
  std::string out;
};

// Runs `args` (the program first) in `cwd` (here when empty), with
// KAVLIN_DRIVES set to `drives` when it is not empty, standard output to
// `out` (read back into Child::out unless it is /dev/null) and standard
// error to `err` (its own when empty).
Child run_child(const std::vector<std::string>& args, const std::filesystem::path& drives,
                const std::filesystem::path& out = "/dev/null", const std::filesystem::path& err = {},
                const std::filesystem::path& cwd = {});

// The I/O floor of `files`: each read whole in 1 MiB pieces, one after
// another, and with `write_back` written back in place, forced to the disk
// and closed; its seconds.
double io_floor(const std::vector<std::filesystem::path>& files, bool write_back);

}  // namespace kavlin::bench
