#include "tests/engine_test_db.h"

#include "tiles/tile_files.h"
#include "ui/drive_table.h"

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
  const std::string name = TILE_NAME(lon_deg, lat_deg);
  return drive_root() / "KAVLIN" / name.substr(0, 4) / name;
}

void TileDb::make_tile(int32_t lon_deg, int32_t lat_deg, int32_t records, int32_t extra_bytes,
                       const WordFill& fill) {
  const int32_t length = lat_deg >= SIX_SECOND_FROM_LAT ? RECORD_LENGTH_6S : RECORD_LENGTH_3S;
  std::string bytes(static_cast<std::size_t>(records) * length + extra_bytes, '\0');
  for (int32_t r = 1; r <= records; ++r) {
    for (int32_t w = 0; w < length / 2; ++w) {
      const uint16_t word = fill ? fill(r, w) : pattern_word(lon_deg, lat_deg, r, w);
      set_word_at(bytes, length, r, w, word);
    }
  }
  for (int32_t n = 0; n < extra_bytes; ++n) {
    bytes[static_cast<std::size_t>(records) * length + n] = static_cast<char>(0xA5 ^ n);
  }
  const auto path = tile_file(lon_deg, lat_deg);
  std::filesystem::create_directories(path.parent_path());
  write_file(path, bytes);
}

std::map<std::string, std::string> TileDb::snapshot() const {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(drive_root())) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), drive_root()).string()] = read_file(entry.path());
    }
  }
  return files;
}

uint16_t word_at(const std::string& bytes, int32_t record_length, int32_t record, int32_t word) {
  const std::size_t at = static_cast<std::size_t>(record - 1) * record_length + static_cast<std::size_t>(word) * 2;
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes.at(at)) | (static_cast<uint8_t>(bytes.at(at + 1)) << 8));
}

void set_word_at(std::string& bytes, int32_t record_length, int32_t record, int32_t word, uint16_t value) {
  const std::size_t at = static_cast<std::size_t>(record - 1) * record_length + static_cast<std::size_t>(word) * 2;
  bytes.at(at) = static_cast<char>(value & 0xFF);
  bytes.at(at + 1) = static_cast<char>(value >> 8);
}

}  // namespace kavlin::testing
