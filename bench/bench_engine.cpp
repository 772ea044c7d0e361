// The modification engine on generated tile databases, against the floor
// of plain record I/O (the same records read, rewritten, flushed and
// closed through the same file services, without any area test).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "polygon/area_rules.h"
#include "tiles/engine.h"
#include "polygon/rectangle.h"
#include "tiles/tile_files.h"
#include "tiles/tile_writer.h"
#include "base/drive_table.h"
#include "base/host_file_services.h"

namespace {

using namespace kavlin;

// A drives folder under the temporary folder with drive C, removed at exit.
class BenchDb {
 public:
  BenchDb() {
    std::string templ = (std::filesystem::temp_directory_path() / "kavlin-bench-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    std::filesystem::create_directories(root_ / "c:" / "KAVLIN");
    files_ = std::make_unique<HostFileServices>(DriveTable(root_.string()));
  }
  ~BenchDb() {
    files_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  void make_tile(int32_t lon, int32_t lat) {
    const TileOrigin origin = TILE_ORIGIN(lon, lat);
    const std::string bytes = tile_file_bytes(origin, [&](int32_t record, int32_t word) {
      // The word's byte offset in the file, spread over bits 5..15.
      const std::size_t n = static_cast<std::size_t>(record - 1) * origin.record_length() + 2u * word;
      return static_cast<uint16_t>(0x0100 | ((n * 2654435761u) >> 11 & 0xFFE0));
    });
    write_tile_file(tile_host_path(root_ / "c:", lon, lat), bytes);
  }

  HostFileServices& files() { return *files_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<HostFileServices> files_;
};

// One database for all benchmarks: E005N49 alone, and the 36 tiles
// E010..E015 x N40..N45.
BenchDb& db() {
  static BenchDb instance;
  static const bool made = [] {
    instance.make_tile(5, 49);
    for (int32_t lon = 10; lon <= 15; ++lon) {
      for (int32_t lat = 40; lat <= 45; ++lat) instance.make_tile(lon, lat);
    }
    return true;
  }();
  (void)made;
  return instance;
}

VertexTable rectangle(double lon1, double lat1, double lon2, double lat2) {
  VertexTable t;
  fill_rectangle_ring(t, lon1, lat1, lon2, lat2);
  return t;
}

void run_engine(benchmark::State& state, const VertexTable& table) {
  int32_t kind = 9;
  int64_t words = 0;
  for (auto _ : state) {
    const EngineResult result = apply_modification(db().files(), 'C', table, kind);
    if (result.outcome != EngineOutcome::Done) {
      state.SkipWithError(result.notice.text.c_str());
      break;
    }
    words = result.words_changed;
    kind = kind == 9 ? 10 : 9;  // alternate so that every run changes words
  }
  state.counters["words_changed"] = static_cast<double>(words);
}

// Reads and rewrites every record of the tiles, nothing else.
void run_io_floor(benchmark::State& state, int32_t lon_first, int32_t lon_last, int32_t lat_first,
                  int32_t lat_last) {
  std::vector<uint8_t> buffer(RECORD_LENGTH_3S);
  for (auto _ : state) {
    for (int32_t lon = lon_first; lon <= lon_last; ++lon) {
      for (int32_t lat = lat_first; lat <= lat_last; ++lat) {
        const std::string name = TILE_NAME(lon, lat);
        const int32_t length = TILE_ORIGIN(name).record_length();
        const std::span<uint8_t> record(buffer.data(), length);
        int32_t unit = 0;
        if (OPEN_TILE(db().files(), unit, TILE_PATH('C', name), length) != 0) {
          state.SkipWithError("open failed");
          return;
        }
        for (int32_t r = 1; r <= RECORDS_PER_TILE; ++r) {
          if (READ_BLOCK(db().files(), unit, r, record) != 0 || WRITE_BLOCK(db().files(), unit, r, record) != 0) {
            state.SkipWithError("transfer failed");
            return;
          }
        }
        db().files().FLUSH_FILE(unit);
        db().files().CLOSE_FILE(unit);
      }
    }
  }
}

void BM_OneTileRectangle(benchmark::State& state) {
  run_engine(state, rectangle(5.0005, 49.9995, 5.9995, 49.0005));
}
void BM_OneTileIoFloor(benchmark::State& state) { run_io_floor(state, 5, 5, 49, 49); }

void BM_SixBySixRectangle(benchmark::State& state) {
  run_engine(state, rectangle(10.0005, 45.9995, 15.9995, 40.0005));
}
void BM_SixBySixIoFloor(benchmark::State& state) { run_io_floor(state, 10, 15, 40, 45); }

// A ring of 25000 vertices (a wavy circle) inside E005N49.
void BM_OneTilePolygon25000(benchmark::State& state) {
  VertexTable t;
  const double pi = std::acos(-1.0);
  for (int32_t n = 1; n <= MAX_VERTICES; ++n) {
    const double a = 2.0 * pi * (n - 1) / MAX_VERTICES;
    const double radius = 0.45 * (1.0 + 0.05 * std::sin(97.0 * a));
    t.add_vertex(5.5 + radius * std::cos(a), 49.5 + radius * std::sin(a));
  }
  run_engine(state, t);
}

}  // namespace

BENCHMARK(BM_OneTileRectangle)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_OneTileIoFloor)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_SixBySixRectangle)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SixBySixIoFloor)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OneTilePolygon25000)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
