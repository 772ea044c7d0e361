#include "tiles/journal.h"

#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KAVLIN_HASH_AVX2 1
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/ascii_text.h"
#include "base/database_folder.h"

namespace kavlin {

namespace {

constexpr uint32_t ENTRY_MAGIC = 0x4C4E4A4B;  // "KJNL" little-endian
constexpr uint8_t ENTRY_START = 1;
constexpr uint8_t ENTRY_FILE = 2;
constexpr uint8_t ENTRY_STEPS_FILE = 3;  // a file of a run of several modifications
constexpr uint32_t FORMAT_VERSION = 2;
// Bounds a damaged length field; a file entry of a 3-second tile whose
// every word changes stays far below it.
constexpr uint32_t MAX_ENTRY = 64u << 20;
// How a record's changed words are stored.
constexpr uint8_t FORM_RUNS = 0;    // u16 count, then (u16 first, u16 count) each
constexpr uint8_t FORM_BITMAP = 1;  // the bitmap as it is

// A word of a record write that is not the run's operation on the word
// read: the journal could not undo it.
constexpr int32_t kNotTheRunsChange = EINVAL;
// A second name of a file already opened.
constexpr int32_t kSharedFile = EEXIST;

void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
void put_u32(std::string& out, uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((v >> (8 * b)) & 0xFF));
}

// Reads little-endian values from a payload; `ok` turns false on reading
// beyond its end.
struct Reader {
  std::string_view bytes;
  std::size_t pos = 0;
  bool ok = true;
  uint64_t get(int size) {
    if (!ok || bytes.size() - pos < static_cast<std::size_t>(size)) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (int b = 0; b < size; ++b) v |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[pos + b])) << (8 * b);
    pos += static_cast<std::size_t>(size);
    return v;
  }
  std::string_view take(std::size_t size) {
    if (!ok || bytes.size() - pos < size) {
      ok = false;
      return {};
    }
    const std::string_view part = bytes.substr(pos, size);
    pos += size;
    return part;
  }
  bool at_end() const { return ok && pos == bytes.size(); }
};

uint32_t checksum(std::string_view payload) {
  return static_cast<uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size())));
}

std::string frame(const std::string& payload) {
  std::string out;
  out.reserve(payload.size() + 12);
  put_u32(out, ENTRY_MAGIC);
  put_u32(out, static_cast<uint32_t>(payload.size()));
  out += payload;
  put_u32(out, checksum(payload));
  return out;
}

// The path of a tile relative to its database, from the path stored: the
// drive the run used ("X:\\"), which is not looked at, and the path in the
// database.
std::string_view relative_of(std::string_view stored) {
  if (stored.size() < 3 || stored[1] != ':' || stored[2] != '\\') return {};
  return stored.substr(3);
}

// A file entry whose checksum holds, checked field by field before any
// memory is taken for it; empty with `why` set when it fails.
std::optional<JournalFile> decode_file(std::string_view payload, char drive, std::string& why,
                                       std::size_t modifications) {
  Reader in{payload};
  const bool with_steps = static_cast<uint8_t>(in.get(1)) == ENTRY_STEPS_FILE;
  JournalFile file;
  const auto path_length = static_cast<std::size_t>(in.get(2));
  const std::string_view relative = relative_of(in.take(path_length));
  file.identity.device = in.get(8);
  file.identity.inode = in.get(8);
  file.record_length = static_cast<int32_t>(in.get(4));
  const auto records = static_cast<uint32_t>(in.get(4));
  if (!in.ok) {
    why = "is cut short";
    return {};
  }
  if (!journal_tile_path_valid(relative)) {
    why = "names no tile of this database";
    return {};
  }
  file.path = std::string(1, drive) + ":\\" + std::string(relative);
  if (file.record_length != TILE_ORIGIN(file.tile_name()).record_length()) {
    why = "has a record length other than its tile's";
    return {};
  }
  if (records > static_cast<uint32_t>(RECORDS_PER_TILE)) {
    why = "has more than 144 records";
    return {};
  }
  const int32_t words = file.record_length / 2;
  const std::size_t map_bytes = bitmap_bytes(words);
  // The changed words of a record or a step, in either form; false when
  // they are refused (`why` set) or cut short (`why` empty).
  auto read_words = [&](uint8_t form, WordBitmap& changed) {
    if (form == FORM_BITMAP) {
      const std::string_view bits = in.take(map_bytes);
      if (!in.ok) return false;
      changed.assign(bits.begin(), bits.end());
      // Bits beyond the last word stay clear.
      if (words % 8 != 0 && (changed.back() >> (words % 8)) != 0) {
        why = "marks a word beyond the end of its record";
        return false;
      }
      return true;
    }
    if (form != FORM_RUNS) {
      why = "has a record of an unknown form";
      return false;
    }
    const auto runs = static_cast<uint32_t>(in.get(2));
    // Four bytes a run: the count is bounded by what the entry holds.
    if (!in.ok || runs > (payload.size() - in.pos) / 4) return false;
    changed.assign(map_bytes, 0);
    int32_t next_free = 0;
    for (uint32_t r = 0; r < runs && in.ok; ++r) {
      const auto first = static_cast<int32_t>(in.get(2));
      const auto count = static_cast<int32_t>(in.get(2));
      if (first < next_free || count < 1 || count > words - first) {
        why = "marks a word beyond the end of its record";
        return false;
      }
      next_free = first + count + 1;  // runs do not touch
      for (int32_t w = first; w < first + count; ++w) changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
    }
    return in.ok;
  };
  int32_t previous = 0;
  for (uint32_t n = 0; n < records && in.ok; ++n) {
    JournalRecord record;
    record.record = static_cast<int32_t>(in.get(2));
    if (with_steps) {
      record.hash = in.get(8);
      const auto steps = static_cast<uint32_t>(in.get(2));
      if (!in.ok) break;
      if (record.record <= previous || record.record > RECORDS_PER_TILE) {
        why = "has a record number out of order or outside 1 to 144";
        return {};
      }
      if (steps < 1 || steps > modifications || steps > (payload.size() - in.pos) / 4) {
        why = "has a record of no or too many modifications";
        return {};
      }
      record.changed.assign(map_bytes, 0);
      int32_t previous_step = -1;
      for (uint32_t k = 0; k < steps; ++k) {
        JournalStep step;
        step.modification = static_cast<int32_t>(in.get(2));
        const auto form = static_cast<uint8_t>(in.get(1));
        if (!in.ok) break;
        if (step.modification <= previous_step || static_cast<std::size_t>(step.modification) >= modifications) {
          why = "names its modifications out of order or beyond the run's";
          return {};
        }
        previous_step = step.modification;
        if (!read_words(form, step.changed)) {
          if (!why.empty()) return {};
          break;
        }
        for (std::size_t b = 0; b < map_bytes; ++b) record.changed[b] |= step.changed[b];
        record.steps.push_back(std::move(step));
      }
    } else {
      const auto form = static_cast<uint8_t>(in.get(1));
      record.hash = in.get(8);
      if (!in.ok) break;
      if (record.record <= previous || record.record > RECORDS_PER_TILE) {
        why = "has a record number out of order or outside 1 to 144";
        return {};
      }
      if (!read_words(form, record.changed)) {
        if (!why.empty()) return {};
        break;
      }
    }
    previous = record.record;
    file.records.push_back(std::move(record));
  }
  if (!in.at_end()) {
    why = in.ok ? "has bytes beyond its records" : "is cut short";
    return {};
  }
  return file;
}

