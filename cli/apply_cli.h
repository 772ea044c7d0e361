// kavlin-apply: one modification from the command line, through the same
// engine and the same area checks as the editor.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/area_args.h"
#include "cli/progress.h"
#include "base/file_services.h"
#include "base/program_values.h"

namespace kavlin::cli {

// Exit statuses.
inline constexpr int EXIT_DONE = 0;
inline constexpr int EXIT_REFUSED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_FILE_ERROR = 3;
// --check: the database (or the area's tiles) is read through and holds
// faults: a tile file of a wrong size, copies of a grid point that differ.
inline constexpr int EXIT_CHECK_FAULTS = 4;
// Memory ran out: nothing is changed (what a run had written is rolled
// back), unless that rollback fails (EXIT_FILE_ERROR then).
inline constexpr int EXIT_OUT_OF_MEMORY = 5;

struct ApplyRequest : AreaArgs {
  bool dry_run = false;
  bool undo = false;             // --undo: no kind and no area
  int64_t undo_run = 0;          // --undo RUN: that run of the history; 0 the last
  bool history = false;          // --history: list the runs of the history
  bool recover = false;          // --recover: roll back a journal left behind, nothing else
  bool discard_journal = false;  // --discard-journal: set such a journal aside
  bool check = false;            // --check: read the database (or the area's tiles) and report its faults
  // --batch FILE: the modifications stand in FILE, one per line; no kind
  // and no area on the command line.
  std::optional<std::string> batch_file;
  ProgressChoice progress;     // -q, --progress
  bool show_progress = false;  // the tool's main decides, from `progress` and standard error
};

// What runs after a successful dry run of a modification (kavlin-export's
// change masks): the area, the kind, the drive, and the engine's count of
// grid words that would change.
struct PreviewContext {
  RecordFiles& files;
  char drive;
  const VertexTable& table;
  int32_t kind;
  int64_t words_changed;
  std::ostream& out;
  std::ostream& err;
};
// Returns the exit status.
using PreviewWriter = std::function<int(const PreviewContext&)>;

// What a tool makes of its command line: a run, the help, or a usage
// error (what is wrong, without the program name).
struct ParseOutcome {
  enum class Action { Run, Help, Version, Usage } action = Action::Usage;
  std::string error;  // for Usage
};

// A tool's parse with the request it runs.
template <typename Request>
struct ToolParse : ParseOutcome {
  Request request;  // for Run
  // Makes this parse a usage error and returns it.
  ToolParse usage(std::string why) {
    action = Action::Usage;
    error = std::move(why);
    return *this;
  }
  // Makes this parse the request for the help and returns it.
  ToolParse help() {
    action = Action::Help;
    return *this;
  }
  // Makes this parse the request for the version and returns it.
  ToolParse version() {
    action = Action::Version;
    return *this;
  }
};

// Whether a command-line argument asks for the help: "--help" or "-h".
inline bool asks_for_help(const std::string& arg) { return arg == "--help" || arg == "-h"; }
// Whether it asks for the version: "--version".
inline bool asks_for_version(const std::string& arg) { return arg == "--version"; }
// A tool's answer to --version: "TOOL VERSION".
std::string version_line(const char* tool);

// A tool's answer to a parse that asks for no run: the help text or the
// version line on `out` (EXIT_DONE), or the error and a pointer to the help on `err`
// ("TOOL: error\nTry 'TOOL --help' for more information.", EXIT_USAGE).
// Nothing for a run.
std::optional<int> answer_without_run(const char* tool, const ParseOutcome& parsed, const char* help, std::ostream& out,
                                      std::ostream& err);

// A tool's main routine: the command line (without the program name) parsed
// by `parse`, answered as above where it asks for no run, else the exit
// status of `run` with the request.
template <typename Parse, typename Run>
int tool_main(const char* tool, int argc, char** argv, Parse parse, const char* help, Run run) {
  const auto parsed = parse(std::vector<std::string>(argv + 1, argv + argc));
  const std::optional<int> answered = answer_without_run(tool, parsed, help, std::cout, std::cerr);
  return answered ? *answered : run(parsed.request);
}

using ParseResult = ToolParse<ApplyRequest>;

// The command line without the program name.
ParseResult parse_arguments(const std::vector<std::string>& args);

// A message of the program on standard error: "Caption: text", one line.
void print_notice(std::ostream& err, const Notice& notice);

// The --help text.
const char* help_text();

// Drive letter from DRIVE.DAT in the working directory, as the editor
// reads it (read_drive_file); its notice goes to `err` as "Info: ..." on
// one line. Empty when DRIVE.DAT is there but cannot be read as a file:
// the reason is on `err` then, and the caller ends with EXIT_USAGE rather
// than take drive C for a database the user did not name.
std::optional<char> read_drive_letter(TextFiles& files, std::ostream& err);

// Said once on `err` when another modification holds the database lock.
inline constexpr const char* WAITING_LINE = "kavlin-apply: waiting for another modification of the database to end\n";

// Runs a parsed request: the database lock (shared for a dry run and a
// check), the rollback of a journal left behind, area checks, then the
// engine journaled (or the undo, --recover, --discard-journal, the check).
// A batch file is read before the lock is taken; every line's area is
// checked, then its modifications run as one. Results go to `out`,
// messages to `err` ("Caption: text", one line each). Returns the exit
// status. After a successful dry run of a modification `preview`, when
// given, runs with the run's results and gives the exit status.
int run_request(const ApplyRequest& request, FileServices& files, std::ostream& out, std::ostream& err,
                const PreviewWriter& preview = {});

}  // namespace kavlin::cli
