// Output files of the command-line tools written safely: into a new file
// made exclusively beside the final name (never through a link planted
// there), then renamed over it, so that a reader sees the old file or the
// whole new one. Only a regular file or a new name is ever replaced: a
// folder, a device, a FIFO or a symbolic link at the name is refused.
#pragma once

#include <string>

namespace kavlin::tools {

// Checks the final name and makes the temporary file `temp` (same folder,
// empty, closed again). An empty text on success, otherwise what is wrong
// ("cannot write PATH: it is a folder").
std::string begin_output(const std::string& path, std::string& temp);
// Renames `temp` over `path` after checking `path` once more and forcing
// `temp` to the device; `temp` is removed when that fails.
std::string commit_output(const std::string& temp, const std::string& path);
// Removes `temp` (after a failed write).
void abandon_output(const std::string& temp);

}  // namespace kavlin::tools