std::string last_component(const std::string& path) {
  const std::size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The word's value before the run, from its value after it.
inline uint16_t restore(KindOperation undo, uint16_t word) { return apply_kind(undo, word); }

// Four grid words from 8 bytes of a record: word n in bits 16n..16n+15.
inline uint64_t load_words(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

constexpr uint64_t LANES = 0x0001000100010001ULL;
// Multiplying the lane bits (0, 16, 32, 48) by this puts them in bits
// 48..51, nothing else reaching those bits.
constexpr uint64_t GATHER = (1ULL << 48) | (1ULL << 33) | (1ULL << 18) | (1ULL << 3);
// Lane masks of the 16 nibbles: bit n set -> lane n all ones.
constexpr std::array<uint64_t, 16> NIBBLE_LANES = [] {
  std::array<uint64_t, 16> t{};
  for (int n = 0; n < 16; ++n) {
    for (int lane = 0; lane < 4; ++lane) {
      if (n >> lane & 1) t[n] |= 0xFFFFULL << (16 * lane);
    }
  }
  return t;
}();

// The changed-words hash: an NH sum over the 8-byte chunks of the record
// (chunk c = words 4c..4c+3, the unchanged words masked to 0), with keys
// that depend on the chunk's position, finished with the 64-bit mixer of
// MurmurHash3. Every step is independent of the one before, so the
// processor overlaps them.
constexpr uint32_t KEY0_STEP = 0x9E3779B9u, KEY0_BASE = 0x85EBCA6Bu;
constexpr uint32_t KEY1_STEP = 0xC2B2AE35u, KEY1_BASE = 0x27D4EB2Fu;
struct ChangeHash {
  uint64_t acc = 0;
  void step(uint32_t c, uint64_t masked) {
    const uint32_t k0 = c * KEY0_STEP + KEY0_BASE;
    const uint32_t k1 = c * KEY1_STEP + KEY1_BASE;
    const uint64_t product = static_cast<uint64_t>(static_cast<uint32_t>(masked) + k0) *
                             static_cast<uint32_t>(static_cast<uint32_t>(masked >> 32) + k1);
    acc += product;
  }
  // The steps of chunks first..first+count-1 without a changed word.
  void unchanged(uint32_t first, uint32_t count) {
    for (uint32_t c = first; c < first + count; ++c) step(c, 0);
  }
  uint64_t finish() const { return mix(acc); }
  static uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
  }
};

// The hash steps over the chunks of whole 32-byte blocks, the bytes
// beyond the record taken as 0.
inline std::size_t hash_chunks(std::size_t size) { return 4 * ((size + 31) / 32); }

// The changes of one chunk: updates `bad` and the hash, returns the
// chunk's four bitmap bits.
template <bool kSet>
inline uint32_t chunk_changes(uint64_t before, uint64_t after, uint64_t pattern, int shift, uint32_t c,
                              uint64_t& bad, ChangeHash& hash) {
  const uint64_t diff = before ^ after;
  // Another bit, or the flag set where the operation clears it (or the
  // other way round).
  bad |= (diff & ~pattern) | ((kSet ? before : after) & diff);
  const uint64_t lanes = (diff >> shift) & LANES;
  hash.step(c, after & ((lanes << 16) - lanes));
  return static_cast<uint32_t>((lanes * GATHER) >> 48);
}

template <bool kSet>
bool find_changes_of(uint64_t pattern, int shift, const uint8_t* before, const uint8_t* after, std::size_t size,
                     uint8_t* bitmap, uint64_t& hash_out, uint8_t* copy_to) {
  uint64_t bad = 0;
  ChangeHash hash;
  const std::size_t pairs = size / 16;  // two chunks, one bitmap byte
  for (std::size_t n = 0; n < pairs; ++n) {
    const uint8_t* a = before + 16 * n;
    const uint8_t* b = after + 16 * n;
    const uint64_t a0 = load_words(a), a1 = load_words(a + 8);
    const uint64_t b0 = load_words(b), b1 = load_words(b + 8);
    if (copy_to != nullptr) std::memcpy(copy_to + 16 * n, b, 16);
    const auto c = static_cast<uint32_t>(2 * n);
    const uint32_t low = chunk_changes<kSet>(a0, b0, pattern, shift, c, bad, hash);
    const uint32_t high = chunk_changes<kSet>(a1, b1, pattern, shift, c + 1, bad, hash);
    bitmap[n] = static_cast<uint8_t>(low | high << 4);
  }
  if (const std::size_t rest = size - 16 * pairs; rest > 0) {
    // The last words, padded with zeros on both sides.
    uint8_t a[16] = {}, b[16] = {};
    std::memcpy(a, before + 16 * pairs, rest);
    std::memcpy(b, after + 16 * pairs, rest);
    if (copy_to != nullptr) std::memcpy(copy_to + 16 * pairs, b, rest);
    const auto c = static_cast<uint32_t>(2 * pairs);
    const uint32_t low = chunk_changes<kSet>(load_words(a), load_words(b), pattern, shift, c, bad, hash);
    const uint32_t high = chunk_changes<kSet>(load_words(a + 8), load_words(b + 8), pattern, shift, c + 1, bad, hash);
    const uint8_t last = static_cast<uint8_t>(low | high << 4);
    // A bitmap of an odd number of chunks ends in the middle of a byte.
    if (pairs < (size / 2 + 7) / 8) bitmap[pairs] = last;
  }
  // The hash covers whole 32-byte blocks.
  if (const std::size_t chunks = 2 * ((size + 15) / 16); chunks < hash_chunks(size)) {
    hash.unchanged(static_cast<uint32_t>(chunks), static_cast<uint32_t>(hash_chunks(size) - chunks));
  }
  hash_out = hash.finish();
  return bad == 0;
}

#if defined(__SSE2__)
// find_changes_of with SSE2, 16 words (two bitmap bytes) at a time, the
// same results: the flag bits of the differences packed to one byte a
// word and their top bits gathered by movemask; the hash's NH steps two
// chunks at a time with pmuludq. Stretches of 128 words that are equal
// are skipped with memcmp.
template <bool kSet>
bool find_changes_sse2(int shift, const uint8_t* before, const uint8_t* after, std::size_t size, uint8_t* bitmap,
                       std::size_t bitmap_size, uint64_t& hash_out, uint8_t* copy_to) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i pattern = _mm_set1_epi16(static_cast<int16_t>(1 << shift));
  const __m128i others = _mm_set1_epi16(static_cast<int16_t>(~(1 << shift)));
  const __m128i to_top = _mm_cvtsi32_si128(7 - shift);
  auto keys = [](uint32_t c) {
    return _mm_setr_epi32(static_cast<int>(c * KEY0_STEP + KEY0_BASE), static_cast<int>(c * KEY1_STEP + KEY1_BASE),
                          static_cast<int>((c + 1) * KEY0_STEP + KEY0_BASE),
                          static_cast<int>((c + 1) * KEY1_STEP + KEY1_BASE));
  };
  auto steps = [](uint32_t chunks) {
    return _mm_setr_epi32(static_cast<int>(chunks * KEY0_STEP), static_cast<int>(chunks * KEY1_STEP),
                          static_cast<int>(chunks * KEY0_STEP), static_cast<int>(chunks * KEY1_STEP));
  };
  const __m128i half_step = steps(2), step = steps(4), skip_step = steps(32);
  __m128i k = keys(0);
  __m128i bad = zero, acc = zero;
  auto nh = [&](__m128i after_words, __m128i changed, __m128i key) {
    const __m128i x = _mm_add_epi32(_mm_and_si128(after_words, changed), key);
    acc = _mm_add_epi64(acc, _mm_mul_epu32(x, _mm_srli_epi64(x, 32)));
  };
  ChangeHash skipped;  // the steps of the stretches skipped
  // 32 bytes: returns the 16 bitmap bits. `k` holds the keys of its
  // first two chunks.
  auto block = [&](const uint8_t* a, const uint8_t* b, __m128i k) -> uint32_t {
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16));
    const __m128i d0 = _mm_xor_si128(a0, b0), d1 = _mm_xor_si128(a1, b1);
    // Another bit changed, or the flag the wrong way.
    bad = _mm_or_si128(bad, _mm_and_si128(d0, _mm_or_si128(kSet ? a0 : b0, others)));
    bad = _mm_or_si128(bad, _mm_and_si128(d1, _mm_or_si128(kSet ? a1 : b1, others)));
    const __m128i f0 = _mm_and_si128(d0, pattern), f1 = _mm_and_si128(d1, pattern);
    const auto bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_sll_epi16(_mm_packus_epi16(f0, f1), to_top)));
    nh(b0, _mm_cmpeq_epi16(f0, pattern), k);
    nh(b1, _mm_cmpeq_epi16(f1, pattern), _mm_add_epi32(k, half_step));
    return bits;
  };
  const std::size_t blocks = size / 32;
  std::size_t n = 0;
  while (n < blocks) {
    // Eight blocks that are equal: nothing changed there.
    if (n + 8 <= blocks && std::memcmp(before + 32 * n, after + 32 * n, 256) == 0) {
      if (copy_to != nullptr) std::memcpy(copy_to + 32 * n, after + 32 * n, 256);
      std::memset(bitmap + 2 * n, 0, 16);
      skipped.unchanged(static_cast<uint32_t>(4 * n), 32);
      n += 8;
      k = _mm_add_epi32(k, skip_step);
      continue;
    }
    const uint32_t bits = block(before + 32 * n, after + 32 * n, k);
    k = _mm_add_epi32(k, step);
    if (copy_to != nullptr) std::memcpy(copy_to + 32 * n, after + 32 * n, 32);
    bitmap[2 * n] = static_cast<uint8_t>(bits);
    bitmap[2 * n + 1] = static_cast<uint8_t>(bits >> 8);
    ++n;
  }
  if (const std::size_t rest = size - 32 * blocks; rest > 0) {
    uint8_t a[32] = {}, b[32] = {};
    std::memcpy(a, before + 32 * blocks, rest);
    std::memcpy(b, after + 32 * blocks, rest);
    if (copy_to != nullptr) std::memcpy(copy_to + 32 * blocks, b, rest);
    const uint32_t bits = block(a, b, k);
    bitmap[2 * blocks] = static_cast<uint8_t>(bits);
    if (2 * blocks + 1 < bitmap_size) bitmap[2 * blocks + 1] = static_cast<uint8_t>(bits >> 8);
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  hash_out = ChangeHash::mix(lanes[0] + lanes[1] + skipped.acc);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) == 0xFFFF;
}
#endif

