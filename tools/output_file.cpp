#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kavlin::tools {

namespace {

// What is wrong with `path` as a name to replace; empty for a regular
// file or a name that is free.
std::string target_problem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  if (S_ISREG(st.st_mode)) return {};
  const char* what = S_ISDIR(st.st_mode)                              ? "a folder"
                     : S_ISLNK(st.st_mode)                            ? "a symbolic link"
                     : S_ISFIFO(st.st_mode)                           ? "a FIFO"
                     : (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))   ? "a device"
                                                                      : "not a regular file";
  return "cannot write " + path + ": it is " + what;
}

std::string folder_of(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

std::string begin_output(const std::string& path, std::string& temp) {
  temp.clear();
  if (std::string problem = target_problem(path); !problem.empty()) return problem;
  const std::size_t cut = path.find_last_of('/');
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  std::string pattern = folder_of(path) + "/." + name + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  // mkstemp makes the file with O_EXCL: a new file of our own.
  const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
  ::fchmod(fd, 0644);
  ::close(fd);
  temp = buffer.data();
  return {};
}

std::string commit_output(const std::string& temp, const std::string& path) {
  std::string problem = target_problem(path);
  if (problem.empty()) {
    const int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) problem = "cannot write " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
  }
  if (problem.empty() && ::rename(temp.c_str(), path.c_str()) != 0) {
    problem = "cannot write " + path + ": " + std::strerror(errno);
  }
  if (!problem.empty()) abandon_output(temp);
  return problem;
}

void abandon_output(const std::string& temp) {
  if (!temp.empty()) ::unlink(temp.c_str());
}

}  // namespace kavlin::tools
