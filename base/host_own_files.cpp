// The database's own small files beside the tiles (a run's journal, the
// undo record) and the lock: never through a link, each change forced to
// the device.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>

#include "base/host_file_parts.h"

namespace kavlin {

using namespace host_files;

namespace {

// Forces the folder that holds `host_path` to the device, so that a file
// created, renamed or removed there stays so after a crash.
int32_t sync_folder(const std::string& host_path) {
  const std::size_t cut = host_path.find_last_of('/');
  const std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : host_path.substr(0, cut);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_error();
  const int32_t status = ::fsync(fd) != 0 ? last_error() : 0;
  ::close(fd);
  return status;
}

// Appends or writes at the file position (O_APPEND files included).
int32_t write_all(int fd, const uint8_t* data, std::size_t size) {
  return transfer_all([&](std::size_t done, std::size_t left, off_t) { return ::write(fd, data + done, left); },
                      size, 0, EIO);
}

// Opens one of the program's own files without following a link at its
// name and without blocking on a FIFO; anything but a regular file is
// refused (and, when just opened, closed again).
int32_t open_own(const std::string& host_path, int flags, mode_t mode, int& fd) {
  fd = ::open(host_path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  if (fd < 0) {
    const int32_t err = last_error();
    if (err != ELOOP && err != ENXIO) return err;
    // ELOOP: a link at the name; ENXIO: a FIFO without a reader.
    struct stat st {};
    if (::lstat(host_path.c_str(), &st) == 0) return S_ISLNK(st.st_mode) ? IS_A_LINK : NOT_A_REGULAR_FILE;
    return err;
  }
  struct stat st {};
  return keep_if_regular(fd, st);
}

}  // namespace

int32_t HostFileServices::FILE_KIND(const std::string& path) {
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  struct stat st {};
  if (::lstat(host_path->c_str(), &st) != 0) return last_error();
  if (S_ISLNK(st.st_mode)) return IS_A_LINK;
  return S_ISREG(st.st_mode) ? 0 : NOT_A_REGULAR_FILE;
}

int32_t HostFileServices::WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) {
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  const int flags = O_WRONLY | (append ? O_APPEND : O_CREAT);
  int fd = -1;
  if (const int32_t err = open_own(*host_path, flags, 0644, fd); err != 0) return err;
  int32_t status = 0;
  if (!append && ::ftruncate(fd, 0) != 0) status = last_error();
  if (status == 0) status = write_all(fd, bytes.data(), bytes.size());
  if (status == 0 && ::fsync(fd) != 0) status = last_error();
  if (::close(fd) != 0 && status == 0) status = last_error();
  if (status == 0 && !append) status = sync_folder(*host_path);
  return status;
}

int32_t HostFileServices::READ_WHOLE_FILE(const std::string& path, std::string& bytes, std::size_t max_bytes) {
  bytes.clear();
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  int fd = -1;
  if (const int32_t err = open_own(*host_path, O_RDONLY, 0, fd); err != 0) return err;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > max_bytes) {
    const int32_t err = static_cast<uint64_t>(st.st_size) > max_bytes ? FILE_TOO_LARGE : last_error();
    ::close(fd);
    return err;
  }
  bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  int32_t status = 0;
  for (;;) {
    if (done == bytes.size()) {
      // The file grew since: never beyond the bound. A file of exactly
      // the bound is whole when nothing follows.
      if (done >= max_bytes) {
        char more = 0;
        ssize_t n = 0;
        do {
          n = ::read(fd, &more, 1);
        } while (n < 0 && errno == EINTR);
        status = n == 0 ? 0 : n > 0 ? FILE_TOO_LARGE : last_error();
        break;
      }
      bytes.resize(std::min(done + 4096, max_bytes));
    }
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      status = last_error();
      break;
    }
  }
  ::close(fd);
  bytes.resize(status == 0 ? done : 0);
  return status;
}

int32_t HostFileServices::REMOVE_SYNCED(const std::string& path) {
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  if (::unlink(host_path->c_str()) != 0) return last_error();
  return sync_folder(*host_path);
}

int32_t HostFileServices::RENAME_SYNCED(const std::string& path, const std::string& to) {
  const std::optional<std::string> from_host = drives_.resolve(path);
  const std::optional<std::string> to_host = drives_.resolve(to);
  if (!from_host || !to_host) return FILE_NOT_FOUND;
  if (::rename(from_host->c_str(), to_host->c_str()) != 0) return last_error();
  return sync_folder(*to_host);
}

int32_t HostFileServices::LOCK_FILE(const std::string& path, bool wait, int32_t& handle, bool shared) {
  handle = 0;
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  int fd = -1;
  // A few rounds at most: another program may make the file between our
  // open and our creation.
  for (int round = 0; fd < 0 && round < 4; ++round) {
    int32_t err = open_own(*host_path, O_RDWR, 0, fd);
    // A lock holds on a descriptor opened for reading as well: a lock file
    // made by another user, or on a read-only medium.
    if (err == EACCES || err == EPERM || err == EROFS) err = open_own(*host_path, O_RDONLY, 0, fd);
    if (err == 0) break;
    if (err != ENOENT) return err;
    // Made only where no name is: never through a link planted there.
    err = open_own(*host_path, O_RDWR | O_CREAT | O_EXCL, 0644, fd);
    if (err == 0) {
      // Readable by every user whatever the umask, so that they can lock it.
      ::fchmod(fd, 0644);
      break;
    }
    if (err == EEXIST) continue;
    if (err == ENOENT) return FILE_NOT_FOUND;  // no such folder
    if (err == EACCES || err == EPERM || err == EROFS) return NO_LOCK_FILE;
    return err;
  }
  if (fd < 0) return EAGAIN;
  for (;;) {
    if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB)) == 0) break;
    if (errno == EINTR) continue;
    const int32_t err = errno == EWOULDBLOCK ? FILE_BUSY : last_error();
    ::close(fd);
    return err;
  }
  handle = take_handle(locks_, next_lock_);
  locks_.emplace(handle, fd);
  return 0;
}

void HostFileServices::UNLOCK_FILE(int32_t& handle) {
  const auto it = locks_.find(handle);
  if (it != locks_.end()) {
    ::close(it->second);  // closing the only descriptor releases the lock
    locks_.erase(it);
  }
  handle = 0;
}

}  // namespace kavlin