// Bitmap bits 64n..64n+63 (fewer at the end, the rest 0).
inline uint64_t bitmap_block(const WordBitmap& changed, std::size_t n) {
  const std::size_t at = 8 * n;
  uint64_t bits;
  if (at + 8 <= changed.size()) {
    std::memcpy(&bits, changed.data() + at, 8);
  } else {
    uint8_t bytes[8] = {};
    std::memcpy(bytes, changed.data() + at, changed.size() - at);
    std::memcpy(&bits, bytes, 8);
  }
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
  return bits;
}
inline std::size_t bitmap_blocks(const WordBitmap& changed) { return (changed.size() + 7) / 8; }

// Bits set in a 64-bit value, in a few instructions on any processor.
inline int64_t ones(uint64_t v) {
  v -= (v >> 1) & 0x5555555555555555ULL;
  v = (v & 0x3333333333333333ULL) + ((v >> 2) & 0x3333333333333333ULL);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int64_t>((v * 0x0101010101010101ULL) >> 56);
}

// Calls `f(word)` for every word the bitmap marks, in ascending order.
template <typename F>
void for_each_changed(const WordBitmap& changed, F&& f) {
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    for (uint64_t bits = bitmap_block(changed, n); bits != 0; bits &= bits - 1) {
      f(static_cast<int32_t>(64 * n) + std::countr_zero(bits));
    }
  }
}

// Calls `f(run)` for every run of consecutive changed words, in order,
// found a 64-bit block at a time.
template <typename F>
void for_each_run(const WordBitmap& changed, F&& f) {
  WordRun open{0, 0};  // the run that may go on in the next block
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    uint64_t bits = bitmap_block(changed, n);
    int32_t at = static_cast<int32_t>(64 * n);
    while (bits != 0) {
      const int skip = std::countr_zero(bits);
      bits >>= skip;
      at += skip;
      const int count = std::countr_one(bits);
      if (open.count > 0 && open.first + open.count == at) {
        open.count += count;  // goes on from the block before
      } else {
        if (open.count > 0) f(open);
        open = {at, count};
      }
      if (count == 64) break;
      bits >>= count;
      at += count;
    }
  }
  if (open.count > 0) f(open);
}

std::vector<WordRun> runs_of(const WordBitmap& changed) {
  std::vector<WordRun> runs;
  for_each_run(changed, [&](const WordRun& run) { runs.push_back(run); });
  return runs;
}

// The number of runs: the bits whose lower neighbour is clear.
std::size_t run_count(const WordBitmap& changed) {
  int64_t count = 0;
  uint64_t carry = 0;  // the top bit of the block before
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    const uint64_t bits = bitmap_block(changed, n);
    const uint64_t starts = bits & ~((bits << 1) | carry);
    if (starts != 0) count += ones(starts);
    carry = bits >> 63;
  }
  return static_cast<std::size_t>(count);
}

bool any_changed(const WordBitmap& changed) {
  for (std::size_t n = 0; n < bitmap_blocks(changed); ++n) {
    if (bitmap_block(changed, n) != 0) return true;
  }
  return false;
}

}  // namespace

int64_t JournalRecord::word_count() const {
  int64_t n = 0;
  for (std::size_t b = 0; b < bitmap_blocks(changed); ++b) n += ones(bitmap_block(changed, b));
  return n;
}

std::vector<WordRun> JournalRecord::runs() const { return runs_of(changed); }

JournalRecord JournalRecord::from_runs(int32_t record, int32_t words, const std::vector<WordRun>& runs,
                                       uint64_t hash) {
  JournalRecord r;
  r.record = record;
  r.changed.assign(bitmap_bytes(words), 0);
  for (const WordRun& run : runs) {
    for (int32_t w = run.first; w < run.first + run.count; ++w) r.changed[w / 8] |= static_cast<uint8_t>(1u << (w % 8));
  }
  r.hash = hash;
  return r;
}

bool scalar_changes_only = false;
bool check_reported_changes = false;

