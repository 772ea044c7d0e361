#include "ui/host_file_services.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kavlin {

namespace {

// Error codes of our own, for failures that no system call reports.
constexpr int32_t kBadUnit = EBADF;
constexpr int32_t kBadArgument = EINVAL;
constexpr int32_t kNotRegularFile = EISDIR;
constexpr int32_t kReadOnlyFile = EACCES;
constexpr int32_t kIncompleteRecord = ENODATA;
constexpr int32_t kBeyondEndOfFile = ERANGE;

constexpr std::size_t kTextBufferSize = 64 * 1024;

// A name that no file has is the host's "no such file".
static_assert(FILE_NOT_FOUND == ENOENT);

int32_t last_error() { return errno != 0 ? errno : EIO; }

// Opens an existing regular file. What is no regular file is refused
// before it is opened, since opening a FIFO or a device has effects of its
// own; the open does not block and the check is repeated on the open file,
// in case the name was replaced in between.
int32_t open_regular(const std::string& host_path, int flags, int& fd, struct stat& st) {
  fd = -1;
  if (::stat(host_path.c_str(), &st) != 0) return last_error();
  if (!S_ISREG(st.st_mode)) return kNotRegularFile;
  fd = ::open(host_path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return last_error();
  if (::fstat(fd, &st) != 0) {
    const int32_t err = last_error();
    ::close(fd);
    fd = -1;
    return err;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    fd = -1;
    return kNotRegularFile;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return 0;
}

}  // namespace

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
  int32_t fill() {
    if (buffer.empty()) buffer.resize(kTextBufferSize);
    pos = 0;
    end = 0;
    for (;;) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        end = static_cast<std::size_t>(n);
        return 0;
      }
      if (n == 0) {
        at_end = true;
        return 0;
      }
      if (errno == EINTR) continue;
      return last_error();
    }
  }
};

// A search reads its whole folder when it starts and hands the entries
// out in name order, so that a user sees the names sorted whatever order
// the file system keeps them in.
struct HostFileServices::Search {
  struct Found {
    std::string name;
    unsigned char type = DT_UNKNOWN;
  };
  std::string folder;
  std::vector<Found> entries;
  std::size_t next = 0;
};

