// Writing a command-line program's output file without trusting what
// stands at its name: the text goes to a new file created exclusively in
// the target's folder (no link followed), is forced to the disk, and is
// then renamed over the target, which must be a regular file or a new
// name. A folder, a device, a FIFO, a socket or a symbolic link at the
// target's name is refused and left as it is.
#pragma once

#include <string>
#include <vector>

namespace kavlin::gis {

// Files the program reads (a polygon source, the tiles of a database):
// no output may be one of them, however named (a link, another path, a
// hard link: the same device and inode). Every output name is checked
// against them before anything is written to it ("cannot write PATH: it
// is the source SOURCE").
void protect_inputs(const std::vector<std::string>& paths);
// The problem with writing `path` when it is one of the protected inputs;
// empty otherwise (also when `path` does not exist).
std::string input_clash(const std::string& path);

// Writes `text` as the file `path`. False on any failure, with the reason
// in `error` ("it is a folder", "No such file or directory" ...); nothing
// is left behind then and the target is unchanged.
bool write_output_file(const std::string& path, const std::string& text, std::string& error);

// The same for a file another library writes by name (GDAL's rasters):
// begin_output checks the final name and makes the temporary file `temp`
// (same folder, empty, closed again); an empty text on success, otherwise
// what is wrong ("cannot write PATH: it is a folder"). commit_output
// renames `temp` over `path` after checking `path` once more and forcing
// `temp` to the device; `temp` is removed when that fails. abandon_output
// removes `temp` after a failed write.
std::string begin_output(const std::string& path, std::string& temp);
std::string commit_output(const std::string& temp, const std::string& path);
void abandon_output(const std::string& temp);

}  // namespace kavlin::gis
