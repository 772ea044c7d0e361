// kavlin-apply: one modification from the command line, through the same
// engine and the same area checks as the editor.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/file_services.h"
#include "ui/program_values.h"

namespace kavlin::cli {

// Exit statuses.
inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_REFUSED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_FILE_ERROR = 3;

enum class AreaKind { None, Point, Rectangle, Polygon };

struct ApplyRequest {
  std::optional<char> drive;  // --drive; otherwise DRIVE.DAT decides
  bool dry_run = false;
  bool undo = false;          // --undo: no kind and no area
  bool recover = false;       // --recover: roll back a journal left behind, nothing else
  bool discard_journal = false;  // --discard-journal: set such a journal aside
  int32_t kind = 0;           // 1..10
  AreaKind area = AreaKind::None;
  double LON1 = 0.0, LAT1 = 0.0, LON2 = 0.0, LAT2 = 0.0;
  std::string polygon_file;   // as typed
  // How polygon_file is taken: "X:\..." (a letter, a colon, a backslash)
  // is a program path through the drive table, anything else a path of
  // the host, absolute or relative to the working directory.
  bool polygon_host_path = false;
  std::string preview_dir;    // --preview (dry run only): host folder for change masks
};

// What a preview writer gets after a successful dry run: the area, the
// kind, the drive, and the engine's count of grid words that would change.
struct PreviewContext {
  FileServices& files;
  char drive;
  const VertexTable& table;
  int32_t kind;
  int64_t words_changed;
  const std::string& dir;
  std::ostream& out;
  std::ostream& err;
};
// Writes the preview of --preview and returns the exit status. kavlin-apply
// installs one when it is built with GDAL; without one --preview is refused.
using PreviewWriter = int (*)(const PreviewContext&);
void set_preview_writer(PreviewWriter writer);

struct ParseResult {
  enum class Action { Run, Help, Usage } action = Action::Usage;
  ApplyRequest request;  // for Run
  std::string error;     // for Usage: what is wrong, without the program name
};

// A co-ordinate argument: the whole text must be one finite decimal number
// (optional sign, digits, optional fraction and exponent), read as the
// nearest double. No hexadecimal, no inf or nan.
std::optional<double> parse_coordinate(std::string_view text);

// The command line without the program name.
ParseResult parse_arguments(const std::vector<std::string>& args);

// Kind number of "--set TYPE" (set = true) or "--clear TYPE"; empty for an
// unknown type name.
std::optional<int32_t> kind_from_type(std::string_view type, bool set);

// The --help text.
const char* help_text();

// True when a --polygon value is a program path: a drive letter, a colon
// and a backslash.
bool is_program_path(std::string_view path);

// Drive letter from DRIVE.DAT in the working directory, as the editor
// reads it (read_drive_file); its notice goes to `err` as "Info: ..." on
// one line. Empty when DRIVE.DAT is there but cannot be read as a file:
// the reason is on `err` then, and the caller ends with EXIT_USAGE rather
// than take drive C for a database the user did not name.
std::optional<char> read_drive_letter(FileServices& files, std::ostream& err);

// Said once on `err` when another modification holds the database lock.
inline constexpr const char* WAITING_LINE = "kavlin-apply: waiting for another modification of the database to end\n";

// Runs a parsed request: the database lock (shared for a dry run), the
// rollback of a journal left behind, area checks, then the engine
// journaled (or the undo, --recover, --discard-journal). Results go to
// `out`, messages to `err` ("Caption: text", one line each). Returns the
// exit status.
int run_request(const ApplyRequest& request, FileServices& files, std::ostream& out, std::ostream& err);

}  // namespace kavlin::cli
