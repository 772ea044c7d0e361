// kavlin-apply's answers about past runs: --undo [RUN] and --history.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "base/file_services.h"

namespace kavlin::cli {

// Names separated by blanks, or "none".
std::string join_names(const std::vector<std::string>& names);

// --undo (run 0: the last modification) and --undo RUN, with the lock held
// and the journal recovered; the exit status.
int run_undo(FileServices& files, char drive, int64_t run, bool dry_run, std::ostream& out, std::ostream& err);

// --history: the runs of the history, newest first; the exit status.
int list_history(OwnFiles& files, char drive, std::ostream& out, std::ostream& err);

}  // namespace kavlin::cli
