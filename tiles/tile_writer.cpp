#include "tiles/tile_writer.h"

#include <algorithm>
#include <fstream>
#include <span>
#include <stdexcept>

namespace kavlin {

std::string tile_file_bytes(const TileOrigin& origin, const RecordWordFill& fill, int32_t records) {
  const int32_t length = origin.record_length();
  std::string bytes(static_cast<std::size_t>(records) * static_cast<std::size_t>(length), '\0');
  for (int32_t r = 1; r <= records; ++r) {
    const std::span<uint8_t> record(reinterpret_cast<uint8_t*>(bytes.data()) + static_cast<std::size_t>(r - 1) * length,
                                    static_cast<std::size_t>(length));
    for (int32_t w = 0; w < origin.words_per_record(); ++w) put_word(record, w * 2, fill(r, w));
  }
  return bytes;
}

std::filesystem::path tile_host_path(const std::filesystem::path& drive_root, int32_t LON_DEG, int32_t LAT_DEG) {
  // The tile path without its "X:\", each backslash a folder step.
  std::string path = TILE_PATH('C', TILE_NAME(LON_DEG, LAT_DEG)).substr(3);
  std::replace(path.begin(), path.end(), '\\', '/');
  return drive_root / path;
}

void write_tile_file(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) throw std::runtime_error("cannot create folder " + path.parent_path().string() + ": " + ec.message());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot create " + path.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace kavlin
