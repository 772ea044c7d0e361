// Whole kavlin-apply processes, as a user runs them, beside the I/O floor
// of the same files measured in the same run:
//   - a rectangle over 2 x 2 tiles (E006..E007 x N44..N45, all but a
//     0.0001-degree margin),
//   - the 25000-vertex star over the 36 tiles E006..E011 x N44..N49,
//   - the 25000-vertex comb (6250 teeth) over the same 36 tiles,
//   - a single grid point (8.5 E 46.5 N, a block corner: four records),
//   - a batch of 1000 lakes (24-vertex polygons) over the same 36 tiles.
// The floor is what a copy program does at least: every byte of each file
// the run rewrites (its tiles and the neighbour tiles receiving edge
// copies, as the run's own dry run lists them) read and written back in
// 1 MiB pieces, fsync, close; one file after another in this process.
// Each round runs every case once, alternately setting and clearing the
// trees flag so that every run changes words; the figures are medians.
//
// For the single point and for a run that changes no word (the same point
// set twice) the bench also shows what the child wrote: write_bytes and
// wchar from /proc/<pid>/io (read before the child is reaped; write_bytes
// counts the pages it dirtied in any file, journal and undo record
// included; wchar every byte passed to write calls, its report included)
// and the tile files whose modification time changed.
//
// Usage: kavlin_bench_process [rounds [case ...]]   (default 5 rounds)
//        cases: rectangle star comb point lakes
// The scratch database lives under $TMPDIR (or /tmp); it should be on a
// disk, not in memory, for the floor to mean anything.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_areas.h"
#include "tiles/tile_files.h"
#include "tools/demo_db.h"

#ifndef KAVLIN_APPLY_BIN
#error "KAVLIN_APPLY_BIN must name the kavlin-apply program"
#endif

namespace {

using namespace kavlin;
using bench::Child;
using bench::Clock;
using bench::load_average;
namespace fs = std::filesystem;

constexpr int32_t LON_FIRST = 6, LON_LAST = 11, LAT_FIRST = 44, LAT_LAST = 49;

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The scratch database: a drives folder with drive C under the temporary
// folder, removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string templ = (fs::temp_directory_path() / "kavlin-process-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const fs::path& root() const { return root_; }
  fs::path drive() const { return root_ / "c:"; }
  fs::path tile_path(const std::string& name) const { return drive() / "KAVLIN" / name.substr(0, 4) / name; }

 private:
  fs::path root_;
};

// Runs kavlin-apply with `args` in the scratch folder, its drives there,
// and times it from the spawn to its end. Throws unless it exits with 0.
Child run_apply(const Scratch& scratch, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KAVLIN_APPLY_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  const fs::path err_path = scratch.root() / "apply.err";
  const Child child = bench::run_child(argv, scratch.root(), scratch.root() / "apply.out", err_path, scratch.root());
  if (child.status != 0) {
    std::string command;
    for (const std::string& a : argv) command += " " + a;
    throw std::runtime_error("kavlin-apply failed:" + command + "\n" + child.out + read_text(err_path));
  }
  return child;
}

// The files a run rewrites, from its dry run's two lists.
std::vector<fs::path> files_of(const Scratch& scratch, const std::vector<std::string>& area) {
  std::vector<std::string> args = {"--drive", "C", "--dry-run"};
  if (area.empty() || area.front() != "--batch") args.insert(args.end(), {"--set", "trees"});
  args.insert(args.end(), area.begin(), area.end());
  const Child dry = run_apply(scratch, args);
  std::vector<fs::path> files;
  std::istringstream lines(dry.out);
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    const std::string head = line.substr(0, colon);
    if (head != "tiles that would be rewritten" && head != "neighbour tiles that would receive copies") continue;
    std::istringstream names(line.substr(colon + 2));
    for (std::string name; names >> name;) {
      if (name != "none") files.push_back(scratch.tile_path(name));
    }
  }
  if (files.empty()) throw std::runtime_error("the dry run lists no tile:\n" + dry.out);
  return files;
}

