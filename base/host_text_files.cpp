// Text files, read line by line into fixed-length fields.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/host_file_parts.h"

namespace kavlin {

using namespace host_files;

int32_t HostFileServices::Unit::fill() {
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
  unit = add_unit(std::move(u));
  return 0;
}

int32_t HostFileServices::READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) {
  bool cut_text = false;
  return READ_TEXT_LINE_CUT(unit, field, length, cut_text);
}

int32_t HostFileServices::READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) {
  cut_text = false;
  Unit* found = find_unit(unit);
  if (found == nullptr || !found->text) return kBadUnit;
  Unit& u = *found;

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

}  // namespace kavlin