namespace {

// The hash steps of a record of `size` bytes none of whose words changed:
// their sum, and the sum of each 32-byte block's four steps. The same for
// every record of that size, so kept for the last two sizes asked.
struct UnchangedSteps {
  std::size_t size = 0;
  uint64_t sum = 0;
  std::vector<uint64_t> blocks;
};
const UnchangedSteps& unchanged_steps(std::size_t size) {
  thread_local std::array<UnchangedSteps, 2> known{};
  for (const UnchangedSteps& steps : known) {
    if (steps.size == size && size != 0) return steps;
  }
  std::swap(known[0], known[1]);
  UnchangedSteps& steps = known[0];
  steps.size = size;
  steps.sum = 0;
  steps.blocks.assign(hash_chunks(size) / 4, 0);
  for (std::size_t n = 0; n < steps.blocks.size(); ++n) {
    ChangeHash block;
    block.unchanged(static_cast<uint32_t>(4 * n), 4);
    steps.blocks[n] = block.acc;
    steps.sum += block.acc;
  }
  return steps;
}

// The changed-word bits of 32-byte block n (16 words).
inline uint32_t block_bits(const WordBitmap& changed, std::size_t n) {
  const std::size_t at = 2 * n;
  return changed[at] | (at + 1 < changed.size() ? changed[at + 1] << 8 : 0u);
}

#if defined(__SSE2__)
// changed_words_hash with SSE2: the sum for a record without changes, and
// for each 32-byte block with changed words the difference its words make,
// two NH steps at a time; blocks without a changed word cost nothing.
uint64_t changed_words_hash_sse2(std::span<const uint8_t> record, const WordBitmap& changed) {
  const std::size_t size = record.size();
  const UnchangedSteps& steps = unchanged_steps(size);
  const __m128i low_bits = _mm_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128);
  const __m128i high_bits = _mm_setr_epi16(256, 512, 1024, 2048, 4096, 8192, 16384, static_cast<int16_t>(0x8000));
  const __m128i half_step =
      _mm_setr_epi32(static_cast<int>(2 * KEY0_STEP), static_cast<int>(2 * KEY1_STEP), static_cast<int>(2 * KEY0_STEP),
                     static_cast<int>(2 * KEY1_STEP));
  __m128i acc = _mm_setzero_si128();
  uint64_t unchanged = steps.sum;
  auto nh = [&acc](__m128i words, __m128i key) {
    const __m128i x = _mm_add_epi32(words, key);
    acc = _mm_add_epi64(acc, _mm_mul_epu32(x, _mm_srli_epi64(x, 32)));
  };
  const std::size_t blocks = std::min((size + 31) / 32, (changed.size() + 1) / 2);
  for (std::size_t n = 0; n < blocks; ++n) {
    const uint32_t bits = block_bits(changed, n);
    if (bits == 0) continue;
    __m128i b0, b1;
    if (32 * n + 32 <= size) {
      b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(record.data() + 32 * n));
      b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(record.data() + 32 * n + 16));
    } else {
      uint8_t last[32] = {};
      std::memcpy(last, record.data() + 32 * n, size - 32 * n);
      b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last));
      b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(last + 16));
    }
    if (bits != 0xFFFF) {
      const __m128i m = _mm_set1_epi16(static_cast<int16_t>(bits));
      b0 = _mm_and_si128(b0, _mm_cmpeq_epi16(_mm_and_si128(m, low_bits), low_bits));
      b1 = _mm_and_si128(b1, _mm_cmpeq_epi16(_mm_and_si128(m, high_bits), high_bits));
    }
    const auto c = static_cast<uint32_t>(4 * n);
    const __m128i k = _mm_setr_epi32(
        static_cast<int>(c * KEY0_STEP + KEY0_BASE), static_cast<int>(c * KEY1_STEP + KEY1_BASE),
        static_cast<int>((c + 1) * KEY0_STEP + KEY0_BASE), static_cast<int>((c + 1) * KEY1_STEP + KEY1_BASE));
    nh(b0, k);
    nh(b1, _mm_add_epi32(k, half_step));
    unchanged -= steps.blocks[n];
  }
  uint64_t a[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(a), acc);
  return ChangeHash::mix(unchanged + a[0] + a[1]);
}
#endif

#if defined(KAVLIN_HASH_AVX2)
// changed_words_hash_sse2 with AVX2 where the processor has it: a 32-byte
// block in one register, its four NH steps in one multiplication.
[[gnu::target("avx2")]] uint64_t changed_words_hash_avx2(std::span<const uint8_t> record, const WordBitmap& changed) {
  const std::size_t size = record.size();
  const UnchangedSteps& steps = unchanged_steps(size);
  const __m256i select = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384,
                                           static_cast<int16_t>(0x8000));
  auto key = [](uint32_t c, uint32_t step, uint32_t base) { return static_cast<int>(c * step + base); };
  const __m256i first_keys = _mm256_setr_epi32(
      key(0, KEY0_STEP, KEY0_BASE), key(0, KEY1_STEP, KEY1_BASE), key(1, KEY0_STEP, KEY0_BASE),
      key(1, KEY1_STEP, KEY1_BASE), key(2, KEY0_STEP, KEY0_BASE), key(2, KEY1_STEP, KEY1_BASE),
      key(3, KEY0_STEP, KEY0_BASE), key(3, KEY1_STEP, KEY1_BASE));
  const __m256i block_step = _mm256_setr_epi32(key(4, KEY0_STEP, 0), key(4, KEY1_STEP, 0), key(4, KEY0_STEP, 0),
                                               key(4, KEY1_STEP, 0), key(4, KEY0_STEP, 0), key(4, KEY1_STEP, 0),
                                               key(4, KEY0_STEP, 0), key(4, KEY1_STEP, 0));
  __m256i acc = _mm256_setzero_si256();
  uint64_t unchanged = steps.sum;
  const uint64_t* const block_steps = steps.blocks.data();
  const std::size_t blocks = std::min((size + 31) / 32, (changed.size() + 1) / 2);
  for (std::size_t n = 0; n < blocks; ++n) {
    if ((n & 3) == 0 && 2 * n + 8 <= changed.size()) {
      // Four blocks without a changed word are passed at once.
      uint64_t four;
      std::memcpy(&four, changed.data() + 2 * n, 8);
      if (four == 0) {
        n += 3;
        continue;
      }
    }
    const uint32_t bits = block_bits(changed, n);
    if (bits == 0) continue;
    __m256i words;
    if (32 * n + 32 <= size) {
      words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(record.data() + 32 * n));
    } else {
      uint8_t last[32] = {};
      std::memcpy(last, record.data() + 32 * n, size - 32 * n);
      words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last));
    }
    if (bits != 0xFFFF) {
      const __m256i m = _mm256_set1_epi16(static_cast<int16_t>(bits));
      words = _mm256_and_si256(words, _mm256_cmpeq_epi16(_mm256_and_si256(m, select), select));
    }
    const __m256i keys =
        _mm256_add_epi32(first_keys, _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int>(n)), block_step));
    const __m256i x = _mm256_add_epi32(words, keys);
    acc = _mm256_add_epi64(acc, _mm256_mul_epu32(x, _mm256_srli_epi64(x, 32)));
    unchanged -= block_steps[n];
  }
  uint64_t a[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(a), acc);
  return ChangeHash::mix(unchanged + a[0] + a[1] + a[2] + a[3]);
}

const bool has_avx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

uint64_t changed_words_hash(std::span<const uint8_t> record, const WordBitmap& changed) {
#if defined(KAVLIN_HASH_AVX2)
  if (!scalar_changes_only && has_avx2) return changed_words_hash_avx2(record, changed);
#endif
#if defined(__SSE2__)
  if (!scalar_changes_only) return changed_words_hash_sse2(record, changed);
#endif
  ChangeHash hash;
  const std::size_t size = record.size();
  for (std::size_t c = 0; c < hash_chunks(size); ++c) {
    const uint32_t nibble = c / 2 < changed.size() ? (changed[c / 2] >> (4 * (c % 2))) & 0xF : 0;
    uint8_t bytes[8] = {};
    if (nibble != 0 && 8 * c < size) std::memcpy(bytes, record.data() + 8 * c, std::min<std::size_t>(8, size - 8 * c));
    hash.step(static_cast<uint32_t>(c), load_words(bytes) & NIBBLE_LANES[nibble]);
  }
  return hash.finish();
}

bool find_changes(KindOperation op, std::span<const uint8_t> before, std::span<const uint8_t> after,
                  WordBitmap& changed, uint64_t& hash, uint8_t* copy_to) {
  if (before.size() != after.size() || after.size() % 2 != 0) return false;
  const auto flag = static_cast<uint16_t>(op.set ? op.mask : static_cast<uint16_t>(~op.mask));
  const int shift = std::countr_zero(flag);
  const uint64_t pattern = LANES << shift;
  changed.assign(bitmap_bytes(static_cast<int32_t>(after.size() / 2)), 0);
#if defined(__SSE2__)
  if (scalar_changes_only) {
    // The plain version below (tests compare the two).
  } else {
    return op.set ? find_changes_sse2<true>(shift, before.data(), after.data(), after.size(), changed.data(),
                                            changed.size(), hash, copy_to)
                  : find_changes_sse2<false>(shift, before.data(), after.data(), after.size(), changed.data(),
                                             changed.size(), hash, copy_to);
  }
#endif
  return op.set ? find_changes_of<true>(pattern, shift, before.data(), after.data(), after.size(), changed.data(),
                                        hash, copy_to)
                : find_changes_of<false>(pattern, shift, before.data(), after.data(), after.size(), changed.data(),
                                         hash, copy_to);
}

