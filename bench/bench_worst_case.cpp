// The largest modification the editor accepts, against the I/O it cannot
// avoid: 36 three-second tiles (E006..E011 x N44..N49, 106 MB) and
//   - a 100-pointed star of 25000 vertices centred on 9 E 47 N that reaches
//     from about 6.05 to 11.95 E and 44.05 to 49.95 N, read from a polygon
//     file the benchmark writes (every tile touched, no vertex on a whole
//     degree);
//   - a rectangle covering the 36 tiles all but a 0.0001-degree margin.
// For each, the engine alone, the journaled run (lock, recovery check, the
// engine through the journal, the commit to the undo record: what
// kavlin-apply does) and the I/O floor of the same files (every record
// read and rewritten in place, fsync, close; one process, the same file
// services) are measured alternately in one run and printed side by side
// with both ratios to the floor (medians of the rounds), with the engine's
// dry run (everything read and worked out, nothing written) and the size
// of the undo record for comparison.
//
// Usage: kavlin_bench_worst_case [rounds [star|rectangle]]
//        (default 5 rounds, both cases)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_areas.h"
#include "polygon/polygon_reader.h"
#include "tiles/engine.h"
#include "tiles/safe_run.h"
#include "polygon/rectangle.h"
#include "tiles/tile_files.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

