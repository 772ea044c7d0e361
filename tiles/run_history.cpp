#include "tiles/run_history.h"

#include <xxhash.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "polygon/area_rules.h"
#include "tiles/change_mask.h"
#include "tiles/run_journal.h"
#include "tiles/tile_files.h"
#include "base/database_folder.h"
#include "base/flag_palette.h"

namespace kavlin {

namespace {

// Longest line read: a run over some 80000 tiles.
constexpr std::size_t MAX_HISTORY_LINE = 1u << 20;

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// Splits `text` at `sep`.
std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t from = 0;
  for (std::size_t at = text.find(sep); at != std::string_view::npos; at = text.find(sep, from)) {
    parts.push_back(text.substr(from, at - from));
    from = at + 1;
  }
  parts.push_back(text.substr(from));
  return parts;
}

template <typename T>
bool read_number(std::string_view text, T& value, int base = 10) {
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, value, base);
  return ec == std::errc() && at == end;
}

bool read_double(std::string_view text, double& value) {
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && at == end && std::isfinite(value);
}

bool time_valid(std::string_view t) {
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
  if (t.size() != shape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return false;
  }
  return true;
}

// The value of field `key=...`, or nothing when the field is another.
std::optional<std::string_view> field(std::string_view token, std::string_view key) {
  if (token.size() <= key.size() || token.substr(0, key.size()) != key || token[key.size()] != '=') return std::nullopt;
  return token.substr(key.size() + 1);
}

bool parse_what(std::string_view token, HistoryEntry& e) {
  if (const auto undo = field(token, "undo")) return read_number(*undo, e.undo_of);
  const auto kinds = field(token, "kinds");
  if (!kinds) return false;
  for (std::string_view k : split(*kinds, ',')) {
    int32_t kind = 0;
    if (!read_number(k, kind) || !kind_operation(kind) || e.kinds.size() >= MAX_RUN_MODIFICATIONS) return false;
    e.kinds.push_back(kind);
  }
  return true;
}

bool parse_extent(std::string_view value, HistoryEntry& e) {
  if (value == "-") return true;
  const auto parts = split(value, ',');
  Extent x;
  if (parts.size() != 4 || !read_double(parts[0], x.LON_MIN) || !read_double(parts[1], x.LAT_MIN) ||
      !read_double(parts[2], x.LON_MAX) || !read_double(parts[3], x.LAT_MAX)) {
    return false;
  }
  e.extent = x;
  return true;
}

bool parse_tiles(std::string_view value, HistoryEntry& e) {
  if (value == "-") return true;
  for (std::string_view t : split(value, ',')) {
    if (!tile_name_valid(std::string(t))) return false;
    e.tiles.emplace_back(t);
  }
  return true;
}

// One line without its newline: the fields in their order, each checked.
std::optional<HistoryEntry> parse_line(std::string_view line) {
  const auto tokens = split(line, ' ');
  if (tokens.size() != 9) return std::nullopt;
  HistoryEntry e;
  const auto run = field(tokens[0], "run");
  const auto time = field(tokens[1], "time");
  const auto extent = field(tokens[3], "extent");
  const auto rings = field(tokens[4], "rings");
  const auto id = field(tokens[5], "id");
  const auto tiles = field(tokens[6], "tiles");
  const auto points = field(tokens[7], "points");
  const auto words = field(tokens[8], "words");
  if (!run || !read_number(*run, e.run) || e.run < 1 || !time || !time_valid(*time) ||
      !parse_what(tokens[2], e) || !extent || !parse_extent(*extent, e) || !rings || rings->size() != 16 ||
      !read_number(*rings, e.rings, 16) || !id || id->size() != 16 || !read_number(*id, e.run_id, 16) ||
      !tiles || !parse_tiles(*tiles, e) || !points || !read_number(*points, e.points) || !words ||
      !read_number(*words, e.words)) {
    return std::nullopt;
  }
  e.time = std::string(*time);
  return e;
}

void hash_table(XXH3_state_t* state, const VertexTable& table) {
  const int32_t n = table.NREC;
  const auto ends = static_cast<int32_t>(table.RING_ENDS.size());
  XXH3_64bits_update(state, &n, sizeof n);
  XXH3_64bits_update(state, &ends, sizeof ends);
  XXH3_64bits_update(state, table.RING_ENDS.data(), table.RING_ENDS.size() * sizeof(int32_t));
  XXH3_64bits_update(state, table.AREA_LON.data() + 1, static_cast<std::size_t>(n) * sizeof(double));
  XXH3_64bits_update(state, table.AREA_LAT.data() + 1, static_cast<std::size_t>(n) * sizeof(double));
}

}  // namespace