std::string journal_path(char drive) { return database_root(drive) + "JOURNAL"; }
std::string undo_path(char drive) { return database_root(drive) + "UNDO"; }
std::string lock_path(char drive) { return database_root(drive) + "LOCK"; }

int32_t opposite_kind(int32_t kind) { return kind % 2 == 1 ? kind + 1 : kind - 1; }

std::string JournalFile::tile_name() const { return last_component(path); }

int64_t JournalFile::word_count() const {
  int64_t n = 0;
  for (const JournalRecord& r : records) n += r.word_count();
  return n;
}

int64_t Journal::word_count() const {
  int64_t n = 0;
  for (const JournalFile& f : files) n += f.word_count();
  return n;
}

std::string encode_journal_start(int32_t kind) {
  std::string payload;
  put_u8(payload, ENTRY_START);
  put_u32(payload, FORMAT_VERSION);
  put_u32(payload, static_cast<uint32_t>(kind));
  return frame(payload);
}

std::string encode_journal_start(const std::vector<int32_t>& kinds) {
  std::string payload;
  put_u8(payload, ENTRY_START);
  put_u32(payload, FORMAT_VERSION);
  put_u32(payload, 0);
  put_u32(payload, static_cast<uint32_t>(kinds.size()));
  for (const int32_t kind : kinds) put_u8(payload, static_cast<uint8_t>(kind));
  return frame(payload);
}

namespace {

// Little-endian values written through a pointer into space made before.
struct Writer {
  uint8_t* p;
  void u8(uint8_t v) { *p++ = v; }
  void u16(uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
    p += 2;
  }
  void u32(uint32_t v) {
    for (int b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>((v >> (8 * b)) & 0xFF);
    p += 4;
  }
  void u64(uint64_t v) {
    for (int b = 0; b < 8; ++b) p[b] = static_cast<uint8_t>((v >> (8 * b)) & 0xFF);
    p += 8;
  }
  void bytes(const void* data, std::size_t size) {
    std::memcpy(p, data, size);
    p += size;
  }
};

// The bytes of a record's changed words stored as runs, or 0 when the
// bitmap is shorter (a few areas of whole rows, or a few scattered words,
// go as runs).
std::size_t runs_size(const WordBitmap& changed) {
  const std::size_t size = 2 + 4 * run_count(changed);
  return size < changed.size() ? size : 0;
}

void put_words(Writer& w, const WordBitmap& changed, std::size_t as_runs) {
  if (as_runs != 0) {
    w.u16(static_cast<uint16_t>((as_runs - 2) / 4));
    for_each_run(changed, [&](const WordRun& run) {
      w.u16(static_cast<uint16_t>(run.first));
      w.u16(static_cast<uint16_t>(run.count));
    });
  } else {
    w.bytes(changed.data(), changed.size());
  }
}

// The file entry of the records `records` (ascending), appended to `out`
// (framed as frame() does). Records of a run of several modifications
// (with steps) make an entry that holds each step's words.
void encode_file_entry(std::string& out, const std::string& path, const FileIdentity& identity,
                       int32_t record_length, const std::vector<const JournalRecord*>& records) {
  const bool with_steps = !records.empty() && !records.front()->steps.empty();
  std::vector<std::size_t> runs;
  std::size_t size = 1 + 2 + path.size() + 8 + 8 + 4 + 4;
  for (const JournalRecord* record : records) {
    if (with_steps) {
      size += 2 + 8 + 2;
      for (const JournalStep& step : record->steps) {
        runs.push_back(runs_size(step.changed));
        size += 3 + (runs.back() != 0 ? runs.back() : step.changed.size());
      }
    } else {
      runs.push_back(runs_size(record->changed));
      size += 11 + (runs.back() != 0 ? runs.back() : record->changed.size());
    }
  }
  const std::size_t start = out.size();
  out.resize(start + 8 + size + 4);
  Writer w{reinterpret_cast<uint8_t*>(out.data()) + start};
  w.u32(ENTRY_MAGIC);
  w.u32(static_cast<uint32_t>(size));
  uint8_t* const payload = w.p;
  w.u8(with_steps ? ENTRY_STEPS_FILE : ENTRY_FILE);
  w.u16(static_cast<uint16_t>(path.size()));
  w.bytes(path.data(), path.size());
  w.u64(identity.device);
  w.u64(identity.inode);
  w.u32(static_cast<uint32_t>(record_length));
  w.u32(static_cast<uint32_t>(records.size()));
  std::size_t next = 0;
  for (const JournalRecord* record : records) {
    w.u16(static_cast<uint16_t>(record->record));
    if (with_steps) {
      w.u64(record->hash);
      w.u16(static_cast<uint16_t>(record->steps.size()));
      for (const JournalStep& step : record->steps) {
        const std::size_t as_runs = runs[next++];
        w.u16(static_cast<uint16_t>(step.modification));
        w.u8(as_runs != 0 ? FORM_RUNS : FORM_BITMAP);
        put_words(w, step.changed, as_runs);
      }
    } else {
      const std::size_t as_runs = runs[next++];
      w.u8(as_runs != 0 ? FORM_RUNS : FORM_BITMAP);
      w.u64(record->hash);
      put_words(w, record->changed, as_runs);
    }
  }
  w.u32(checksum({reinterpret_cast<const char*>(payload), size}));
}

}  // namespace

std::string encode_journal_file(const JournalFile& file) {
  std::vector<const JournalRecord*> records;
  for (const JournalRecord& record : file.records) records.push_back(&record);
  std::string out;
  encode_file_entry(out, file.path, file.identity, file.record_length, records);
  return out;
}

bool journal_tile_path_valid(std::string_view relative) {
  // KAVLIN\E006\E006N49.33M: 7 + 4 + 1 + 11 characters.
  const std::string FOLDER = std::string(DATABASE_FOLDER) + '\\';
  if (relative.size() != FOLDER.size() + 5 + TILE_NAME_LENGTH || relative.substr(0, FOLDER.size()) != FOLDER) {
    return false;
  }
  const std::string name(relative.substr(FOLDER.size() + 5));
  if (relative.substr(FOLDER.size(), 4) != name.substr(0, 4) || relative[FOLDER.size() + 4] != '\\') return false;
  if (name[0] != 'E' && name[0] != 'W') return false;
  for (const std::size_t at : {1u, 2u, 3u, 5u, 6u}) {
    if (!is_digit(name[at])) return false;
  }
  const TileOrigin origin = TILE_ORIGIN(name);
  return TILE_NAME(origin.LON_DEG, origin.LAT_DEG) == name;
}

Journal decode_journal(std::string_view bytes, char drive) {
  Journal journal;
  Reader in{bytes};
  int entry = 0;
  // A failing entry: the end of a torn write when nothing follows it,
  // damage otherwise.
  auto failed = [&](bool last, const std::string& why) {
    if (last) {
      journal.torn = true;
    } else {
      journal.damaged = true;
      journal.damage = "entry " + std::to_string(entry) + " " + why;
    }
  };
  while (in.pos < bytes.size()) {
    ++entry;
    const std::size_t start = in.pos;
    const auto magic = static_cast<uint32_t>(in.get(4));
    const auto length = static_cast<uint32_t>(in.get(4));
    if (!in.ok) {
      failed(true, "is cut short");
      break;
    }
    if (magic != ENTRY_MAGIC || length < 1 || length > MAX_ENTRY) {
      // Where an entry with a damaged head ends is unknown: it is the last
      // one only when no entry mark follows it.
      const std::string mark = [] {
        std::string m;
        put_u32(m, ENTRY_MAGIC);
        return m;
      }();
      failed(bytes.find(mark, start + 1) == std::string_view::npos, "has a damaged head");
      break;
    }
    const std::string_view payload = in.take(length);
    const auto sum = static_cast<uint32_t>(in.get(4));
    if (!in.ok) {
      failed(true, "is cut short");
      break;
    }
    if (sum != checksum(payload)) {
      failed(in.pos == bytes.size(), "fails its checksum");
      break;
    }
    // From here on the entry is as it was written: what it holds must
    // make sense, or the journal was made or changed by something else.
    const auto type = static_cast<uint8_t>(payload[0]);
    if (!journal.valid) {
      Reader head{payload};
      head.get(1);
      const auto version = static_cast<uint32_t>(head.get(4));
      const auto kind = static_cast<int32_t>(head.get(4));
      // A run of several modifications: their count and kinds (at most as
      // many as a record's steps can name).
      std::vector<int32_t> kinds;
      if (kind == 0) {
        const auto count = static_cast<uint32_t>(head.get(4));
        if (head.ok && count >= 1 && count <= 0xFFFF && count <= payload.size()) {
          for (uint32_t k = 0; k < count && head.ok; ++k) kinds.push_back(static_cast<int32_t>(head.get(1)));
        }
      }
      const bool kinds_ok = kind == 0 ? !kinds.empty() && std::all_of(kinds.begin(), kinds.end(), [](int32_t k) {
        return kind_operation(k).has_value();
      })
                                      : kind_operation(kind).has_value();
      if (type != ENTRY_START || version != FORMAT_VERSION || !head.at_end() || !kinds_ok) {
        failed(false, "is no journal start of this program");
        break;
      }
      journal.valid = true;
      journal.kind = kind;
      journal.kinds = std::move(kinds);
    } else {
      std::string why = "is of an unknown type";
      // A run of one modification has entries of one form, a run of several
      // of the other.
      const uint8_t expected = journal.kinds.empty() ? ENTRY_FILE : ENTRY_STEPS_FILE;
      std::optional<JournalFile> file =
          type == expected ? decode_file(payload, drive, why, journal.kinds.size()) : std::nullopt;
      if (!file) {
        failed(false, why);
        break;
      }
      journal.files.push_back(std::move(*file));
    }
  }
  // An empty file, or one cut inside its first entry, is torn as well.
  if (!journal.valid && !journal.damaged) journal.torn = true;
  return journal;
}

namespace {

// Whether the open file is the journaled `file`: in every journaled record
// the changed words, each given the run's flag state, hash to the value
// the run left. That holds for a record as the run wrote it, as it was
// before (the run's write never reached it), and half written, and for no
// record whose changed words differ in any other bit.
int32_t proves_journaled(FileServices& files, int32_t unit, const JournalFile& file, const Journal& journal,
                         std::vector<uint8_t>& buffer, bool& proven) {
  proven = false;
  buffer.resize(static_cast<std::size_t>(file.record_length));
  for (const JournalRecord& record : file.records) {
    if (const int32_t rc = files.READ_RECORD(unit, record.record, buffer); rc != 0) return rc;
    redo_journaled(buffer, record, journal);
    if (changed_words_hash(buffer, record.changed) != record.hash) return 0;
  }
  proven = true;
  return 0;
}

}  // namespace

void redo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal) {
  auto apply = [&](int32_t kind, const WordBitmap& changed) {
    const std::optional<KindOperation> op = kind_operation(kind);
    if (!op) return;
    for_each_changed(changed, [&](int32_t w) { put_word(buffer, 2 * w, apply_kind(*op, get_word(buffer, 2 * w))); });
  };
  if (record.steps.empty()) {
    apply(journal.kind, record.changed);
    return;
  }
  for (const JournalStep& step : record.steps) {
    if (static_cast<std::size_t>(step.modification) < journal.kinds.size()) {
      apply(journal.kinds[static_cast<std::size_t>(step.modification)], step.changed);
    }
  }
}