namespace {

using namespace kavlin;
using Clock = std::chrono::steady_clock;
using bench::median;

constexpr int32_t LON_FIRST = 6, LON_LAST = 11, LAT_FIRST = 44, LAT_LAST = 49;

// A drives folder under the temporary folder with drive C, removed at exit.
class Database {
 public:
  Database() {
    std::string templ = (std::filesystem::temp_directory_path() / "kavlin-worst-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    std::filesystem::create_directories(drive());
    files_ = std::make_unique<HostFileServices>(DriveTable(root_.string()));
  }
  ~Database() {
    files_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  std::filesystem::path drive() const { return root_ / "c:"; }
  HostFileServices& files() { return *files_; }

  void make_tile(int32_t lon, int32_t lat) {
    const std::string name = TILE_NAME(lon, lat);
    const auto dir = drive() / "KAVLIN" / name.substr(0, 4);
    std::filesystem::create_directories(dir);
    const int32_t length = TILE_ORIGIN(name).record_length();
    std::vector<uint8_t> bytes(static_cast<std::size_t>(length) * RECORDS_PER_TILE);
    const std::span<uint8_t> all(bytes);
    for (std::size_t n = 0; n < bytes.size(); n += 2) {
      // Bits 5-15 vary, flags mixed.
      put_word(all, static_cast<int32_t>(n), static_cast<uint16_t>((n * 2654435761u) >> 9));
    }
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
  }

 private:
  std::filesystem::path root_;
  std::unique_ptr<HostFileServices> files_;
};

VertexTable rectangle(double lon1, double lat1, double lon2, double lat2) {
  VertexTable t;
  fill_rectangle_ring(t, lon1, lat1, lon2, lat2);
  return t;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One engine run; alternates set and clear so that every run changes words.
// A dry run reads and works out everything but writes nothing.
double time_engine(Database& db, const VertexTable& table, int32_t& kind, int64_t& words, bool dry_run = false) {
  EngineOptions options;
  options.dry_run = dry_run;
  const auto start = Clock::now();
  const EngineResult result = apply_modification(db.files(), 'C', table, kind, options);
  const double s = seconds_since(start);
  if (result.outcome != EngineOutcome::Done || result.tiles_rewritten != (dry_run ? 0 : 36)) {
    throw std::runtime_error("engine: " + result.notice.text);
  }
  words = result.words_changed;
  if (!dry_run) kind = kind == 9 ? 10 : 9;
  return s;
}

// One journaled run as kavlin-apply makes it; alternates like time_engine.
double time_journaled(Database& db, const VertexTable& table, int32_t& kind, int64_t& words) {
  const auto start = Clock::now();
  {
    const DatabaseLock lock(db.files(), 'C');
    const Recovery recovery = recover_journal(db.files(), 'C');
    if (recovery.state != Recovery::State::None) throw std::runtime_error("a journal was left behind");
    const SafeRunResult result = run_journaled(db.files(), 'C', table, kind);
    if (result.engine.outcome != EngineOutcome::Done || result.engine.tiles_rewritten != 36) {
      throw std::runtime_error("journaled: " + result.engine.notice.text);
    }
    words = result.engine.words_changed;
  }
  const double s = seconds_since(start);
  kind = kind == 9 ? 10 : 9;
  return s;
}

// Every record of the 36 files read and rewritten in place, each file
// flushed to the disk and closed: what any modification must do at least.
double time_io_floor(Database& db) {
  std::vector<uint8_t> buffer(RECORD_LENGTH_3S);
  const auto start = Clock::now();
  for (int32_t lon = LON_FIRST; lon <= LON_LAST; ++lon) {
    for (int32_t lat = LAT_FIRST; lat <= LAT_LAST; ++lat) {
      const std::string name = TILE_NAME(lon, lat);
      const int32_t length = TILE_ORIGIN(name).record_length();
      const std::span<uint8_t> record(buffer.data(), length);
      int32_t unit = 0;
      if (OPEN_TILE(db.files(), unit, TILE_PATH('C', name), length) != 0) throw std::runtime_error("open " + name);
      for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
        if (READ_BLOCK(db.files(), unit, r, record) != 0 || WRITE_BLOCK(db.files(), unit, r, record) != 0) {
          throw std::runtime_error("transfer " + name);
        }
      }
      if (db.files().FLUSH_FILE(unit) != 0 || db.files().CLOSE_FILE(unit) != 0) {
        throw std::runtime_error("flush " + name);
      }
    }
  }
  return seconds_since(start);
}

void run_case(Database& db, const char* label, const VertexTable& table, int32_t rounds) {
  int32_t kind = 9;
  int64_t words = 0, journaled_words = 0, dry_words = 0;
  time_engine(db, table, kind, words);  // warm the page cache and the code
  time_journaled(db, table, kind, journaled_words);
  time_io_floor(db);
  std::vector<double> engine, journaled, floor, dry;
  for (int32_t round = 0; round < rounds; ++round) {
    engine.push_back(time_engine(db, table, kind, words));
    journaled.push_back(time_journaled(db, table, kind, journaled_words));
    floor.push_back(time_io_floor(db));
    dry.push_back(time_engine(db, table, kind, dry_words, true));
  }
  if (journaled_words != words) throw std::runtime_error("the journaled run changed other words");
  std::error_code ec;
  const auto undo_bytes = std::filesystem::file_size(db.drive() / "KAVLIN" / "UNDO", ec);
  const double e = median(engine), j = median(journaled), f = median(floor);
  std::printf("%-26s %8.3f %8.3f %8.3f %7.2f %7.2f %8.3f %8.3f %8.3f %8.3f %10lld %8.2f\n", label, e, j, f, e / f,
              j / f, *std::min_element(engine.begin(), engine.end()),
              *std::min_element(journaled.begin(), journaled.end()), *std::min_element(floor.begin(), floor.end()),
              median(dry), static_cast<long long>(words), ec ? -1.0 : static_cast<double>(undo_bytes) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string only = argc > 2 ? argv[2] : "";
  try {
    Database db;
    for (int32_t lon = LON_FIRST; lon <= LON_LAST; ++lon) {
      for (int32_t lat = LAT_FIRST; lat <= LAT_LAST; ++lat) db.make_tile(lon, lat);
    }
    bench::write_star(db.drive() / "STAR.TXT");
    VertexTable star;
    const PolygonReadResult read = read_polygon_file(db.files(), "C:\\STAR.TXT", star);
    if (read.status != STATUS_OK || star.NREC != MAX_VERTICES) throw std::runtime_error("polygon: " + read.notice.text);

    std::printf("36 tiles of 3 seconds (E006..E011 x N44..N49), %u cores, medians of %d rounds, seconds\n",
                std::thread::hardware_concurrency(), rounds);
    std::printf("%-26s %8s %8s %8s %7s %7s %8s %8s %8s %8s %10s %8s\n", "case", "engine", "journal", "floor",
                "e/floor", "j/floor", "e min", "j min", "f min", "dry run", "words", "undo MB");
    if (only.empty() || only == "star") run_case(db, "star, 25000 vertices", star, rounds);
    if (only.empty() || only == "rectangle") {
      run_case(db, "rectangle, 36 full tiles", rectangle(6.0001, 49.9999, 11.9999, 44.0001), rounds);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kavlin_bench_worst_case: %s\n", e.what());
    return 1;
  }
  return 0;
}
