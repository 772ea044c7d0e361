// libFuzzer target: any bytes, taken as a journal or an undo record, must
// decode without fault and within bounded memory (the run sets a memory
// limit), and whatever decodes as usable must describe tiles of the
// database only: a tile path of the database, that tile kind's record
// length, records 1 to 144 in ascending order, no word beyond a record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tiles/journal_format.h"
#include "tiles/tile_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const kavlin::Journal journal =
      kavlin::decode_journal(std::string_view(reinterpret_cast<const char*>(data), size), 'D');
  if (journal.damaged && journal.damage.empty()) std::abort();
  for (const kavlin::JournalFile& file : journal.files) {
    if (file.path.size() < 3 || !kavlin::journal_tile_path_valid(std::string_view(file.path).substr(3))) std::abort();
    if (file.record_length != kavlin::TILE_ORIGIN(file.tile_name()).record_length()) std::abort();
    const int32_t words = file.record_length / 2;
    int32_t previous = 0;
    for (const kavlin::JournalRecord& record : file.records) {
      if (record.record <= previous || record.record > kavlin::RECORDS_PER_TILE) std::abort();
      previous = record.record;
      if (record.changed.size() != kavlin::bitmap_bytes(words)) std::abort();
      if (words % 8 != 0 && (record.changed.back() >> (words % 8)) != 0) std::abort();
    }
  }
  return 0;
}
