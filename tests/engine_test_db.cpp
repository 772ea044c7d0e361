#include "tests/engine_test_db.h"

#include <stdexcept>

#include "tiles/tile_files.h"
#include "tiles/tile_writer.h"
#include "base/drive_table.h"

namespace kavlin::testing {

uint16_t pattern_word(int32_t lon_deg, int32_t lat_deg, int32_t record, int32_t word) {
  uint32_t h = static_cast<uint32_t>(lon_deg) * 73856093u ^ static_cast<uint32_t>(lat_deg) * 19349663u ^
               static_cast<uint32_t>(record) * 83492791u ^ static_cast<uint32_t>(word) * 2654435761u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return static_cast<uint16_t>(0x0100 | (h & 0xFFE0) | ((h >> 16) & 0x001F));
}

TileDb::TileDb() : env_("KAVLIN_DRIVES", (dir_.path() / "drives").string()) {
  std::filesystem::create_directories(drive_root() / "KAVLIN");
  files_ = std::make_unique<HostFileServices>(DriveTable::from_environment());
}

std::filesystem::path TileDb::drive_root() const { return dir_.path() / "drives" / "c:"; }

std::filesystem::path TileDb::tile_file(int32_t lon_deg, int32_t lat_deg) const {
  return tile_host_path(drive_root(), lon_deg, lat_deg);
}

void TileDb::make_tile(int32_t lon_deg, int32_t lat_deg, int32_t records, int32_t extra_bytes,
                       const WordFill& fill) {
  std::string bytes = tile_file_bytes(TILE_ORIGIN(lon_deg, lat_deg), [&](int32_t r, int32_t w) {
    return fill ? fill(r, w) : pattern_word(lon_deg, lat_deg, r, w);
  }, records);
  for (int32_t n = 0; n < extra_bytes; ++n) bytes.push_back(static_cast<char>(0xA5 ^ n));
  write_tile_file(tile_file(lon_deg, lat_deg), bytes);
}

void make_corner_tiles(TileDb& db, const TileDb::WordFill& fill) {
  for (const int32_t lon : {4, 5}) {
    for (const int32_t lat : {49, 50}) db.make_tile(lon, lat, 144, 0, fill);
  }
}

bool is_run_bookkeeping(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  const bool kept_undo = name.size() == 21 && name.rfind("UNDO.", 0) == 0;
  return (name == "LOCK" || name == "GATE" || name == "UNDO" || name == "HISTORY" || name == "HISTORY.OLD" ||
          kept_undo) &&
         path.parent_path().filename() == "KAVLIN";
}

Snapshot TileDb::snapshot() const {
  Snapshot files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(drive_root())) {
    if (is_run_bookkeeping(entry.path())) continue;
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), drive_root()).string()] = read_file(entry.path());
    }
  }
  return files;
}

namespace {

// Byte position of a word in a tile file's bytes; throws when the word lies
// beyond them.
std::size_t word_position(const std::string& bytes, int32_t record_length, int32_t record, int32_t word) {
  const std::size_t at = static_cast<std::size_t>(record - 1) * static_cast<std::size_t>(record_length) +
                         static_cast<std::size_t>(word) * 2;
  if (at + 2 > bytes.size()) throw std::out_of_range("word beyond the file");
  return at;
}

}  // namespace

uint16_t word_at(const std::string& bytes, int32_t record_length, int32_t record, int32_t word) {
  const std::size_t at = word_position(bytes, record_length, record, word);
  return get_word({reinterpret_cast<const uint8_t*>(bytes.data()) + at, 2}, 0);
}

void set_word_at(std::string& bytes, int32_t record_length, int32_t record, int32_t word, uint16_t value) {
  const std::size_t at = word_position(bytes, record_length, record, word);
  put_word({reinterpret_cast<uint8_t*>(bytes.data()) + at, 2}, 0, value);
}

}  // namespace kavlin::testing
