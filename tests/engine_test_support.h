// The modification engine's tests on small temporary tile databases:
// areas as vertex tables, the plain record-by-record walk the engine must
// match, fills that keep one flag as it is, and the test with its
// database.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/engine_test_db.h"
#include "tiles/engine.h"

namespace kavlin::testing {

// A ring of the given vertices, and a point.
VertexTable ring(const std::vector<std::pair<double, double>>& vertices);
VertexTable point(double lon, double lat);
// The closed ring the driver builds from the north-west and south-east corners.
VertexTable rectangle(double lon1, double lat1, double lon2, double lat2);

// The path of tile (lon, lat) in a snapshot.
std::string key(int32_t lon, int32_t lat);

// The plain record-by-record walk: IN_AREA for every stored grid point of
// every record, the copy written into the neighbour file at once.
void reference_walk(Snapshot& files, const VertexTable& table, int32_t kind);

// Fills that keep one flag clear (or set) everywhere while bits 5-15 vary.
TileDb::WordFill fill_with(int32_t lon, int32_t lat, uint16_t and_mask, uint16_t or_mask);

class EngineTest : public ::testing::Test {
 protected:
  EngineResult run(const VertexTable& table, int32_t kind, bool dry_run = false) {
    EngineOptions options;
    options.dry_run = dry_run;
    EngineResult result = apply_modification(db.files(), 'C', table, kind, options);
    EXPECT_EQ(db.files().open_count(), 0u) << "a file was left open";
    return result;
  }
  void expect_done(const EngineResult& result) {
    EXPECT_EQ(result.outcome, EngineOutcome::Done);
    EXPECT_EQ(result.notice.text, "All modifications are done!");
    EXPECT_EQ(result.notice.caption, "Info");
  }
  TileDb db;
};

}  // namespace kavlin::testing
