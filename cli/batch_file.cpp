#include "cli/batch_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kavlin::cli {

bool split_batch_line(std::string_view line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::size_t at = 0;
  while (at < line.size()) {
    const char c = line[at];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++at;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      const std::size_t close = line.find('"', at + 1);
      if (close == std::string_view::npos) {
        error = "a quote is not closed";
        return false;
      }
      words.emplace_back(line.substr(at + 1, close - at - 1));
      at = close + 1;
    } else {
      std::size_t end = at;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' && line[end] != '#') ++end;
      words.emplace_back(line.substr(at, end - at));
      at = end;
    }
  }
  return true;
}

BatchFile parse_batch_lines(const std::vector<std::string>& lines, const std::string& name, const std::string& folder) {
  BatchFile batch;
  batch.lines.reserve(lines.size());  // at most one modification a line
  auto refuse = [&](std::size_t n, const std::string& what) {
    batch.ok = false;
    batch.error = name + ", line " + std::to_string(n + 1) + ": " + what;
    batch.lines.clear();
    return batch;
  };
  std::vector<std::string> words;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string error;
    if (!split_batch_line(lines[n], words, error)) return refuse(n, error);
    if (words.empty()) continue;
    if (batch.lines.size() == MAX_BATCH_LINES) {
      batch.error = name + " holds more than " + std::to_string(MAX_BATCH_LINES) + " modifications; split it";
      batch.lines.clear();
      return batch;
    }
    BatchLine line;
    line.line = static_cast<int32_t>(n + 1);
    for (std::size_t a = 0; a < words.size(); ++a) {
      const std::string& word = words[a];
      if (word == "--drive" || word == "--dry-run" || word == "--batch") {
        return refuse(n, word + " belongs on the command line, not in a batch line");
      }
      if (word == "--undo" || word == "--help" || word == "-h") return refuse(n, word + " is not taken in a batch line");
      const Taken taken = take_area_argument(words, a, line.area, error);
      if (taken == Taken::Error) return refuse(n, error);
      if (taken == Taken::No) {
        return refuse(n, word.size() > 1 && word[0] == '-' ? "unknown option '" + word + "'"
                                                           : "unexpected argument '" + word + "'");
      }
    }
    line.text.clear();
    for (const std::string& word : words) line.text += (line.text.empty() ? "" : " ") + word;
    if (const std::string missing = missing_area_argument(line.area); !missing.empty()) return refuse(n, missing);
    if ((line.area.area == AreaKind::Polygon || line.area.area == AreaKind::Named) && line.area.polygon_host_path &&
        !folder.empty() &&
        !std::filesystem::path(line.area.polygon_file).is_absolute()) {
      line.area.polygon_file = (std::filesystem::path(folder) / line.area.polygon_file).string();
    }
    batch.lines.push_back(std::move(line));
  }
  if (batch.lines.empty()) {
    batch.error = name + " holds no modification";
    return batch;
  }
  batch.ok = true;
  return batch;
}

BatchFile read_batch_file(TextFiles& files, const std::string& path) {
  BatchFile batch;
  int32_t unit = 0;
  const int32_t opened = files.OPEN_HOST_TEXT_FILE(path, unit);
  if (opened != 0) {
    // The host services report a FIFO, a device or a folder alike as
    // "is a directory".
    const std::string reason = opened == FILE_NOT_FOUND ? "there is no such file"
                               : opened == EISDIR       ? "it is not a regular file"
                                                        : std::strerror(opened);
    batch.error = "the batch file " + path + " cannot be read (" + reason + ")";
    return batch;
  }
  std::vector<std::string> lines;
  std::string field;
  for (;;) {
    bool cut = false;
    const int32_t read = files.READ_TEXT_LINE_CUT(unit, field, BATCH_LINE_LENGTH, cut);
    if (read == END_OF_FILE) break;
    if (read != 0) {
      files.CLOSE_FILE(unit);
      batch.error = "the batch file " + path + " cannot be read (" + std::strerror(read) + ")";
      return batch;
    }
    if (cut) {
      files.CLOSE_FILE(unit);
      batch.error = path + ", line " + std::to_string(lines.size() + 1) + ": longer than " +
                    std::to_string(BATCH_LINE_LENGTH) + " characters";
      return batch;
    }
    lines.push_back(field.substr(0, field.find_last_not_of(' ') + 1));
  }
  files.CLOSE_FILE(unit);
  return parse_batch_lines(lines, path, std::filesystem::path(path).parent_path().string());
}

}  // namespace kavlin::cli
