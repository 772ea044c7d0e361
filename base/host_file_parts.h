// What the host file services' parts share (one file a role: text files,
// record files, folders and drives, the database's own files and the
// lock): the error codes of their own, the open units, and the loops that
// go on after short transfers. Only the host file services include it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/host_file_services.h"

namespace kavlin::host_files {

// Error codes of our own, for failures that no system call reports.
inline constexpr int32_t kBadUnit = EBADF;
inline constexpr int32_t kBadArgument = EINVAL;
inline constexpr int32_t kNotRegularFile = EISDIR;
inline constexpr int32_t kReadOnlyFile = EACCES;
inline constexpr int32_t kIncompleteRecord = ENODATA;
inline constexpr int32_t kBeyondEndOfFile = ERANGE;

inline constexpr std::size_t kTextBufferSize = 64 * 1024;

// A name that no file has is the host's "no such file".
static_assert(FILE_NOT_FOUND == ENOENT);
// A file opened that is no regular file is refused with the same code
// wherever it is opened.
static_assert(NOT_A_REGULAR_FILE == kNotRegularFile);

inline int32_t last_error() { return errno != 0 ? errno : EIO; }

// Keeps a descriptor just opened with O_NONBLOCK when it is a regular file
// (then it blocks again, as files do) and closes it otherwise: 0, the
// error of fstat, or kNotRegularFile. `st` describes the open file.
int32_t keep_if_regular(int& fd, struct stat& st);

// Opens an existing regular file. What is no regular file is refused
// before it is opened, since opening a FIFO or a device has effects of its
// own; the open does not block and the check is repeated on the open file,
// in case the name was replaced in between.
int32_t open_regular(const std::string& host_path, int flags, int& fd, struct stat& st);

// Transfers `size` bytes at `offset`, going on after short transfers and
// interruptions. 0, `at_end` when the file ends first, or the error code.
template <typename Transfer>
int32_t transfer_all(Transfer transfer, std::size_t size, off_t offset, int32_t at_end) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = transfer(done, size - done, offset + static_cast<off_t>(done));
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return at_end;
    } else if (errno != EINTR) {
      return last_error();
    }
  }
  return 0;
}

// The next free handle of a table of open things (units, searches,
// locks): numbers from 1 on, skipping those still open, wrapping past the
// largest.
template <typename Table>
int32_t take_handle(const Table& open, int32_t& next) {
  while (open.count(next) != 0 || next <= 0) next = next <= 0 ? 1 : next + 1;
  return next++;
}

}  // namespace kavlin::host_files

namespace kavlin {

struct HostFileServices::Unit {
  int fd = -1;
  bool text = false;
  int32_t record_length = 0;
  // Text files: the bytes read ahead and not yet handed out.
  std::vector<char> buffer;
  std::size_t pos = 0;
  std::size_t end = 0;
  bool at_end = false;

  // Refills the read-ahead buffer; 0, or an error code. `at_end` tells
  // when the file has no more bytes.
  int32_t fill();
};

// A search reads its whole folder when it starts and hands the entries
// out in name order, so that a user sees the names sorted whatever order
// the file system keeps them in. Whether an entry is a folder is found
// when it is handed out.
struct HostFileServices::Search {
  struct Found {
    std::string name;
    std::filesystem::directory_entry entry;  // none for "." and "..", which are folders
  };
  std::vector<Found> entries;
  std::size_t next = 0;
};

}  // namespace kavlin