namespace {

unsigned char ascii_lower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

// Name order: ignoring the case of ASCII letters, byte by byte; names
// equal but for case in the order of their bytes.
bool name_before(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = ascii_lower(a[i]);
    const unsigned char y = ascii_lower(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

HostFileServices::HostFileServices(DriveTable drives) : drives_(std::move(drives)) {}

HostFileServices::~HostFileServices() { CLOSE_ALL_FILES(); }

std::size_t HostFileServices::open_count() const { return units_.size() + searches_.size() + locks_.size(); }

std::string HostFileServices::DRIVE_LETTERS() { return drives_.letters(); }

bool HostFileServices::DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) {
  total_bytes = 0;
  free_bytes = 0;
  if (letter.empty()) return false;
  const std::optional<std::string> root = drives_.drive_root(letter.front());
  if (!root) return false;
  // A drive answers when its folder can be listed; a dangling link or a
  // folder we may not read is a drive that is not ready.
  struct stat st {};
  if (::stat(root->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  DIR* dir = ::opendir(root->c_str());
  if (dir == nullptr) return false;
  ::closedir(dir);
  struct statvfs vfs {};
  if (::statvfs(root->c_str(), &vfs) != 0) return false;
  const auto unit = static_cast<int64_t>(vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize);
  total_bytes = static_cast<int64_t>(vfs.f_blocks) * unit;
  free_bytes = static_cast<int64_t>(vfs.f_bavail) * unit;
  return true;
}

bool HostFileServices::NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) {
  entry = DirEntry{};
  if (handle == 0) {
    // The pattern is a folder followed by a name pattern such as "*.*".
    const std::size_t cut = pattern.find_last_of("\\/");
    if (cut == std::string::npos || cut + 1 >= pattern.size()) return false;
    // No name holds a NUL; the matcher would stop reading the pattern there.
    if (pattern.find('\0') != std::string::npos) return false;
    const std::optional<std::string> folder = drives_.resolve(pattern.substr(0, cut + 1));
    if (!folder) return false;
    DIR* dir = ::opendir(folder->c_str());
    if (dir == nullptr) return false;
    auto search = std::make_unique<Search>();
    search->folder = *folder;
    // "*.*" and "*" match every name, those without a dot included; any
    // other pattern is matched with the shell's rules, ignoring case.
    const std::string name_pattern = pattern.substr(cut + 1);
    const bool match_all = name_pattern == "*.*" || name_pattern == "*";
    // A read error ends the folder: what was read before it is handed out.
    while (const dirent* e = ::readdir(dir)) {
      if (!match_all && ::fnmatch(name_pattern.c_str(), e->d_name, FNM_CASEFOLD) != 0) continue;
      search->entries.push_back({e->d_name, e->d_type});
    }
    ::closedir(dir);
    std::sort(search->entries.begin(), search->entries.end(),
              [](const Search::Found& a, const Search::Found& b) { return name_before(a.name, b.name); });
    while (searches_.count(next_search_) != 0 || next_search_ <= 0) {
      next_search_ = next_search_ <= 0 ? 1 : next_search_ + 1;
    }
    handle = next_search_++;
    searches_.emplace(handle, std::move(search));
  }
  const auto it = searches_.find(handle);
  if (it == searches_.end()) {
    handle = 0;
    return false;
  }
  Search& search = *it->second;
  if (search.next >= search.entries.size()) {
    END_DIR_SEARCH(handle);
    return false;
  }
  const Search::Found& found = search.entries[search.next++];
  bool directory = false;
  if (found.type == DT_DIR) {
    directory = true;
  } else if (found.type == DT_LNK || found.type == DT_UNKNOWN) {
    // The directory flag follows symbolic links.
    std::string path = search.folder;
    if (path.empty() || path.back() != '/') path.push_back('/');
    path += found.name;
    struct stat st {};
    directory = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  entry.name = found.name;
  entry.is_directory = directory;
  return true;
}

void HostFileServices::END_DIR_SEARCH(int32_t& handle) {
  searches_.erase(handle);
  handle = 0;
}

int32_t HostFileServices::OPEN_TEXT_FILE(const std::string& path, int32_t& unit) {
  unit = 0;
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  return open_text(*host_path, unit);
}

int32_t HostFileServices::OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) {
  unit = 0;
  // The host reads a name only up to a NUL, which would make it another
  // name.
  if (host_path.empty() || host_path.find('\0') != std::string::npos) return FILE_NOT_FOUND;
  return open_text(host_path, unit);
}

int32_t HostFileServices::open_text(const std::string& host_path, int32_t& unit) {
  int fd = -1;
  struct stat st {};
  if (const int32_t err = open_regular(host_path, O_RDONLY, fd, st); err != 0) return err;
  auto u = std::make_unique<Unit>();
  u->fd = fd;
  u->text = true;
  while (units_.count(next_unit_) != 0 || next_unit_ <= 0) next_unit_ = next_unit_ <= 0 ? 1 : next_unit_ + 1;
  unit = next_unit_++;
  units_.emplace(unit, std::move(u));
  return 0;
}

int32_t HostFileServices::READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) {
  bool cut_text = false;
  return READ_TEXT_LINE_CUT(unit, field, length, cut_text);
}

int32_t HostFileServices::READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) {
  cut_text = false;
  const auto it = units_.find(unit);
  if (it == units_.end() || !it->second->text) return kBadUnit;
  Unit& u = *it->second;

  // Up to length + 1 bytes of the line are kept: a CR that ends the line
  // must be seen to be dropped when the line is shorter than the field.
  // Of the bytes beyond the field only those that are not blanks are
  // counted.
  std::string line;
  std::size_t line_bytes = 0;
  std::size_t cut_non_blanks = 0;
  bool last_was_cr = false;
  bool ended = false;
  while (!ended) {
    if (u.pos >= u.end) {
      if (u.at_end) break;
      if (const int32_t err = u.fill(); err != 0) return err;
      if (u.pos >= u.end) break;
    }
    const char* begin = u.buffer.data() + u.pos;
    const char* stop = u.buffer.data() + u.end;
    const char* p = begin;
    while (p < stop && *p != '\n') ++p;
    const std::size_t n = static_cast<std::size_t>(p - begin);
    if (n > 0) {
      if (line.size() <= length) line.append(begin, std::min(n, length + 1 - line.size()));
      for (std::size_t k = line_bytes >= length ? 0 : length - line_bytes; k < n; ++k) {
        if (begin[k] != ' ') ++cut_non_blanks;
      }
      line_bytes += n;
      last_was_cr = begin[n - 1] == '\r';
    }
    u.pos += n;
    if (p < stop) {
      ++u.pos;  // the LF
      ended = true;
    }
  }
  if (!ended && line_bytes == 0) return END_OF_FILE;
  // Here the line ends at an LF or at the end of the file: a CR just
  // before either is part of the line end, not of the line.
  if (last_was_cr) {
    const std::size_t cr = line_bytes - 1;
    if (cr < line.size()) line.pop_back();
    if (cr >= length) --cut_non_blanks;
  }
  if (line.size() > length) line.resize(length);
  field.assign(line);
  field.resize(length, ' ');
  cut_text = cut_non_blanks > 0;
  return 0;
}

int32_t HostFileServices::OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_record(path, record_length, unit, false);
}