struct Case {
  Case(std::string k, std::string l, std::vector<std::string> a)
      : key(std::move(k)), label(std::move(l)), area(std::move(a)) {}
  std::string key;
  std::string label;
  std::vector<std::string> area;
  // A batch instead of an area: the files whose lines set, and clear, the
  // flag.
  std::string batch_set, batch_clear;
  std::vector<fs::path> files;
  bool set = true;  // the next run sets the flag, else clears it
  std::vector<double> process, floor, cpu;
};

Child run_case(const Scratch& scratch, Case& c) {
  std::vector<std::string> args = {"--drive", "C", c.set ? "--set" : "--clear", "trees"};
  args.insert(args.end(), c.area.begin(), c.area.end());
  if (!c.batch_set.empty()) args = {"--drive", "C", "--batch", c.set ? c.batch_set : c.batch_clear};
  c.set = !c.set;
  return run_apply(scratch, args);
}

// 1000 lakes of 24 vertices each, 0.005 to 0.05 degrees across, over the
// 36 tiles, as area files and two batches of them (set, clear).
void write_lakes(const fs::path& dir, Case& c) {
  fs::create_directories(dir);
  std::mt19937 random(1000);
  std::uniform_real_distribution<double> lon(LON_FIRST + 0.06, LON_LAST + 0.94), lat(LAT_FIRST + 0.06, LAT_LAST + 0.94),
      size(0.005, 0.05);
  std::ofstream set(dir / "set.txt"), clear(dir / "clear.txt");
  for (int n = 0; n < 1000; ++n) {
    const double x = lon(random), y = lat(random), r = size(random);
    std::ofstream lake(dir / (std::to_string(n) + ".txt"));
    lake.precision(17);
    for (int v = 0; v <= 24; ++v) {
      const double a = 2 * 3.14159265358979 * (v % 24) / 24;
      const double wobble = 1.0 + 0.3 * std::sin(5 * a + n);
      lake << x + r * wobble * std::cos(a) << " " << y + 0.7 * r * wobble * std::sin(a) << "\n";
    }
    set << "--set trees --polygon " << n << ".txt\n";
    clear << "--clear trees --polygon " << n << ".txt\n";
  }
  c.batch_set = (dir / "set.txt").string();
  c.batch_clear = (dir / "clear.txt").string();
  c.area = {"--batch", c.batch_set};
}

// Modification times of every tile of the database.
std::map<fs::path, timespec> tile_times(const Scratch& scratch) {
  std::map<fs::path, timespec> times;
  for (const auto& entry : fs::recursive_directory_iterator(scratch.drive() / "KAVLIN")) {
    struct stat st {};
    if (entry.is_regular_file() && ::stat(entry.path().c_str(), &st) == 0) times[entry.path()] = st.st_mtim;
  }
  return times;
}

int changed_tiles(const std::map<fs::path, timespec>& before, const std::map<fs::path, timespec>& after) {
  int changed = 0;
  for (const auto& [path, time] : after) {
    if (path.extension() != ".33M" && path.extension() != ".36M") continue;
    const auto was = before.find(path);
    if (was == before.end() || was->second.tv_sec != time.tv_sec || was->second.tv_nsec != time.tv_nsec) ++changed;
  }
  return changed;
}