void undo_journaled(std::span<uint8_t> buffer, const JournalRecord& record, const Journal& journal) {
  auto apply = [&](int32_t kind, const WordBitmap& changed) {
    const std::optional<KindOperation> op = kind_operation(opposite_kind(kind));
    if (!op) return;
    for_each_changed(changed, [&](int32_t w) { put_word(buffer, 2 * w, restore(*op, get_word(buffer, 2 * w))); });
  };
  if (record.steps.empty()) {
    apply(journal.kind, record.changed);
    return;
  }
  for (auto step = record.steps.rbegin(); step != record.steps.rend(); ++step) {
    if (static_cast<std::size_t>(step->modification) < journal.kinds.size()) {
      apply(journal.kinds[static_cast<std::size_t>(step->modification)], step->changed);
    }
  }
}

RollbackResult roll_back(FileServices& files, const Journal& journal) {
  RollbackResult result;
  if (journal.kinds.empty() && !kind_operation(journal.kind)) return result;
  std::vector<uint8_t> buffer;
  std::vector<uint8_t> before;
  // First every file is shown to be the journaled one by its records,
  // before anything is written. (An inode proves nothing: a tile removed
  // and made anew often gets the number of the one before.)
  for (const JournalFile& file : journal.files) {
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE_READ(file.path, file.record_length, unit) != 0) continue;  // fails below
    bool proven = true;
    if (proves_journaled(files, unit, file, journal, buffer, proven) == 0 && !proven) {
      files.CLOSE_FILE(unit);
      result.ok = false;
      result.failed_tile = file.tile_name();
      result.reason = "is not the tile the journal was written for";
      return result;
    }
    files.CLOSE_FILE(unit);
  }
  for (const JournalFile& file : journal.files) {
    const std::string name = file.tile_name();
    auto fail = [&] {
      result.ok = false;
      result.failed_tile = name;
      return result;
    };
    int32_t unit = 0;
    if (files.OPEN_RECORD_FILE(file.path, file.record_length, unit) != 0) return fail();
    buffer.resize(static_cast<std::size_t>(file.record_length));
    bool wrote = false;
    for (const JournalRecord& record : file.records) {
      if (files.READ_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      before.assign(buffer.begin(), buffer.end());
      undo_journaled(buffer, record, journal);
      if (before == buffer) continue;
      if (files.WRITE_RECORD(unit, record.record, buffer) != 0) {
        files.CLOSE_FILE(unit);
        return fail();
      }
      wrote = true;
    }
    if (wrote && files.FLUSH_FILE(unit) != 0) {
      files.CLOSE_FILE(unit);
      return fail();
    }
    if (files.CLOSE_FILE(unit) != 0 && wrote) return fail();
    if (wrote) ++result.tiles;
  }
  return result;
}

JournalingFiles::JournalingFiles(FileServices& inner, std::string journal_path, int32_t kind)
    : inner_(inner), journal_path_(std::move(journal_path)), kind_(kind) {}

JournalingFiles::JournalingFiles(FileServices& inner, std::string journal_path, std::vector<int32_t> kinds)
    : inner_(inner), journal_path_(std::move(journal_path)), kind_(0), kinds_(std::move(kinds)) {}

JournalingFiles::~JournalingFiles() { discard_held(); }

std::string JournalingFiles::DRIVE_LETTERS() { return inner_.DRIVE_LETTERS(); }
bool JournalingFiles::DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) {
  return inner_.DRIVE_SPACE(letter, total_bytes, free_bytes);
}
bool JournalingFiles::NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) {
  return inner_.NEXT_DIR_ENTRY(pattern, entry, handle);
}
void JournalingFiles::END_DIR_SEARCH(int32_t& handle) { inner_.END_DIR_SEARCH(handle); }
int32_t JournalingFiles::OPEN_TEXT_FILE(const std::string& path, int32_t& unit) {
  return inner_.OPEN_TEXT_FILE(path, unit);
}
int32_t JournalingFiles::OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) {
  return inner_.OPEN_HOST_TEXT_FILE(host_path, unit);
}
int32_t JournalingFiles::READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) {
  return inner_.READ_TEXT_LINE(unit, field, length);
}
int32_t JournalingFiles::READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) {
  return inner_.READ_TEXT_LINE_CUT(unit, field, length, cut_text);
}
int32_t JournalingFiles::RECORD_COUNT(int32_t unit, int64_t& records) { return inner_.RECORD_COUNT(unit, records); }
int32_t JournalingFiles::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  return inner_.FILE_IDENTITY(unit, identity);
}

