// Small tile databases for the tile-file and engine tests: a drives folder
// (named through KAVLIN_DRIVES for the object's lifetime) with drive C and
// tile files filled with known grid words.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/test_support.h"
#include "base/host_file_services.h"

namespace kavlin::testing {

// Files of a database by path -> bytes.
using Snapshot = std::map<std::string, std::string>;

// A distinct word for every stored position of a tile: bits 5-15 non-zero
// and differing from position to position, flag bits 0-4 mixed.
uint16_t pattern_word(int32_t lon_deg, int32_t lat_deg, int32_t record, int32_t word);

// The lock files (LOCK, GATE), the undo records (UNDO, UNDO.<id>) and the
// history in a database's KAVLIN folder: files of every run that
// snapshots of the tiles leave out. (A journal is never left out: no finished run may leave one behind.)
bool is_run_bookkeeping(const std::filesystem::path& path);

class TileDb {
 public:
  using WordFill = std::function<uint16_t(int32_t record, int32_t word)>;

  TileDb();

  // Host folder of drive C and the host path of a tile.
  std::filesystem::path drive_root() const;
  std::filesystem::path tile_file(int32_t lon_deg, int32_t lat_deg) const;

  // Writes a tile of `records` records (plus `extra_bytes` trailing bytes)
  // with the words `fill` gives, pattern_word by default.
  void make_tile(int32_t lon_deg, int32_t lat_deg, int32_t records = 144, int32_t extra_bytes = 0,
                 const WordFill& fill = {});

  // Every file under the drive but the run's bookkeeping, by relative path.
  Snapshot snapshot() const;

  // File services on the test drives (through KAVLIN_DRIVES).
  HostFileServices& files() { return *files_; }

 private:
  TempDir dir_;
  ScopedEnv env_;
  std::unique_ptr<HostFileServices> files_;
};

// The four tiles round the corner (5, 50) that corner_rectangle() crosses,
// E004..E005 x N49..N50: two 3-second and two 6-second.
void make_corner_tiles(TileDb& db, const TileDb::WordFill& fill = {});

// A test on the corner tiles, with their files as they were before it.
class CornerTilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    make_corner_tiles(db);
    before = db.snapshot();
  }
  TileDb db;
  Snapshot before;
};

// The little-endian word at word index `word` of record `record` (from 1)
// in the bytes of a tile file with records of `record_length` bytes.
uint16_t word_at(const std::string& bytes, int32_t record_length, int32_t record, int32_t word);
void set_word_at(std::string& bytes, int32_t record_length, int32_t record, int32_t word, uint16_t value);

}  // namespace kavlin::testing