// What one point run writes: a run that changes words, then the same run
// again, which changes none.
void bytes_written(const Scratch& scratch, const std::vector<std::string>& point) {
  std::vector<std::string> args = {"--drive", "C", "--clear", "trees"};
  args.insert(args.end(), point.begin(), point.end());
  run_apply(scratch, args);  // the point's trees flag is clear now
  args[2] = "--set";
  std::printf("\n%-34s %12s %12s %8s  %s\n", "what the child wrote", "write_bytes", "wchar", "tiles", "report");
  for (const char* label : {"single point, changes its word", "single point again, changes nothing"}) {
    const auto before = tile_times(scratch);
    const Child child = run_apply(scratch, args);
    const auto after = tile_times(scratch);
    std::string report = child.out;
    for (char& ch : report) {
      if (ch == '\n') ch = ';';
    }
    std::printf("%-34s %12lld %12lld %8d  %s\n", label, child.write_bytes, child.wchar, changed_tiles(before, after),
                report.c_str());
  }
  std::printf("(write_bytes: bytes of pages the child dirtied in any file, journal and undo record included;\n"
              " wchar: bytes passed to write calls, its report included; tiles: tile files whose mtime changed;\n"
              " one record is %d bytes)\n",
              RECORD_LENGTH_3S);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
  auto wanted = [&](const std::string& key) {
    return only.empty() || std::find(only.begin(), only.end(), key) != only.end();
  };
  try {
    Scratch scratch;
    std::vector<demo::TileId> tiles;
    for (int32_t lon = LON_FIRST; lon <= LON_LAST; ++lon) {
      for (int32_t lat = LAT_FIRST; lat <= LAT_LAST; ++lat) tiles.push_back({lon, lat});
    }
    demo::write_database(scratch.drive(), tiles, demo::demo_word);
    const fs::path star = scratch.root() / "star.txt";
    const fs::path comb = scratch.root() / "comb.txt";
    bench::write_star(star);
    bench::write_comb(comb);

    std::vector<Case> cases;
    if (wanted("rectangle")) {
      cases.push_back(Case("rectangle", "rectangle, 2 x 2 tiles", {"--rect", "6.0001", "45.9999", "7.9999", "44.0001"}));
    }
    if (wanted("star")) cases.push_back(Case("star", "star, 36 tiles, 25000 vertices", {"--polygon", star.string()}));
    if (wanted("comb")) cases.push_back(Case("comb", "comb, 36 tiles, 6250 teeth", {"--polygon", comb.string()}));
    if (wanted("point")) cases.push_back(Case("point", "single grid point", {"--point", "8.5", "46.5"}));
    if (wanted("lakes")) {
      cases.push_back(Case("lakes", "batch of 1000 lakes, 36 tiles", {}));
      write_lakes(scratch.root() / "lakes", cases.back());
    }

    const std::string load_before = load_average();
    for (Case& c : cases) {
      c.files = files_of(scratch, c.area);
      run_case(scratch, c);  // warm the page cache and the program
      bench::io_floor(c.files, true);
    }
    for (int round = 0; round < rounds; ++round) {
      for (Case& c : cases) {
        const Child child = run_case(scratch, c);
        c.process.push_back(child.seconds);
        c.cpu.push_back(child.cpu_seconds);
        c.floor.push_back(bench::io_floor(c.files, true));
      }
    }

    std::printf("kavlin-apply whole processes beside the I/O floor of the same files (read + rewrite + fsync,\n"
                "one process), %u cores, medians of %d rounds, seconds; load average %s before, %s after\n",
                std::thread::hardware_concurrency(), rounds, load_before.c_str(), load_average().c_str());
    std::printf("%-32s %5s %9s %9s %7s %9s %9s %9s\n", "case", "files", "process", "floor", "ratio", "proc min",
                "floor min", "CPU");
    for (const Case& c : cases) {
      const double p = bench::median(c.process), f = bench::median(c.floor);
      std::printf("%-32s %5zu %9.3f %9.3f %7.2f %9.3f %9.3f %9.3f\n", c.label.c_str(), c.files.size(), p, f, p / f,
                  *std::min_element(c.process.begin(), c.process.end()),
                  *std::min_element(c.floor.begin(), c.floor.end()), bench::median(c.cpu));
    }
    if (wanted("point")) bytes_written(scratch, {"--point", "8.5", "46.5"});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavlin_bench_process: %s\n", e.what());
    return 1;
  }
  return 0;
}