int32_t JournalingFiles::OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_unit(path, record_length, unit, false);
}

int32_t JournalingFiles::OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_unit(path, record_length, unit, true);
}

int32_t JournalingFiles::open_unit(const std::string& path, int32_t record_length, int32_t& unit, bool read_only) {
  const int32_t status = read_only ? inner_.OPEN_RECORD_FILE_READ(path, record_length, unit)
                                   : inner_.OPEN_RECORD_FILE(path, record_length, unit);
  if (status != 0) return status;
  FileIdentity identity;
  if (const int32_t rc = inner_.FILE_IDENTITY(unit, identity); rc != 0) {
    inner_.CLOSE_FILE(unit);
    unit = 0;
    return rc;
  }
  bool known = false;
  for (const auto& [seen, seen_path] : opened_) {
    if (seen == identity && seen_path != path) {
      if (!shared_) shared_ = std::make_pair(last_component(seen_path), last_component(path));
      inner_.CLOSE_FILE(unit);
      unit = 0;
      return kSharedFile;
    }
    known = known || seen_path == path;
  }
  if (!known) opened_.emplace_back(identity, path);
  // A file whose records are held is written before it is read again.
  for (const int32_t held : held_) {
    if (units_.at(held).identity == identity) {
      if (const int32_t rc = write_held(); rc != 0) {
        inner_.CLOSE_FILE(unit);
        unit = 0;
        return rc;
      }
      break;
    }
  }
  release(unit);
  UnitState& state = units_[unit];
  state.path = path;
  state.identity = identity;
  state.record_length = record_length;
  if (!spares_.empty()) {
    state.arena = std::move(spares_.back().arena);
    state.changes = std::move(spares_.back().changes);
    spares_.pop_back();
  }
  // Sized once; a later file of another record length reuses the bytes.
  const std::size_t arena_size = static_cast<std::size_t>(std::max(record_length, 0)) * RECORDS_PER_TILE;
  if (state.arena.size() < arena_size) state.arena.resize(arena_size);
  state.slots.assign(RECORDS_PER_TILE + 1, Slot::Empty);
  state.lent.assign(RECORDS_PER_TILE + 1, 0);
  state.reported_record = 0;
  state.changes.resize(RECORDS_PER_TILE + 1);  // read only where a slot says Written
  return 0;
}

void JournalingFiles::release(int32_t unit) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return;
  spares_.push_back({std::move(it->second.arena), std::move(it->second.changes)});
  units_.erase(it);
}

JournalingFiles::UnitState* JournalingFiles::record_unit(int32_t unit, int32_t record, std::size_t size) {
  const auto it = units_.find(unit);
  if (it == units_.end() || record < 1 || record > RECORDS_PER_TILE ||
      size != static_cast<std::size_t>(it->second.record_length)) {
    return nullptr;
  }
  return &it->second;
}

std::span<uint8_t> JournalingFiles::record_buffer(int32_t unit, int32_t record, int32_t length) {
  // Checking what the engine reports needs the record as read (always for
  // several modifications).
  if (check_reported_changes || !kinds_.empty()) return {};
  UnitState* state = record_unit(unit, record, static_cast<std::size_t>(std::max(length, 0)));
  if (state == nullptr || state->held || length % 2 != 0) return {};
  state->lent[record] = 1;
  return state->bytes(record);
}

void JournalingFiles::changed_words(int32_t unit, int32_t record, std::span<const uint8_t> changed) {
  const auto it = units_.find(unit);
  if (it == units_.end() || record < 1 || record > RECORDS_PER_TILE) return;
  UnitState& state = it->second;
  if (changed.size() != bitmap_bytes(state.record_length / 2)) return;
  state.reported_changes.assign(changed.begin(), changed.end());
  state.reported_record = record;
}

void JournalingFiles::changed_words_of(int32_t index, int32_t unit, int32_t record, std::span<const uint8_t> changed) {
  const auto it = units_.find(unit);
  if (kinds_.empty() || it == units_.end() || record < 1 || record > RECORDS_PER_TILE) return;
  UnitState& state = it->second;
  if (changed.size() != bitmap_bytes(state.record_length / 2)) return;
  if (state.reported_record != record) state.reported_steps.clear();
  state.reported_record = record;
  state.reported_steps.push_back({index, WordBitmap(changed.begin(), changed.end())});
}

// A record written by a run of several modifications: it must be exactly
// the reported steps, first to last, on the record as read, each step
// changing every word it names; the record's entry keeps the steps, their
// union and the hash of the union's values as written.
int32_t JournalingFiles::write_steps(UnitState& state, int32_t record, std::span<const uint8_t> buffer) {
  std::vector<JournalStep> steps;
  if (state.reported_record == record) steps.swap(state.reported_steps);
  state.reported_record = 0;
  state.reported_steps.clear();
  const std::span<uint8_t> kept = state.bytes(record);
  if (state.slots[record] == Slot::Written) return kNotTheRunsChange;  // written twice before a flush
  std::vector<uint8_t> work(kept.begin(), kept.end());
  JournalRecord& change = state.changes[record];
  change.changed.assign(bitmap_bytes(state.record_length / 2), 0);
  int32_t previous = -1;
  for (const JournalStep& step : steps) {
    if (step.modification <= previous || static_cast<std::size_t>(step.modification) >= kinds_.size()) {
      return kNotTheRunsChange;
    }
    previous = step.modification;
    const KindOperation op = *kind_operation(kinds_[static_cast<std::size_t>(step.modification)]);
    bool each_changes = true;
    for_each_changed(step.changed, [&](int32_t w) {
      const uint16_t word = get_word(work, 2 * w);
      const uint16_t next = apply_kind(op, word);
      each_changes = each_changes && next != word;
      put_word(work, 2 * w, next);
    });
    if (!each_changes) return kNotTheRunsChange;
    for (std::size_t n = 0; n < change.changed.size(); ++n) change.changed[n] |= step.changed[n];
  }
  if (!std::equal(work.begin(), work.end(), buffer.begin(), buffer.end())) return kNotTheRunsChange;
  std::memcpy(kept.data(), buffer.data(), kept.size());
  change.steps = std::move(steps);
  change.hash = changed_words_hash(kept, change.changed);
  change.record = record;
  state.slots[record] = Slot::Written;
  state.any_written = true;
  return 0;
}

int32_t JournalingFiles::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  UnitState* state = record_unit(unit, record, buffer.size());
  if (state == nullptr) return inner_.READ_RECORD(unit, record, buffer);
  if (!kinds_.empty()) {
    // What the engine reports from here on is for this record.
    state->reported_record = 0;
    state->reported_steps.clear();
  }
  const std::span<uint8_t> kept = state->bytes(record);
  // A record read before, or written and not yet on the file, reads as
  // kept; otherwise it is read into the arena and copied out (or read
  // right where the engine keeps it: the arena).
  if (state->slots[record] == Slot::Empty) {
    if (const int32_t status = inner_.READ_RECORD(unit, record, kept); status != 0) return status;
    state->slots[record] = Slot::Read;
  }
  if (buffer.data() != kept.data()) {
    std::memcpy(buffer.data(), kept.data(), kept.size());
    state->lent[record] = 0;
  }
  return 0;
}