int32_t HostFileServices::OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) {
  return open_record(path, record_length, unit, true);
}

int32_t HostFileServices::open_record(const std::string& path, int32_t record_length, int32_t& unit,
                                      bool read_only) {
  unit = 0;
  if (record_length <= 0) return kBadArgument;
  const std::optional<std::string> host_path = drives_.resolve(path);
  if (!host_path) return FILE_NOT_FOUND;
  int fd = -1;
  struct stat st {};
  if (const int32_t err = open_regular(*host_path, read_only ? O_RDONLY : O_RDWR, fd, st); err != 0) return err;
  // A file marked read-only (no write bit for anybody) is refused for
  // writing even where the permissions would not stop us.
  if (!read_only && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    ::close(fd);
    return kReadOnlyFile;
  }
  auto u = std::make_unique<Unit>();
  u->fd = fd;
  u->record_length = record_length;
  while (units_.count(next_unit_) != 0 || next_unit_ <= 0) next_unit_ = next_unit_ <= 0 ? 1 : next_unit_ + 1;
  unit = next_unit_++;
  units_.emplace(unit, std::move(u));
  return 0;
}

int32_t HostFileServices::record_transfer(int32_t unit, int32_t record, std::size_t size, const Unit*& u,
                                          off_t& offset) const {
  const auto it = units_.find(unit);
  if (it == units_.end() || it->second->text) return kBadUnit;
  u = it->second.get();
  if (record < 1 || size != static_cast<std::size_t>(u->record_length)) return kBadArgument;
  offset = static_cast<off_t>(record - 1) * u->record_length;
  return 0;
}

namespace {

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

int32_t pwrite_all(int fd, const uint8_t* data, std::size_t size, off_t offset) {
  return transfer_all([&](std::size_t done, std::size_t left, off_t at) { return ::pwrite(fd, data + done, left, at); },
                      size, offset, EIO);
}

}  // namespace

int32_t HostFileServices::READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) {
  const Unit* unit_state = nullptr;
  off_t offset = 0;
  if (const int32_t rc = record_transfer(unit, record, buffer.size(), unit_state, offset); rc != 0) return rc;
  const int fd = unit_state->fd;
  return transfer_all(
      [&](std::size_t done, std::size_t left, off_t at) { return ::pread(fd, buffer.data() + done, left, at); },
      buffer.size(), offset, kIncompleteRecord);
}