std::string hex64(uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

std::string number_text(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return std::string(text, ec == std::errc() ? end : text);
}

std::string history_path(char drive) { return database_root(drive) + "HISTORY"; }

std::string kept_undo_path(char drive, uint64_t run_id) { return undo_path(drive) + "." + hex64(run_id); }

int32_t kept_undo_runs() {
  const char* text = std::getenv("KAVLIN_UNDO_RUNS");
  int32_t n = 0;
  if (text == nullptr || !read_number(std::string_view(text), n) || n < 1 || n > MAX_UNDO_RUNS) {
    return DEFAULT_UNDO_RUNS;
  }
  return n;
}

std::string history_reason(int32_t error) {
  return error == FILE_TOO_LARGE ? "it is larger than 1 MB" : own_file_reason(error);
}

void History::add(HistoryEntry entry) {
  if (entry.undo() && entry.undo_of > 0) undone.emplace(entry.undo_of, entries.size());
  entries.push_back(std::move(entry));
}

const HistoryEntry* History::find(int64_t run) const {
  const auto at = std::lower_bound(entries.begin(), entries.end(), run,
                                   [](const HistoryEntry& e, int64_t r) { return e.run < r; });
  return at != entries.end() && at->run == run ? &*at : nullptr;
}

const HistoryEntry* History::undone_by(int64_t run) const {
  const auto it = undone.find(run);
  return it == undone.end() ? nullptr : &entries[it->second];
}

std::string encode_history_line(const HistoryEntry& e) {
  std::string line = "run=" + std::to_string(e.run) + " time=" + e.time + " ";
  if (e.undo()) {
    line += "undo=" + std::to_string(e.undo_of);
  } else {
    line += "kinds=";
    for (std::size_t i = 0; i < e.kinds.size(); ++i) line += (i > 0 ? "," : "") + std::to_string(e.kinds[i]);
  }
  line += " extent=";
  if (e.extent) {
    line += number_text(e.extent->LON_MIN) + "," + number_text(e.extent->LAT_MIN) + "," +
            number_text(e.extent->LON_MAX) + "," + number_text(e.extent->LAT_MAX);
  } else {
    line += "-";
  }
  line += " rings=" + hex64(e.rings) + " id=" + hex64(e.run_id) + " tiles=";
  for (std::size_t i = 0; i < e.tiles.size(); ++i) line += (i > 0 ? "," : "") + e.tiles[i];
  if (e.tiles.empty()) line += "-";
  line += " points=" + std::to_string(e.points) + " words=" + std::to_string(e.words) + "\n";
  return line;
}

History parse_history(std::string_view bytes) {
  History history;
  std::size_t from = 0;
  for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n', from)) {
    const std::string_view line = bytes.substr(from, end - from);
    from = end + 1;
    history.kept_bytes = from;
    std::optional<HistoryEntry> entry;
    if (line.size() <= MAX_HISTORY_LINE) entry = parse_line(line);
    // Run numbers only grow: a line that goes back is no line of this history.
    if (!entry || (!history.entries.empty() && entry->run <= history.entries.back().run)) {
      ++history.damaged_lines;
      continue;
    }
    history.add(std::move(*entry));
  }
  return history;
}

namespace {

// One file of the history: its bytes and lines, or why it cannot be read.
struct Segment {
  int32_t read = FILE_NOT_FOUND;
  std::string bytes;
  History lines;
};

Segment read_segment(OwnFiles& files, const std::string& path) {
  Segment s;
  s.read = files.READ_WHOLE_FILE(path, s.bytes, MAX_HISTORY_BYTES);
  if (s.read == 0) s.lines = parse_history(s.bytes);
  if (s.read != 0) s.bytes.clear();
  return s;
}

// The older file's lines, then the newer file's that follow them.
History joined(const Segment& older, const Segment& newer) {
  History history = older.lines;
  history.damaged_lines += newer.lines.damaged_lines;
  for (const HistoryEntry& e : newer.lines.entries) {
    if (history.entries.empty() || e.run > history.entries.back().run) history.add(e);
  }
  history.error = older.read != 0 && older.read != FILE_NOT_FOUND ? older.read
                  : newer.read != 0 && newer.read != FILE_NOT_FOUND ? newer.read
                                                                    : 0;
  return history;
}

}  // namespace

std::string older_history_path(char drive) { return history_path(drive) + ".OLD"; }

History read_history(OwnFiles& files, char drive) {
  return joined(read_segment(files, older_history_path(drive)), read_segment(files, history_path(drive)));
}

