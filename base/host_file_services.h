// The file services on the host's file system (POSIX), through a drive
// table: one class for all roles, since text and record files share one
// table of units, and one file a role: text files (host_text_files.cpp),
// record files (host_record_files.cpp), folders and drives
// (host_folders.cpp), the database's own files and the lock
// (host_own_files.cpp); the units and closing them
// (host_file_services.cpp).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>

#include "base/drive_table.h"
#include "base/file_services.h"

namespace kavlin {

class HostFileServices : public FileServices {
 public:
  explicit HostFileServices(DriveTable drives);
  ~HostFileServices() override;

  const DriveTable& drives() const { return drives_; }

  // Folders (host_folders.cpp).
  std::string DRIVE_LETTERS() override;
  bool DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) override;
  // Hands out the folder's matching entries sorted by name, ignoring the
  // case of ASCII letters (names equal but for case by their bytes); the
  // folder is read once, when the search starts.
  bool NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) override;
  void END_DIR_SEARCH(int32_t& handle) override;

  // Text files (host_text_files.cpp).
  int32_t OPEN_TEXT_FILE(const std::string& path, int32_t& unit) override;
  int32_t OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) override;
  int32_t READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) override;
  int32_t READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) override;

  // Record files (host_record_files.cpp).
  int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) override;
  int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) override;
  int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) override;
  // One pwrite for all records (a record that does not lie wholly inside
  // the file is not written, nor any after it).
  int32_t WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length, std::span<const uint8_t> buffer) override;
  int32_t RECORD_COUNT(int32_t unit, int64_t& records) override;
  int32_t FLUSH_FILE(int32_t unit) override;
  int32_t FILE_IDENTITY(int32_t unit, FileIdentity& identity) override;
  // Yes for the host itself: its table of units is guarded, and the calls
  // on one unit touch nothing of another. A class derived from it changes
  // calls and may keep state of its own in them: it says so itself.
  bool concurrent_units() const override;

  // The database's own files and the lock (host_own_files.cpp).
  int32_t FILE_KIND(const std::string& path) override;
  int32_t WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) override;
  int32_t READ_WHOLE_FILE(const std::string& path, std::string& bytes,
                          std::size_t max_bytes = static_cast<std::size_t>(-1)) override;
  int32_t REMOVE_SYNCED(const std::string& path) override;
  int32_t RENAME_SYNCED(const std::string& path, const std::string& to) override;
  // flock() on the file: the lock goes with the process, however it ends.
  int32_t LOCK_FILE(const std::string& path, bool wait, int32_t& handle, bool shared = false) override;
  void UNLOCK_FILE(int32_t& handle) override;

  // The units of text and record files, and closing everything.
  int32_t CLOSE_FILE(int32_t unit) override;
  // Releases the locks too.
  void CLOSE_ALL_FILES() override;

  // Number of units and searches open now (tests check nothing leaks).
  std::size_t open_count() const;

 private:
  struct Unit;
  struct Search;
  // Takes an open unit into the table; its unit number.
  int32_t add_unit(std::unique_ptr<Unit> u);
  // Opens a text unit on a host path.
  int32_t open_text(const std::string& host_path, int32_t& unit);
  int32_t open_record(const std::string& path, int32_t record_length, int32_t& unit, bool read_only);
  // The record unit and byte offset of a record transfer, or the error of
  // a bad unit, record number or buffer size.
  int32_t record_transfer(int32_t unit, int32_t record, std::size_t size, const Unit*& u, off_t& offset) const;
  // The open unit (nullptr when none): the table is looked up under its
  // mutex, the unit's own transfers are made without it.
  Unit* find_unit(int32_t unit) const;
  DriveTable drives_;
  mutable std::mutex units_mutex_;  // guards units_ and next_unit_
  std::map<int32_t, std::unique_ptr<Unit>> units_;
  std::map<int32_t, std::unique_ptr<Search>> searches_;
  std::map<int32_t, int> locks_;  // handle -> descriptor
  int32_t next_lock_ = 1;
  int32_t next_unit_ = 1;
  int32_t next_search_ = 1;
};

}  // namespace kavlin
