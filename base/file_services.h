// The file-system side of the service layer: drives, directory listing,
// text files read line by line, binary files of fixed-length records, and
// the database's own small files and its lock.
// Paths are program paths such as C:\KAVLIN\E006\E006N49.33M; the host
// implementation maps them onto the host's folders (see drive_table.h).
//
// Every operation reports through its result: 0 for success, non-zero for
// failure. None shows a message or ends the program.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kavlin {

// Result of READ_TEXT_LINE at the end of the file.
inline constexpr int32_t END_OF_FILE = -1;
// Result of OPEN_TEXT_FILE and OPEN_HOST_TEXT_FILE when no file of that
// name exists (as opposed to one that exists but cannot be read).
inline constexpr int32_t FILE_NOT_FOUND = 2;

// Result of LOCK_FILE without waiting when another holder has the lock.
inline constexpr int32_t FILE_BUSY = EWOULDBLOCK;
// Result of FILE_KIND and of the own-file calls below for a symbolic
// link, which they never follow, and for what is no regular file.
inline constexpr int32_t IS_A_LINK = ELOOP;
inline constexpr int32_t NOT_A_REGULAR_FILE = EISDIR;
// Result of LOCK_FILE when there is no lock file and none can be made
// (a read-only folder or medium, a folder we may not write).
inline constexpr int32_t NO_LOCK_FILE = -3;
// Result of READ_WHOLE_FILE for a file larger than it may be.
inline constexpr int32_t FILE_TOO_LARGE = EFBIG;

// Which file of the file system an open unit is: two units with the same
// identity are one file, whatever names (links) they were opened by.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct DirEntry {
  std::string name;
  bool is_directory = false;
};

// The file services come in roles, so that a function takes only the role
// it uses and a wrapper wraps only the role it changes: text files read
// line by line (TextFiles), binary files of fixed-length records
// (RecordFiles), drives and folder listings (Folders), and the database's
// own small files beside the tiles and its lock (OwnFiles). Text and record
// files are open units of one numbering, closed by CLOSE_FILE (FileUnits).
// FileServices is all of them at once: what the host and the journaling
// writer implement and what the editor's flows and the tools hand down.

// Open units of text and record files, one numbering for both.
class FileUnits {
 public:
  virtual ~FileUnits() = default;

  // Any unit. Returns 0, or non-zero when closing failed.
  virtual int32_t CLOSE_FILE(int32_t unit) = 0;
};

class TextFiles : public virtual FileUnits {
 public:
  // An existing regular file, opened for reading.
  virtual int32_t OPEN_TEXT_FILE(const std::string& path, int32_t& unit) = 0;
  // The same for a path of the host system as its own programs take it
  // (absolute, or relative to the working folder, "..", symbolic links
  // and letter case as the host has them), without the drive table: for
  // file names typed on a command line. Nothing of the editor uses it.
  virtual int32_t OPEN_HOST_TEXT_FILE(const std::string& host_path, int32_t& unit) = 0;
  // Next line into a field of `length` characters: shorter lines are
  // blank-padded, longer ones cut. LF, CR LF, and a CR that is the file's
  // last byte end a line; any other CR is an ordinary character.
  // 0, END_OF_FILE, or a positive error code.
  virtual int32_t READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) = 0;
  // READ_TEXT_LINE that also tells whether the cut-off part of the line
  // held anything but blanks (`cut_text` true), so that a reader judging
  // a line on its first `length` characters can refuse a line it would
  // otherwise take shortened.
  virtual int32_t READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) = 0;
};

class RecordFiles : public virtual FileUnits {
 public:
  // An existing regular file opened for reading and writing with fixed
  // records of `record_length` bytes. Never created, extended or
  // truncated.
  virtual int32_t OPEN_RECORD_FILE(const std::string& path, int32_t record_length, int32_t& unit) = 0;
  // The same, opened for reading only: a file that may not be written (or
  // lies on a read-only medium) opens, and no write goes through the unit.
  virtual int32_t OPEN_RECORD_FILE_READ(const std::string& path, int32_t record_length, int32_t& unit) = 0;
  // Whole record `record` (from 1), exactly record_length bytes. A record
  // that the file does not hold completely fails.
  virtual int32_t READ_RECORD(int32_t unit, int32_t record, std::span<uint8_t> buffer) = 0;
  virtual int32_t WRITE_RECORD(int32_t unit, int32_t record, std::span<const uint8_t> buffer) = 0;
  // Consecutive records from `first` on, `buffer` holding a whole number
  // of them: the same as writing them one by one in ascending order,
  // stopping at the first failure (records before it written), in as few
  // transfers as the implementation can make. This one writes them one by
  // one through WRITE_RECORD.
  virtual int32_t WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length, std::span<const uint8_t> buffer);
  // How many whole records the file holds.
  virtual int32_t RECORD_COUNT(int32_t unit, int64_t& records) = 0;
  // Forces what was written to the storage device.
  virtual int32_t FLUSH_FILE(int32_t unit) = 0;
  // The identity of the file open on a record unit.
  virtual int32_t FILE_IDENTITY(int32_t unit, FileIdentity& identity) = 0;
  // Whether one thread may open, read and count units while another
  // writes, forces and closes others (never one unit from two threads).
  // No unless an implementation says yes.
  virtual bool concurrent_units() const { return false; }
};