HistoryEntry modification_entry(std::span<const AreaModification> modifications) {
  HistoryEntry e;
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state);
  for (const AreaModification& m : modifications) {
    e.kinds.push_back(m.mod_kind);
    hash_table(state, *m.table);
    const Extent x = AREA_EXTENT(*m.table);
    if (!e.extent) {
      e.extent = x;
      continue;
    }
    e.extent->LON_MIN = std::min(e.extent->LON_MIN, x.LON_MIN);
    e.extent->LAT_MIN = std::min(e.extent->LAT_MIN, x.LAT_MIN);
    e.extent->LON_MAX = std::max(e.extent->LON_MAX, x.LON_MAX);
    e.extent->LAT_MAX = std::max(e.extent->LAT_MAX, x.LAT_MAX);
  }
  e.rings = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return e;
}

std::optional<Notice> append_history(OwnFiles& files, char drive, HistoryEntry& entry, History* read_before) {
  const std::string path = history_path(drive);
  const auto failed = [&](const std::string& what, int32_t error) {
    return Notice{"The run is done, but the history " + path + " " + what + ": " + history_reason(error) +
                      "! The run is not in it.",
                  "Error"};
  };
  // Only the newer file is read, unless it is missing (the older one then
  // numbers the run) or, with `read_before`, holds too few runs for the
  // caller.
  const Segment newer = read_segment(files, path);
  if (newer.read != 0 && newer.read != FILE_NOT_FOUND) return failed("cannot be read", newer.read);
  Segment older;
  if (newer.read == FILE_NOT_FOUND || (read_before != nullptr && newer.lines.entries.size() <= static_cast<std::size_t>(MAX_UNDO_RUNS))) {
    older = read_segment(files, older_history_path(drive));
  }
  const History history = joined(older, newer);
  entry.run = history.next_run();
  if (entry.time.empty()) entry.time = utc_now();
  if (read_before != nullptr) *read_before = history;
  const std::string line = encode_history_line(entry);
  const auto bytes_of = [](const std::string& text) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  int32_t written = 0;
  if (newer.lines.kept_bytes + line.size() > HISTORY_FILE_BYTES) {
    // Full: it becomes the older file (the one before goes) and a new one
    // begins with this line.
    written = files.RENAME_SYNCED(path, older_history_path(drive));
    if (written == 0) written = files.WRITE_SYNCED(path, bytes_of(line), false);
  } else if (newer.lines.kept_bytes == newer.bytes.size()) {
    written = files.WRITE_SYNCED(path, bytes_of(line), newer.read == 0);
  } else {
    // A last line cut short goes: written aside and renamed, so that the
    // file is whole either way.
    const std::string whole = newer.bytes.substr(0, newer.lines.kept_bytes) + line;
    const std::string aside = path + ".NEW";
    written = files.WRITE_SYNCED(aside, bytes_of(whole), false);
    if (written == 0) written = files.RENAME_SYNCED(aside, path);
  }
  return written == 0 ? std::nullopt : std::optional<Notice>(failed("could not be written", written));
}

void keep_undo_record(FileServices& files, char drive) {
  // Only the head of its first append is read: the record may be large.
  if (files.FILE_KIND(undo_path(drive)) != 0) return;
  int32_t unit = 0;
  if (files.OPEN_RECORD_FILE_READ(undo_path(drive), static_cast<int32_t>(JOURNAL_HEAD_BYTES), unit) != 0) return;
  std::string head(JOURNAL_HEAD_BYTES, '\0');
  const int32_t read =
      files.READ_RECORD(unit, 1, {reinterpret_cast<uint8_t*>(head.data()), head.size()});
  files.CLOSE_FILE(unit);
  if (read != 0) return;
  if (const std::optional<uint64_t> id = journal_run_id(head)) {
    files.RENAME_SYNCED(undo_path(drive), kept_undo_path(drive, *id));
  }
}

void prune_undo_records(OwnFiles& files, char drive, const History& history, int32_t keep) {
  // Records older than MAX_UNDO_RUNS modifications were pruned by the runs
  // after them: the history before them is not looked at again.
  int32_t kept = 0;
  for (auto e = history.entries.rbegin(); e != history.entries.rend() && kept < keep + MAX_UNDO_RUNS; ++e) {
    if (e->undo() || history.undone_by(e->run) != nullptr || kept++ < keep) continue;
    const std::string path = kept_undo_path(drive, e->run_id);
    if (files.FILE_KIND(path) == 0) files.REMOVE_SYNCED(path);
  }
}

int64_t changed_points(const Journal& journal) {
  GridPointCount points;
  for (const JournalFile& file : journal.files) {
    for (const JournalRecord& r : file.records) points.add(file.tile_name(), r.record, r.changed);
  }
  return points.points();
}

std::string kind_text(int32_t kind) {
  if (kind < 1 || kind > 10) return "kind " + std::to_string(kind);
  return std::string(kind % 2 == 1 ? "set " : "clear ") + FLAG_CLASS_NAMES[static_cast<std::size_t>((kind - 1) / 2 + 1)];
}

}  // namespace kavlin
