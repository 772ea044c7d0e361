// kavlin-apply's batch files: one modification per line, written as
// kavlin-apply's own kind and area options ("--set inland-water --polygon
// lakes/12.txt"); "#" starts a comment, blank lines are skipped, a word in
// double quotes may hold blanks. A polygon path of the host that is not
// absolute is taken relative to the batch file's folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/area_args.h"
#include "base/file_services.h"

namespace kavlin::cli {

// Characters of a batch line that count; a line with more than blanks
// beyond them is refused rather than read cut short.
inline constexpr std::size_t BATCH_LINE_LENGTH = 1024;
// Modifications one batch may hold.
inline constexpr std::size_t MAX_BATCH_LINES = 10000;

struct BatchLine {
  int32_t line = 0;  // its number in the file, from 1
  std::string text;  // its words, for messages
  AreaArgs area;     // kind and area (never a drive)
};

struct BatchFile {
  bool ok = false;
  // Why the file is refused, naming the file and, for a line, its number
  // ("lakes/batch.txt, line 4: unknown option '--foo'").
  std::string error;
  std::vector<BatchLine> lines;
};

// The words of one line: blanks (spaces, tabs) separate them, a word in
// double quotes may hold blanks and "#", a "#" elsewhere ends the line.
// False with `error` set for an unclosed quote.
bool split_batch_line(std::string_view line, std::vector<std::string>& words, std::string& error);

// The modifications of the lines of a batch file named `name` (for the
// messages), host polygon paths joined to `folder` unless absolute.
BatchFile parse_batch_lines(const std::vector<std::string>& lines, const std::string& name, const std::string& folder);

// Reads and parses the batch file `path`, a path of the host.
BatchFile read_batch_file(TextFiles& files, const std::string& path);

}  // namespace kavlin::cli
