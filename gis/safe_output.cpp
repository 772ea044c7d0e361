#include "gis/safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace kavlin::gis {

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Why a name that exists cannot be written over; empty for a regular file.
std::string not_a_file(mode_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return "it is a folder";
  if (S_ISLNK(mode)) return "it is a symbolic link";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISSOCK(mode)) return "it is a socket";
  return "it is not a regular file";
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The protected inputs: identity and the name they were given as.
struct Input {
  dev_t device;
  ino_t inode;
  std::string name;
};
std::vector<Input>& inputs() {
  static std::vector<Input> protected_inputs;
  return protected_inputs;
}

// "it is the source NAME" when the file is a protected input.
std::string source_reason(const struct stat& st) {
  for (const Input& input : inputs()) {
    if (input.device == st.st_dev && input.inode == st.st_ino) return "it is the source " + input.name;
  }
  return {};
}
std::string clash_of(const std::string& path, const struct stat& st) {
  const std::string reason = source_reason(st);
  return reason.empty() ? reason : "cannot write " + path + ": " + reason;
}

std::string target_problem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  const std::string problem = not_a_file(st.st_mode);
  return problem.empty() ? clash_of(path, st) : "cannot write " + path + ": " + problem;
}

std::string folder_of(const std::string& path) {
  const std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

void protect_inputs(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    struct stat st {};
    // The file itself, through any link.
    if (::stat(path.c_str(), &st) == 0) inputs().push_back({st.st_dev, st.st_ino, path});
  }
}

std::string input_clash(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return clash_of(path, st);
}

bool write_output_file(const std::string& path, const std::string& text, std::string& error) {
  if (path.empty() || path.back() == '/') {
    error = "it is a folder";
    return false;
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") {
    error = "it is a folder";
    return false;
  }

  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    error = std::strerror(errno);
    return false;
  }
  // What stands at the name now: a regular file (its permissions are kept)
  // or nothing.
  struct stat existing {};
  bool replaces = false;
  if (::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    error = not_a_file(existing.st_mode);
    if (error.empty()) error = source_reason(existing);
    if (!error.empty()) return false;
    replaces = true;
  } else if (errno != ENOENT) {
    error = std::strerror(errno);
    return false;
  }

  // A new file of a name nobody else has: O_EXCL never opens what exists,
  // a link included.
  std::random_device random;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = "." + name + "." + std::to_string(random() % 1000000000u) + ".tmp";
    fd = ::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      error = std::strerror(errno);
      return false;
    }
  }
  Fd file(fd);
  if (file.get() < 0) {
    error = "no temporary file could be created beside it";
    return false;
  }
  auto fail = [&](int code) {
    error = std::strerror(code);
    ::unlinkat(dir.get(), temporary.c_str(), 0);
    return false;
  };
  if (replaces && ::fchmod(file.get(), existing.st_mode & 07777) != 0) return fail(errno);
  if (!write_all(file.get(), text) || ::fsync(file.get()) != 0) return fail(errno);
  if (::close(file.release()) != 0) return fail(errno);

  // The name is checked once more right before the rename: rename would
  // put the file in place of a device or FIFO made there meanwhile.
  if (::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    error = not_a_file(existing.st_mode);
    if (error.empty()) error = source_reason(existing);
    if (!error.empty()) {
      ::unlinkat(dir.get(), temporary.c_str(), 0);
      return false;
    }
  }
  if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0) return fail(errno);
  ::fsync(dir.get());
  return true;
}

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


}  // namespace kavlin::gis
