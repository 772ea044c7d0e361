// The journal's layout on the device: appends framed as units (this
// release), or bare entries (journals and undo records of earlier
// releases). See journal_format.h for why each append is a unit.
#include <zlib.h>

#include <optional>
#include <random>
#include <string>

#include "tiles/journal_format.h"

namespace kavlin {

namespace {

constexpr uint32_t APPEND_MAGIC = 0x414E4A4B;  // "KJNA" little-endian
constexpr uint32_t ENTRY_MAGIC = 0x4C4E4A4B;   // "KJNL": a bare journal's first bytes
// [magic][length][sequence][run id][head crc32]
constexpr std::size_t HEAD_BYTES = JOURNAL_HEAD_BYTES;
static_assert(HEAD_BYTES == 4 + 4 + 4 + 8 + 4);
constexpr std::size_t TAIL_BYTES = 4;

uint64_t little_endian(std::string_view bytes, std::size_t at, int size) {
  uint64_t v = 0;
  for (int b = 0; b < size; ++b) v |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[at + b])) << (8 * b);
  return v;
}

void put(std::string& out, uint64_t v, int size) {
  for (int b = 0; b < size; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}

uint32_t crc(std::string_view bytes) {
  return static_cast<uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// The head of an append at `at`, when its magic and checksum hold.
struct Head {
  uint32_t length = 0;
  uint32_t sequence = 0;
  uint64_t run_id = 0;
};
std::optional<Head> head_at(std::string_view bytes, std::size_t at) {
  if (bytes.size() < HEAD_BYTES || at > bytes.size() - HEAD_BYTES) return std::nullopt;
  if (little_endian(bytes, at, 4) != APPEND_MAGIC) return std::nullopt;
  if (little_endian(bytes, at + HEAD_BYTES - 4, 4) != crc(bytes.substr(at, HEAD_BYTES - 4))) return std::nullopt;
  return Head{static_cast<uint32_t>(little_endian(bytes, at + 4, 4)),
              static_cast<uint32_t>(little_endian(bytes, at + 8, 4)), little_endian(bytes, at + 12, 8)};
}

// Whether a whole head of a later append of the run (`run_id`, unknown
// when the first head failed) stands anywhere from `from` on: then the
// append that failed before it had been forced, and its failure is damage.
bool later_head(std::string_view bytes, std::size_t from, uint32_t after, std::optional<uint64_t> run_id) {
  std::string mark;
  put(mark, APPEND_MAGIC, 4);
  for (std::size_t at = bytes.find(mark, from); at != std::string_view::npos; at = bytes.find(mark, at + 1)) {
    const std::optional<Head> head = head_at(bytes, at);
    if (head && head->sequence > after && (!run_id || head->run_id == *run_id)) return true;
  }
  return false;
}

Journal decode_appends(std::string_view bytes, char drive) {
  Journal journal;
  journal.framed = true;
  int entry = 0;
  std::optional<uint64_t> run_id;
  std::size_t at = 0;
  for (uint32_t sequence = 0; at < bytes.size(); ++sequence) {
    const std::string name = "append " + std::to_string(sequence + 1);
    // Torn when no whole append of the run follows, damage otherwise.
    auto failed = [&](const std::string& why, bool last) {
      if (last) {
        journal.torn = true;
      } else {
        journal.damaged = true;
        journal.damage = name + " " + why;
      }
    };
    const std::optional<Head> head = head_at(bytes, at);
    if (!head || head->sequence != sequence || (run_id && head->run_id != *run_id)) {
      failed("has a damaged head", !later_head(bytes, at + 1, sequence, run_id));
      break;
    }
    run_id = head->run_id;
    const std::size_t length = head->length;
    if (bytes.size() - at - HEAD_BYTES < length + TAIL_BYTES) {
      journal.torn = true;  // cut short: it reaches beyond the end of the file
      break;
    }
    const std::size_t end = at + HEAD_BYTES + length + TAIL_BYTES;
    if (little_endian(bytes, end - TAIL_BYTES, 4) != crc(bytes.substr(at, HEAD_BYTES + length))) {
      failed("fails its checksum", end == bytes.size());
      break;
    }
    // A whole append: every entry in it must hold.
    if (!decode_entries(bytes.substr(at + HEAD_BYTES, length), drive, journal, entry, true)) break;
    at = end;
  }
  return journal;
}

}  // namespace

std::string encode_journal_append(std::string_view entries, uint32_t sequence, uint64_t run_id) {
  std::string out;
  out.reserve(HEAD_BYTES + entries.size() + TAIL_BYTES);
  put(out, APPEND_MAGIC, 4);
  put(out, entries.size(), 4);
  put(out, sequence, 4);
  put(out, run_id, 8);
  put(out, crc(out), 4);
  out.append(entries);
  put(out, crc(out), 4);
  return out;
}

std::optional<uint64_t> journal_run_id(std::string_view bytes) {
  const std::optional<Head> head = head_at(bytes, 0);
  if (!head || head->sequence != 0) return std::nullopt;
  return head->run_id;
}

uint64_t new_journal_run_id() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

Journal decode_journal(std::string_view bytes, char drive) {
  Journal journal;
  // Bare entries begin with an entry's magic; anything else is read as
  // appends: one that begins with neither lost its first head, and is torn
  // unless a later append of it holds.
  if (bytes.size() >= 4 && little_endian(bytes, 0, 4) == ENTRY_MAGIC) {
    int entry = 0;
    decode_entries(bytes, drive, journal, entry, false);
  } else {
    journal = decode_appends(bytes, drive);
  }
  // An empty file, or one cut inside its first entry, is torn as well.
  if (!journal.valid && !journal.damaged) journal.torn = true;
  return journal;
}

}  // namespace kavlin