inline int32_t RecordFiles::WRITE_RECORDS(int32_t unit, int32_t first, int32_t record_length,
                                          std::span<const uint8_t> buffer) {
  if (record_length <= 0 || buffer.size() % static_cast<std::size_t>(record_length) != 0) return EINVAL;
  const std::size_t length = static_cast<std::size_t>(record_length);
  for (std::size_t n = 0; n < buffer.size() / length; ++n) {
    if (const int32_t rc = WRITE_RECORD(unit, first + static_cast<int32_t>(n), buffer.subspan(n * length, length));
        rc != 0) {
      return rc;
    }
  }
  return 0;
}

class Folders {
 public:
  virtual ~Folders() = default;

  // Character i (0..25) is 'A' + i when that drive exists, a blank otherwise.
  virtual std::string DRIVE_LETTERS() = 0;
  // True when the drive answers; its total and free bytes.
  virtual bool DRIVE_SPACE(const std::string& letter, int64_t& total_bytes, int64_t& free_bytes) = 0;
  // Directory enumeration by a pattern ending in "\*.*". `handle` 0 starts a
  // new search. True with the next entry; false when no entry is left or
  // the search failed, the search then being closed and `handle` 0 again.
  virtual bool NEXT_DIR_ENTRY(const std::string& pattern, DirEntry& entry, int32_t& handle) = 0;
  // Ends a search before its last entry.
  virtual void END_DIR_SEARCH(int32_t& handle) = 0;
};

// Small files of the program's own beside the database (a run's journal,
// the undo record, the lock), by program path. None of these calls follows
// a symbolic link in the last component of the path, and none opens what
// is no regular file (IS_A_LINK, NOT_A_REGULAR_FILE).
class OwnFiles {
 public:
  virtual ~OwnFiles() = default;

  // What the name `path` is: 0 for a regular file, FILE_NOT_FOUND,
  // IS_A_LINK or NOT_A_REGULAR_FILE (a folder, a FIFO, a device).
  virtual int32_t FILE_KIND(const std::string& path) = 0;
  // Each call below is complete and durable when it returns 0. WRITE_SYNCED writes `bytes` to a new or emptied file
  // (append false) or at the end of an existing one (append true), then
  // forces the file to the device, and after creating it the folder too.
  virtual int32_t WRITE_SYNCED(const std::string& path, std::span<const uint8_t> bytes, bool append) = 0;
  // The whole file; FILE_NOT_FOUND when there is none, FILE_TOO_LARGE
  // (nothing read) when it holds more than `max_bytes`.
  virtual int32_t READ_WHOLE_FILE(const std::string& path, std::string& bytes,
                                  std::size_t max_bytes = static_cast<std::size_t>(-1)) = 0;
  // Removes the file, or gives it the name `to` (replacing a file of that
  // name), and forces the folder to the device. FILE_NOT_FOUND when there
  // is no file `path`.
  virtual int32_t REMOVE_SYNCED(const std::string& path) = 0;
  virtual int32_t RENAME_SYNCED(const std::string& path, const std::string& to) = 0;
  // A lock on the file `path`, exclusive or (`shared`) shared with other
  // shared holders, held until UNLOCK_FILE, CLOSE_ALL_FILES or the end of
  // the process, whichever comes first. The file is opened for reading
  // when it cannot be opened for writing (a lock holds on either), and
  // made when missing, in an existing folder, readable by every user so
  // that every user of the database can lock it. Without `wait` a lock
  // that another holder has gives FILE_BUSY at once; with it the call
  // blocks until the lock is free. FILE_NOT_FOUND when the folder does not
  // exist, NO_LOCK_FILE when the file is missing and cannot be made.
  virtual int32_t LOCK_FILE(const std::string& path, bool wait, int32_t& handle, bool shared = false) = 0;
  virtual void UNLOCK_FILE(int32_t& handle) = 0;
};

class FileServices : public TextFiles, public RecordFiles, public Folders, public OwnFiles {
 public:
  // Closes every open unit, search and lock (used before the program
  // stops).
  virtual void CLOSE_ALL_FILES() = 0;
};

}  // namespace kavlin
