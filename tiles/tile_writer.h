// Whole tile files written on the host: the demo database, the tests'
// and the benchmarks' databases. The editor and kavlin-apply never create
// a tile file; they only rewrite records of existing ones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "tiles/tile_files.h"

namespace kavlin {

// The grid word at word index `word` (from 0) of record `record` (from 1).
using RecordWordFill = std::function<uint16_t(int32_t record, int32_t word)>;

// The bytes of records 1 to `records` of tile `origin` (its record length
// follows from its spacing), every grid word from `fill`, little-endian.
std::string tile_file_bytes(const TileOrigin& origin, const RecordWordFill& fill,
                            int32_t records = RECORDS_PER_TILE);

// Host path of a tile below a drive's folder, laid out as the tile path
// (TILE_PATH): drive_root/KAVLIN/E006/E006N49.33M.
std::filesystem::path tile_host_path(const std::filesystem::path& drive_root, int32_t LON_DEG, int32_t LAT_DEG);

// Writes `bytes` to `path`, creating the missing folders above it and
// creating or truncating the file. Throws std::runtime_error when a folder
// or the file cannot be written.
void write_tile_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace kavlin
