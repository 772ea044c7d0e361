// What the run journal costs: one modification through the engine alone
// against the same modification run journaled (lock, journal entries
// forced to the disk before each file, the commit to the undo record).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "polygon/rectangle.h"
#include "tiles/engine.h"
#include "tiles/safe_run.h"
#include "tiles/tile_files.h"
#include "tiles/tile_writer.h"
#include "ui/drive_table.h"
#include "ui/host_file_services.h"

namespace {

using namespace kavlin;

// The 36 tiles E010..E015 x N40..N45 of drive C under the temporary
// folder, removed at exit.
class BenchDb {
 public:
  BenchDb() {
    std::string templ = (std::filesystem::temp_directory_path() / "kavlin-bench-journal-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    for (int32_t lon = 10; lon <= 15; ++lon) {
      for (int32_t lat = 40; lat <= 45; ++lat) {
        const TileOrigin origin = TILE_ORIGIN(lon, lat);
        const std::string bytes = tile_file_bytes(origin, [&](int32_t record, int32_t word) {
          const std::size_t n = static_cast<std::size_t>(record - 1) * origin.record_length() + 2u * word;
          return static_cast<uint16_t>(0x0100 | ((n * 2654435761u) >> 11 & 0xFFE0));
        });
        write_tile_file(tile_host_path(root_ / "c:", lon, lat), bytes);
      }
    }
    files_ = std::make_unique<HostFileServices>(DriveTable(root_.string()));
  }
  ~BenchDb() {
    files_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  HostFileServices& files() { return *files_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<HostFileServices> files_;
};

BenchDb& db() {
  static BenchDb instance;
  return instance;
}

VertexTable rectangle(double lon1, double lat1, double lon2, double lat2) {
  VertexTable table;
  fill_rectangle_ring(table, lon1, lat1, lon2, lat2);
  return table;
}

// Alternates set and clear of trees so that every run changes its words.
void run(benchmark::State& state, const VertexTable& table, bool journaled) {
  int32_t kind = 9;
  int64_t words = 0;
  for (auto _ : state) {
    if (journaled) {
      const DatabaseLock lock(db().files(), 'C');
      recover_journal(db().files(), 'C');
      const SafeRunResult result = run_journaled(db().files(), 'C', table, kind);
      if (result.engine.outcome != EngineOutcome::Done) state.SkipWithError("run failed");
      words = result.engine.words_changed;
    } else {
      const EngineResult result = apply_modification(db().files(), 'C', table, kind);
      if (result.outcome != EngineOutcome::Done) state.SkipWithError("run failed");
      words = result.words_changed;
    }
    kind = kind == 9 ? 10 : 9;
  }
  state.counters["words_changed"] = static_cast<double>(words);
}

// Nearly every word of all 36 tiles changes: the journal's worst case.
void BM_SixBySix_Engine(benchmark::State& state) {
  run(state, rectangle(10.0005, 45.9995, 15.9995, 40.0005), false);
}
void BM_SixBySix_Journaled(benchmark::State& state) {
  run(state, rectangle(10.0005, 45.9995, 15.9995, 40.0005), true);
}
// A small area inside one tile (E012N42): some hundred words change.
void BM_OneTileSmallArea_Engine(benchmark::State& state) {
  run(state, rectangle(12.5, 42.52, 12.52, 42.5), false);
}
void BM_OneTileSmallArea_Journaled(benchmark::State& state) {
  run(state, rectangle(12.5, 42.52, 12.52, 42.5), true);
}

}  // namespace

BENCHMARK(BM_SixBySix_Engine)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_SixBySix_Journaled)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_OneTileSmallArea_Engine)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_OneTileSmallArea_Journaled)->Unit(benchmark::kMillisecond)->Iterations(10);

BENCHMARK_MAIN();