int32_t HostFileServices::WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) {
  const Unit* unit_state = nullptr;
  off_t offset = 0;
  if (const int32_t rc = record_transfer(unit, record, buffer.size(), unit_state, offset); rc != 0) return rc;
  const Unit& u = *unit_state;
  // The file is rewritten in place only: a record that does not lie
  // wholly inside the file is not written at all.
  struct stat st {};
  if (::fstat(u.fd, &st) != 0) return last_error();
  if (offset + static_cast<off_t>(buffer.size()) > st.st_size) return kBeyondEndOfFile;
  return pwrite_all(u.fd, buffer.data(), buffer.size(), offset);
}

int32_t HostFileServices::WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length,
                                        std::span<const uint8_t> buffer) {
  const auto it = units_.find(unit);
  if (it == units_.end() || it->second->text) return kBadUnit;
  const Unit& u = *it->second;
  if (first < 1 || record_length != u.record_length || buffer.size() % static_cast<std::size_t>(record_length) != 0) {
    return kBadArgument;
  }
  const off_t offset = static_cast<off_t>(first - 1) * u.record_length;
  struct stat st {};
  if (::fstat(u.fd, &st) != 0) return last_error();
  // The records that lie wholly inside the file are written, then the
  // first one that does not fails.
  std::size_t size = buffer.size();
  int32_t status = 0;
  if (offset + static_cast<off_t>(size) > st.st_size) {
    const off_t inside = st.st_size > offset ? (st.st_size - offset) / record_length : 0;
    size = static_cast<std::size_t>(inside) * static_cast<std::size_t>(record_length);
    status = kBeyondEndOfFile;
  }
  if (const int32_t rc = pwrite_all(u.fd, buffer.data(), size, offset); rc != 0) return rc;
  return status;
}

int32_t HostFileServices::RECORD_COUNT(int32_t unit, int64_t& records) {
  records = 0;
  const auto it = units_.find(unit);
  if (it == units_.end() || it->second->text) return kBadUnit;
  struct stat st {};
  if (::fstat(it->second->fd, &st) != 0) return last_error();
  records = static_cast<int64_t>(st.st_size) / it->second->record_length;
  return 0;
}

int32_t HostFileServices::FLUSH_FILE(int32_t unit) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return kBadUnit;
  if (::fsync(it->second->fd) != 0) return last_error();
  return 0;
}

int32_t HostFileServices::CLOSE_FILE(int32_t unit) {
  const auto it = units_.find(unit);
  if (it == units_.end()) return kBadUnit;
  const int fd = it->second->fd;
  units_.erase(it);
  // The descriptor is gone after close() whatever it reports, so it is
  // never closed twice.
  if (::close(fd) != 0) return last_error();
  return 0;
}

void HostFileServices::CLOSE_ALL_FILES() {
  for (auto& [unit, u] : units_) ::close(u->fd);
  units_.clear();
  searches_.clear();
  for (auto& [handle, fd] : locks_) ::close(fd);
  locks_.clear();
}

int32_t HostFileServices::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  identity = {};
  const auto it = units_.find(unit);
  if (it == units_.end()) return kBadUnit;
  struct stat st {};
  if (::fstat(it->second->fd, &st) != 0) return last_error();
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  return 0;
}

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

}  // namespace

namespace {

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
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int32_t err = S_ISREG(st.st_mode) ? last_error() : NOT_A_REGULAR_FILE;
    ::close(fd);
    fd = -1;
    return err;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return 0;
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
      // The file grew since: never beyond the bound.
      if (done >= max_bytes) {
        status = FILE_TOO_LARGE;
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
  while (locks_.count(next_lock_) != 0 || next_lock_ <= 0) next_lock_ = next_lock_ <= 0 ? 1 : next_lock_ + 1;
  handle = next_lock_++;
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
