// Binary files of fixed-length records, rewritten in place.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "base/host_file_parts.h"

namespace kavlin {

using namespace host_files;

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
  unit = add_unit(std::move(u));
  return 0;
}

int32_t HostFileServices::record_transfer(int32_t unit, int32_t record, std::size_t size, const Unit*& u,
                                          off_t& offset) const {
  u = find_unit(unit);
  if (u == nullptr || u->text) return kBadUnit;
  if (record < 1 || size != static_cast<std::size_t>(u->record_length)) return kBadArgument;
  offset = static_cast<off_t>(record - 1) * u->record_length;
  return 0;
}

namespace {

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
  const Unit* found = find_unit(unit);
  if (found == nullptr || found->text) return kBadUnit;
  const Unit& u = *found;
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
  const Unit* u = find_unit(unit);
  if (u == nullptr || u->text) return kBadUnit;
  struct stat st {};
  if (::fstat(u->fd, &st) != 0) return last_error();
  records = static_cast<int64_t>(st.st_size) / u->record_length;
  return 0;
}

int32_t HostFileServices::FLUSH_FILE(int32_t unit) {
  const Unit* u = find_unit(unit);
  if (u == nullptr) return kBadUnit;
  if (::fsync(u->fd) != 0) return last_error();
  return 0;
}

int32_t HostFileServices::FILE_IDENTITY(int32_t unit, FileIdentity& identity) {
  identity = {};
  const Unit* u = find_unit(unit);
  if (u == nullptr) return kBadUnit;
  struct stat st {};
  if (::fstat(u->fd, &st) != 0) return last_error();
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  return 0;
}

}  // namespace kavlin
