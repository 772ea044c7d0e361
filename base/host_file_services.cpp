// The host file services: their units, and closing them. The roles live
// beside this file: text files (host_text_files), record files
// (host_record_files), folders and drives (host_folders), the database's
// own files and the lock (host_own_files).
#include "base/host_file_services.h"

#include <fcntl.h>
#include <unistd.h>

#include <typeinfo>

#include "base/host_file_parts.h"

namespace kavlin {

namespace host_files {

int32_t keep_if_regular(int& fd, struct stat& st) {
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

int32_t open_regular(const std::string& host_path, int flags, int& fd, struct stat& st) {
  fd = -1;
  if (::stat(host_path.c_str(), &st) != 0) return last_error();
  if (!S_ISREG(st.st_mode)) return kNotRegularFile;
  fd = ::open(host_path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return last_error();
  return keep_if_regular(fd, st);
}

}  // namespace host_files

using namespace host_files;

HostFileServices::HostFileServices(DriveTable drives) : drives_(std::move(drives)) {}

HostFileServices::~HostFileServices() { CLOSE_ALL_FILES(); }

std::size_t HostFileServices::open_count() const {
  const std::lock_guard<std::mutex> lock(units_mutex_);
  return units_.size() + searches_.size() + locks_.size();
}

bool HostFileServices::concurrent_units() const { return typeid(*this) == typeid(HostFileServices); }

HostFileServices::Unit* HostFileServices::find_unit(int32_t unit) const {
  const std::lock_guard<std::mutex> lock(units_mutex_);
  const auto it = units_.find(unit);
  return it == units_.end() ? nullptr : it->second.get();
}

int32_t HostFileServices::add_unit(std::unique_ptr<Unit> u) {
  const std::lock_guard<std::mutex> lock(units_mutex_);
  const int32_t unit = take_handle(units_, next_unit_);
  units_.emplace(unit, std::move(u));
  return unit;
}

int32_t HostFileServices::CLOSE_FILE(int32_t unit) {
  int fd = -1;
  {
    const std::lock_guard<std::mutex> lock(units_mutex_);
    const auto it = units_.find(unit);
    if (it == units_.end()) return kBadUnit;
    fd = it->second->fd;
    units_.erase(it);
  }
  // The descriptor is gone after close() whatever it reports, so it is
  // never closed twice.
  if (::close(fd) != 0) return last_error();
  return 0;
}

void HostFileServices::CLOSE_ALL_FILES() {
  {
    const std::lock_guard<std::mutex> lock(units_mutex_);
    for (auto& [unit, u] : units_) ::close(u->fd);
    units_.clear();
  }
  searches_.clear();
  for (auto& [handle, fd] : locks_) ::close(fd);
  locks_.clear();
}

}  // namespace kavlin
