// Writing a command-line program's output file without trusting what
// stands at its name: the text goes to a new file created exclusively in
// the target's folder (no link followed), is forced to the disk, and is
// then renamed over the target, which must be a regular file or a new
// name. A folder, a device, a FIFO, a socket or a symbolic link at the
// target's name is refused and left as it is.
#pragma once

#include <string>

namespace kavlin::cli {

// Writes `text` as the file `path`. False on any failure, with the reason
// in `error` ("it is a folder", "No such file or directory" ...); nothing
// is left behind then and the target is unchanged.
bool write_output_file(const std::string& path, const std::string& text, std::string& error);

}  // namespace kavlin::cli