int32_t JournalingFiles::WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  const auto it = units_.find(unit);
  if (it == units_.end()) return inner_.WRITE_RECORD(unit, record, buffer);
  UnitState& state = it->second;
  if (buffer.size() != static_cast<std::size_t>(state.record_length) || buffer.size() % 2 != 0) {
    return inner_.WRITE_RECORD(unit, record, buffer);  // refused there, as a bad size
  }
  if (!kinds_.empty()) {
    if (record < 1 || record > RECORDS_PER_TILE) return kNotTheRunsChange;
    if (state.slots[record] == Slot::Empty) {
      // Written without being read first: what the file holds is the base.
      if (const int32_t rc = inner_.READ_RECORD(unit, record, state.bytes(record)); rc != 0) return rc;
      state.slots[record] = Slot::Read;
    }
    return write_steps(state, record, buffer);
  }
  const std::optional<KindOperation> op = kind_operation(kind_);
  if (!op || record < 1 || record > RECORDS_PER_TILE) return kNotTheRunsChange;
  const std::span<uint8_t> kept = state.bytes(record);
  const bool in_place = buffer.data() == kept.data();
  const bool reported = state.reported_record == record;
  state.reported_record = 0;
  if (state.lent[record] && !(in_place && reported)) {
    // The arena was lent and no longer holds the record as read.
    state.lent[record] = 0;
    state.slots[record] = Slot::Empty;
    return kNotTheRunsChange;
  }
  state.lent[record] = 0;
  if (state.slots[record] == Slot::Empty) {
    // Written without being read first: what the file holds is the base.
    if (const int32_t rc = inner_.READ_RECORD(unit, record, kept); rc != 0) return rc;
    state.slots[record] = Slot::Read;
  }
  JournalRecord& change = state.changes[record];
  if (reported) {
    // The engine has told which words it changed.
    if (check_reported_changes && !in_place) {
      WordBitmap found;
      uint64_t unused = 0;
      if (!find_changes(*op, kept, buffer, found, unused) || found != state.reported_changes) {
        state.slots[record] = Slot::Empty;
        return kNotTheRunsChange;
      }
    }
    if (!in_place) std::memcpy(kept.data(), buffer.data(), kept.size());
    if (state.slots[record] == Slot::Written) {
      for (std::size_t n = 0; n < change.changed.size(); ++n) change.changed[n] |= state.reported_changes[n];
    } else {
      change.changed.assign(state.reported_changes.begin(), state.reported_changes.end());
    }
    change.hash = changed_words_hash(kept, change.changed);
  } else if (state.slots[record] == Slot::Read) {
    // Compared with the record as read and copied over it in one pass. A
    // write the journal could not undo leaves the file's record to be read
    // again.
    if (!find_changes(*op, kept, buffer, change.changed, change.hash, kept.data())) {
      state.slots[record] = Slot::Empty;
      return kNotTheRunsChange;
    }
  } else {
    // Written again before the flush: the new changes join the earlier
    // ones (a word changed before cannot change back under one operation).
    WordBitmap more;
    uint64_t unused = 0;
    if (!find_changes(*op, kept, buffer, more, unused)) return kNotTheRunsChange;
    for (std::size_t n = 0; n < more.size(); ++n) change.changed[n] |= more[n];
    std::memcpy(kept.data(), buffer.data(), kept.size());
    change.hash = changed_words_hash(kept, change.changed);
  }
  change.record = record;
  state.slots[record] = Slot::Written;
  state.any_written = true;
  return 0;
}

bool JournalingFiles::is_held(int32_t unit) const {
  const auto it = units_.find(unit);
  return it != units_.end() && it->second.held;
}

int32_t JournalingFiles::FLUSH_FILE(int32_t unit) {
  if (is_held(unit)) {
    if (const int32_t rc = write_held(); rc != 0) return rc;
  }
  const auto it = units_.find(unit);
  if (it == units_.end() || !it->second.any_written) return inner_.FLUSH_FILE(unit);
  UnitState& state = it->second;
  // The file's entry: the records whose words change. A file whose words
  // do not change needs none.
  std::vector<const JournalRecord*> records;
  for (int32_t record = 1; record <= RECORDS_PER_TILE; ++record) {
    const JournalRecord& change = state.changes[record];
    if (state.slots[record] == Slot::Written && any_changed(change.changed)) records.push_back(&change);
  }
  state.has_entry = !records.empty();
  if (state.has_entry) encode_file_entry(held_entries_, state.path, state.identity, state.record_length, records);
  state.held = true;
  held_.push_back(unit);
  if (static_cast<int32_t>(held_.size()) < hold_files_) return 0;
  return write_held();
}

int32_t JournalingFiles::write_held() {
  if (held_.empty()) return 0;
  std::vector<int32_t> units;
  units.swap(held_);
  std::string entries;
  entries.swap(held_entries_);
  // Ends the holding of units[from..]: closed when their close was asked
  // for, otherwise left with nothing kept.
  auto drop = [&](std::size_t from) {
    for (std::size_t n = from; n < units.size(); ++n) {
      UnitState& state = units_.at(units[n]);
      state.held = false;
      state.any_written = false;
      std::fill(state.slots.begin(), state.slots.end(), Slot::Empty);
      if (state.close_asked) {
        release(units[n]);
        inner_.CLOSE_FILE(units[n]);
      }
    }
  };
  // The entries are on the device before any byte of their files is
  // written. From here on the journal may exist, even cut short.
  writing_started_ = true;
  if (!entries.empty()) {
    if (const int32_t rc = append(entries); rc != 0) {
      for (const int32_t unit : units) {
        if (units_.at(unit).has_entry) {
          failed_tile_ = last_component(units_.at(unit).path);
          break;
        }
      }
      drop(0);
      return rc;
    }
  }
  for (std::size_t n = 0; n < units.size(); ++n) {
    const int32_t unit = units[n];
    UnitState& state = units_.at(unit);
    const std::string name = last_component(state.path);
    last_written_ = name;
    int32_t rc = 0;
    // Runs of consecutive records in one transfer each.
    for (int32_t record = 1; record <= RECORDS_PER_TILE && rc == 0; ++record) {
      if (state.slots[record] != Slot::Written) continue;
      int32_t last = record;
      while (last < RECORDS_PER_TILE && state.slots[last + 1] == Slot::Written) ++last;
      for (int32_t r = record; r <= last; ++r) state.slots[r] = Slot::Read;
      const std::span<uint8_t> bytes(state.bytes(record).data(),
                                     static_cast<std::size_t>(last - record + 1) * state.record_length);
      rc = inner_.WRITE_RECORDS(unit, record, state.record_length, bytes);
      record = last;
    }
    if (rc == 0) rc = inner_.FLUSH_FILE(unit);
    state.held = false;
    state.any_written = false;
    if (rc == 0 && state.close_asked) {
      release(unit);
      rc = inner_.CLOSE_FILE(unit);
      if (rc != 0) {
        failed_tile_ = name;
        drop(n + 1);
        return rc;
      }
      continue;
    }
    if (rc != 0) {
      // The file's records are unknown from here on.
      failed_tile_ = name;
      drop(n);
      return rc;
    }
  }
  return 0;
}

void JournalingFiles::discard_held() {
  for (const int32_t unit : held_) {
    UnitState& state = units_.at(unit);
    state.held = false;
    state.any_written = false;
    std::fill(state.slots.begin(), state.slots.end(), Slot::Empty);
    if (state.close_asked) {
      release(unit);
      inner_.CLOSE_FILE(unit);
    }
  }
  held_.clear();
  held_entries_.clear();
}

int32_t JournalingFiles::append(const std::string& entries) {
  const std::string bytes =
      journal_started_ ? entries : (kinds_.empty() ? encode_journal_start(kind_) : encode_journal_start(kinds_)) + entries;
  const std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const bool append = journal_started_;
  // From the first attempt on the journal may exist, even cut short.
  journal_started_ = true;
  return inner_.WRITE_SYNCED(journal_path_, data, append);
}

int32_t JournalingFiles::CLOSE_FILE(int32_t unit) {
  if (is_held(unit)) {
    // Closed once its records are written.
    units_.at(unit).close_asked = true;
    return 0;
  }
  release(unit);  // records kept back and never flushed are dropped
  return inner_.CLOSE_FILE(unit);
}

void JournalingFiles::CLOSE_ALL_FILES() {
  held_.clear();
  held_entries_.clear();
  for (auto& [unit, state] : units_) spares_.push_back({std::move(state.arena), std::move(state.changes)});
  units_.clear();
  inner_.CLOSE_ALL_FILES();
}

}  // namespace kavlin
