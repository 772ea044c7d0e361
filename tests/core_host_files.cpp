// Text files, record files and directory listing on the host.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

namespace fs = std::filesystem;
using kavlin::testing::read_file;
using kavlin::testing::TempDir;
using kavlin::testing::write_file;

// Drive C is the folder "c:" of a temporary drives folder.
class HostFilesTest : public ::testing::Test {
 protected:
  HostFilesTest() : root_((fs::create_directories(tmp_ / "drives" / "c:"), tmp_ / "drives" / "c:")),
                    files_(DriveTable((tmp_ / "drives").string())) {}

  // All lines of a file read into fields of `length`, until the end.
  std::vector<std::string> lines_of(const std::string& bytes, std::size_t length) {
    write_file(root_ / "t.txt", bytes);
    int32_t unit = 0;
    EXPECT_EQ(files_.OPEN_TEXT_FILE("C:\\T.TXT", unit), 0);
    std::vector<std::string> lines;
    std::string field;
    int32_t result = 0;
    while ((result = files_.READ_TEXT_LINE(unit, field, length)) == 0) {
      EXPECT_EQ(field.size(), length);
      lines.push_back(field);
      if (lines.size() > 1000) break;
    }
    EXPECT_EQ(result, END_OF_FILE);
    // The end stays the end.
    EXPECT_EQ(files_.READ_TEXT_LINE(unit, field, length), END_OF_FILE);
    EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
    return lines;
  }

  TempDir tmp_;
  fs::path root_;
  HostFileServices files_;
};

using Lines = std::vector<std::string>;

TEST_F(HostFilesTest, TextLineEnds) {
  EXPECT_EQ(lines_of("ab\ncd\n", 4), (Lines{"ab  ", "cd  "}));
  EXPECT_EQ(lines_of("ab\r\ncd\r\n", 4), (Lines{"ab  ", "cd  "}));
  EXPECT_EQ(lines_of("ab\r\ncd", 4), (Lines{"ab  ", "cd  "}));  // last line without newline
  EXPECT_EQ(lines_of("\n\n", 2), (Lines{"  ", "  "}));
  EXPECT_EQ(lines_of("", 3), Lines{});
  // A lone CR is an ordinary character, NUL and tab too.
  EXPECT_EQ(lines_of("a\rb\n", 4), (Lines{"a\rb "}));
  EXPECT_EQ(lines_of(std::string("a\0b\tc\n", 6), 6), (Lines{std::string("a\0b\tc ", 6)}));
  EXPECT_EQ(lines_of("ab\r\r\n", 4), (Lines{"ab\r "}));
  // A CR as the file's last byte ends the last line as LF does; only the
  // last CR of the file is taken so.
  EXPECT_EQ(lines_of("ab\r", 4), (Lines{"ab  "}));
  EXPECT_EQ(lines_of("ab\r\ncd\r", 4), (Lines{"ab  ", "cd  "}));
  EXPECT_EQ(lines_of("\r", 2), (Lines{"  "}));
  EXPECT_EQ(lines_of("ab\r\r", 4), (Lines{"ab\r "}));
  EXPECT_EQ(lines_of("a\rb", 4), (Lines{"a\rb "}));
}

// Whether a read cut anything but blanks off the line: (line bytes of a
// file, field length, field, cut).
TEST_F(HostFilesTest, CutTextIsReportedBlanksAndTheLineEndAreNot) {
  struct Case {
    std::string bytes;
    std::size_t length;
    std::string field;
    bool cut;
  };
  const std::vector<Case> cases{
      {"abc\n", 3, "abc", false},
      {"abc   \r\n", 3, "abc", false},
      {"abc\r", 3, "abc", false},
      {"abc  \r", 3, "abc", false},
      {"abcd\n", 3, "abc", true},
      {"abc  d", 3, "abc", true},
      {"abc\t\n", 3, "abc", true},
      {"abc\r\r\n", 3, "abc", true},
      {"abc\rx\n", 3, "abc", true},
      {" x\n", 0, "", true},
      {std::string(200000, ' ') + "\r\n", 3, "   ", false},
      {std::string(200000, ' ') + "y\n", 3, "   ", true},
  };
  for (const Case& c : cases) {
    // After a line end another line follows; without one the file ends.
    const bool more = c.bytes.back() == '\n';
    write_file(root_ / "t.txt", more ? c.bytes + "next\n" : c.bytes);
    int32_t unit = 0;
    ASSERT_EQ(files_.OPEN_TEXT_FILE("C:\\T.TXT", unit), 0);
    std::string field;
    bool cut = !c.cut;
    EXPECT_EQ(files_.READ_TEXT_LINE_CUT(unit, field, c.length, cut), 0);
    EXPECT_EQ(field, c.field) << c.bytes.substr(0, 20);
    EXPECT_EQ(cut, c.cut) << c.bytes.substr(0, 20);
    // The whole line was consumed, and the next read starts afresh.
    EXPECT_EQ(files_.READ_TEXT_LINE_CUT(unit, field, 4, cut), more ? 0 : END_OF_FILE);
    if (more) {
      EXPECT_EQ(field, "next");
      EXPECT_FALSE(cut);
    }
    EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
  }
}

// A host path is opened as the host's own programs open it: absolute, or
// relative to the working folder with ".." and symbolic links, exact case.
TEST_F(HostFilesTest, HostTextFileIsOpenedWithoutTheDriveTable) {
  fs::create_directories(tmp_.path() / "areas");
  write_file(tmp_.path() / "areas" / "lake.txt", "5 6\n");
  fs::create_directories(tmp_.path() / "work" / "sub");
  fs::create_directory_symlink(tmp_.path() / "areas", tmp_.path() / "work" / "link");
  testing::ScopedCwd cwd(tmp_.path() / "work" / "sub");
  struct Case {
    std::string path;
    bool opens;
  };
  const std::vector<Case> cases{
      {(tmp_.path() / "areas" / "lake.txt").string(), true},
      {"../link/../areas/lake.txt", true},  // ".." after a link is its target's parent
      {"../../areas/LAKE.TXT", false},
      {(tmp_.path() / "areas").string(), false},
      {"", false},
      {std::string("../../areas/lake.txt\0x", 22), false},
  };
  for (const Case& c : cases) {
    int32_t unit = 0;
    const int32_t rc = files_.OPEN_HOST_TEXT_FILE(c.path, unit);
    EXPECT_EQ(rc == 0, c.opens) << c.path;
    if (rc == 0) {
      std::string field;
      EXPECT_EQ(files_.READ_TEXT_LINE(unit, field, 3), 0);
      EXPECT_EQ(field, "5 6");
      EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
    }
  }
  int32_t unit = 0;
  EXPECT_EQ(files_.OPEN_HOST_TEXT_FILE("nothing.txt", unit), FILE_NOT_FOUND);
  EXPECT_EQ(files_.OPEN_TEXT_FILE("C:\\NOTHING.TXT", unit), FILE_NOT_FOUND);
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(HostFilesTest, LongLinesAreCutAndTheRestConsumed) {
  EXPECT_EQ(lines_of("abcdefgh\nxy\n", 3), (Lines{"abc", "xy "}));
  // The CR of CR LF just beyond, or exactly at, the end of the field.
  EXPECT_EQ(lines_of("abc\r\nxy\r\n", 3), (Lines{"abc", "xy "}));
  EXPECT_EQ(lines_of("abcd\r\nxy\r\n", 3), (Lines{"abc", "xy "}));
  // A line longer than the read buffer, followed by more lines.
  const std::string big(200000, 'z');
  EXPECT_EQ(lines_of("1" + big + "\r\n2\n" + big, 3), (Lines{"1zz", "2  ", "zzz"}));
}

TEST_F(HostFilesTest, CrLfSplitAcrossBufferRefills) {
  // Line ends placed around every position of a 64 KiB boundary.
  for (std::size_t n : {65534u, 65535u, 65536u}) {
    std::string bytes(n - 1, 'q');
    bytes = "a" + bytes.substr(1) + "\r\nb\r\n";
    const Lines lines = lines_of(bytes, n + 1);
    ASSERT_EQ(lines.size(), 2u) << n;
    EXPECT_EQ(lines[0].find('\r'), std::string::npos) << n;
    EXPECT_EQ(lines[0].find_last_not_of(' ') + 1, n - 1) << n;
  }
}

TEST_F(HostFilesTest, TextOpenRefusesWhatIsNoRegularFile) {
  fs::create_directory(root_ / "folder");
  fs::create_symlink(root_ / "missing", root_ / "dangling");
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0644), 0);
  for (const char* path : {"C:\\FOLDER", "C:\\NOFILE.TXT", "C:\\DANGLING", "C:\\FIFO", "Q:\\X.TXT", ""}) {
    int32_t unit = 99;
    EXPECT_NE(files_.OPEN_TEXT_FILE(path, unit), 0) << path;
  }
  EXPECT_FALSE(fs::exists(root_ / "NOFILE.TXT"));
  EXPECT_EQ(files_.open_count(), 0u);
}

// Opening a FIFO or a device is not harmless: it lets a writer blocked on
// the FIFO go on (and then meet a closed pipe), it may rewind a tape or
// reset a serial line. What is no regular file is refused before it is
// opened; inotify tells whether anything opened it.
TEST_F(HostFilesTest, FifoIsRefusedWithoutBeingOpened) {
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0666), 0);
  fs::create_symlink(root_ / "fifo", root_ / "fifolink");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (root_ / "fifo").c_str(), IN_OPEN), 0);
  for (const char* path : {"C:\\FIFO", "C:\\FIFOLINK"}) {
    int32_t unit = 0;
    EXPECT_NE(files_.OPEN_TEXT_FILE(path, unit), 0) << path;
    EXPECT_NE(files_.OPEN_RECORD_FILE(path, 4, unit), 0) << path;
  }
  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the FIFO was opened";
  // The watch itself sees an open.
  const int fd = ::open((root_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_GT(::read(watch, events, sizeof events), 0);
  ::close(watch);
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(HostFilesTest, PathWithNulOpensNothing) {
  // The part before the NUL names a file that exists; the path as given
  // does not.
  write_file(root_ / "a.txt", "1 2\n");
  write_file(root_ / "b.bin", std::string(4, 'b'));
  const std::string text_path("C:\\A.TXT\0.OLD", 13);
  const std::string record_path("C:\\B.BIN\0", 9);
  int32_t unit = 0;
  EXPECT_NE(files_.OPEN_TEXT_FILE(text_path, unit), 0);
  EXPECT_NE(files_.OPEN_RECORD_FILE(record_path, 2, unit), 0);
  DirEntry entry;
  int32_t handle = 0;
  EXPECT_FALSE(files_.NEXT_DIR_ENTRY(std::string("C:\\..\0\\*.*", 10), entry, handle));
  EXPECT_EQ(handle, 0);
  // No name holds a NUL: the pattern "*\0.TXT" is no "*".
  EXPECT_FALSE(files_.NEXT_DIR_ENTRY(std::string("C:\\*\0.TXT", 9), entry, handle)) << entry.name;
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(HostFilesTest, RecordRoundTrip) {
  write_file(root_ / "tile.bin", std::string(30, '\0'));
  int32_t unit = 0;
  ASSERT_EQ(files_.OPEN_RECORD_FILE("c:\\TILE.BIN", 10, unit), 0);
  int64_t count = 0;
  EXPECT_EQ(files_.RECORD_COUNT(unit, count), 0);
  EXPECT_EQ(count, 3);
  const std::vector<uint8_t> record{1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFF};
  EXPECT_EQ(files_.WRITE_RECORD(unit, 2, record), 0);
  EXPECT_EQ(files_.FLUSH_FILE(unit), 0);
  std::vector<uint8_t> back(10, 0xAA);
  EXPECT_EQ(files_.READ_RECORD(unit, 2, back), 0);
  EXPECT_EQ(back, record);
  EXPECT_EQ(files_.READ_RECORD(unit, 3, back), 0);
  EXPECT_EQ(back, std::vector<uint8_t>(10, 0));
  EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
  EXPECT_NE(files_.CLOSE_FILE(unit), 0);  // closed already
  EXPECT_EQ(read_file(root_ / "tile.bin"),
            std::string(10, '\0') + std::string("\1\2\3\4\5\6\7\10\11\xFF", 10) + std::string(10, '\0'));
}

TEST_F(HostFilesTest, RecordOutsideTheFileFails) {
  write_file(root_ / "short.bin", std::string(25, 'a'));  // last record is short
  int32_t unit = 0;
  ASSERT_EQ(files_.OPEN_RECORD_FILE("C:\\short.bin", 10, unit), 0);
  int64_t count = 0;
  EXPECT_EQ(files_.RECORD_COUNT(unit, count), 0);
  EXPECT_EQ(count, 2);
  std::vector<uint8_t> buffer(10);
  EXPECT_EQ(files_.READ_RECORD(unit, 2, buffer), 0);
  EXPECT_NE(files_.READ_RECORD(unit, 3, buffer), 0);
  EXPECT_NE(files_.READ_RECORD(unit, 4, buffer), 0);
  EXPECT_NE(files_.READ_RECORD(unit, 0, buffer), 0);
  EXPECT_NE(files_.READ_RECORD(unit, -1, buffer), 0);
  std::vector<uint8_t> wrong(9);
  EXPECT_NE(files_.READ_RECORD(unit, 1, wrong), 0);
  EXPECT_NE(files_.WRITE_RECORD(unit, 1, wrong), 0);
  const std::vector<uint8_t> record(10, 'b');
  EXPECT_NE(files_.WRITE_RECORD(unit, 3, record), 0);  // would extend the short record
  EXPECT_NE(files_.WRITE_RECORD(unit, 5, record), 0);
  EXPECT_NE(files_.WRITE_RECORD(unit, 0, record), 0);
  EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
  EXPECT_EQ(read_file(root_ / "short.bin"), std::string(25, 'a'));
}

// Several records in one call: those wholly inside the file are written,
// in place, and a record beyond the end fails the call without extending
// the file.
TEST_F(HostFilesTest, ConsecutiveRecordsAreWrittenUpToTheEndOfTheFile) {
  write_file(root_ / "four.bin", std::string(45, 'a'));  // 4 records and a half
  int32_t unit = 0;
  ASSERT_EQ(files_.OPEN_RECORD_FILE("C:\\four.bin", 10, unit), 0);
  const std::string bytes = "bbbbbbbbbbccccccccccdddddddddd";
  const std::span<const uint8_t> three(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(files_.WRITE_RECORDS(unit, 2, 10, three.first(20)), 0);
  EXPECT_EQ(read_file(root_ / "four.bin"), std::string(10, 'a') + bytes.substr(0, 20) + std::string(15, 'a'));
  EXPECT_NE(files_.WRITE_RECORDS(unit, 3, 10, three), 0);  // records 3 and 4 fit, 5 does not
  EXPECT_EQ(read_file(root_ / "four.bin"), std::string(10, 'a') + "bbbbbbbbbb" + bytes.substr(0, 20) + "aaaaa");
  EXPECT_NE(files_.WRITE_RECORDS(unit, 1, 10, three.first(15)), 0);  // not whole records
  EXPECT_NE(files_.WRITE_RECORDS(unit, 0, 10, three), 0);
  EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
}

// The host's one-transfer WRITE_RECORDS and the record files' plain one,
// record by record through WRITE_RECORD (what wrappers that count or fail
// single writes rely on), leave the same bytes and agree on success.
TEST_F(HostFilesTest, ConsecutiveRecordsInOneTransferOrOneByOneAlike) {
  struct Case {
    int32_t first;
    std::size_t bytes;
    int32_t length;
    bool ok;
    std::string after;
  };
  const std::string data = "bbbbbbbbbbccccccccccdddddddddd";
  const std::string a10(10, 'a');
  const std::vector<Case> cases = {
      {1, 30, 10, true, data + a10 + "aaaaa"},
      {2, 20, 10, true, a10 + data.substr(0, 20) + a10 + "aaaaa"},
      {3, 30, 10, false, a10 + a10 + data.substr(0, 20) + "aaaaa"},  // the third record would extend the file
      {4, 30, 10, false, a10 + a10 + a10 + data.substr(0, 10) + "aaaaa"},
      {5, 10, 10, false, std::string(45, 'a')},
      {0, 10, 10, false, std::string(45, 'a')},
      {1, 15, 10, false, std::string(45, 'a')},  // not whole records
      {1, 30, 0, false, std::string(45, 'a')},
      {1, 0, 10, true, std::string(45, 'a')},
  };
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  for (const bool one_by_one : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(c.bytes) + (one_by_one ? " one by one" : ""));
      write_file(root_ / "four.bin", std::string(45, 'a'));
      int32_t unit = 0;
      ASSERT_EQ(files_.OPEN_RECORD_FILE("C:\\four.bin", 10, unit), 0);
      const std::span<const uint8_t> part = bytes.first(c.bytes);
      const int32_t rc = one_by_one ? files_.RecordFiles::WRITE_RECORDS(unit, c.first, c.length, part)
                                    : files_.WRITE_RECORDS(unit, c.first, c.length, part);
      EXPECT_EQ(rc == 0, c.ok);
      EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
      EXPECT_EQ(read_file(root_ / "four.bin"), c.after);
    }
  }
}

TEST_F(HostFilesTest, HugeRecordNumbersDoNotWrapAround) {
  // (268435457 - 1) x 16 is 2^32: in 32 bits that would be record 1.
  write_file(root_ / "two.bin", std::string(32, 'a'));
  int32_t unit = 0;
  ASSERT_EQ(files_.OPEN_RECORD_FILE("C:\\TWO.BIN", 16, unit), 0);
  std::vector<uint8_t> buffer(16);
  const std::vector<uint8_t> record(16, 'b');
  for (const int32_t n : {268435457, 268435458, INT32_MAX, INT32_MIN}) {
    EXPECT_NE(files_.READ_RECORD(unit, n, buffer), 0) << n;
    EXPECT_NE(files_.WRITE_RECORD(unit, n, record), 0) << n;
  }
  EXPECT_EQ(files_.CLOSE_FILE(unit), 0);
  EXPECT_EQ(read_file(root_ / "two.bin"), std::string(32, 'a'));
}

TEST_F(HostFilesTest, RecordOpenRefusals) {
  fs::create_directory(root_ / "folder");
  fs::create_symlink(root_ / "missing.bin", root_ / "dangling.bin");
  write_file(root_ / "ro.bin", std::string(20, 'r'));
  fs::permissions(root_ / "ro.bin", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  write_file(root_ / "ok.bin", std::string(20, 'o'));
  ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0666), 0);
  const std::map<std::string, int32_t> cases{{"C:\\MISSING.BIN", 10}, {"C:\\FOLDER", 10},
                                             {"C:\\DANGLING.BIN", 10}, {"C:\\RO.BIN", 10},
                                             {"C:\\FIFO", 10}, {"C:\\OK.BIN", 0},
                                             {"C:\\OK.BIN ", -5}, {"Z:\\OK.BIN", 10}};
  for (const auto& [path, length] : cases) {
    int32_t unit = 7;
    EXPECT_NE(files_.OPEN_RECORD_FILE(path, length, unit), 0) << path << " " << length;
  }
  EXPECT_EQ(files_.open_count(), 0u);
  EXPECT_FALSE(fs::exists(root_ / "MISSING.BIN"));
  EXPECT_FALSE(fs::exists(root_ / "missing.bin"));
  EXPECT_EQ(read_file(root_ / "ro.bin"), std::string(20, 'r'));
}

TEST_F(HostFilesTest, CloseAllFilesClosesUnitsAndSearches) {
  write_file(root_ / "a.txt", "x\n");
  write_file(root_ / "b.bin", std::string(4, 'b'));
  int32_t text = 0;
  int32_t record = 0;
  ASSERT_EQ(files_.OPEN_TEXT_FILE("C:\\A.TXT", text), 0);
  ASSERT_EQ(files_.OPEN_RECORD_FILE("C:\\B.BIN", 2, record), 0);
  EXPECT_NE(text, record);
  DirEntry entry;
  int32_t handle = 0;
  ASSERT_TRUE(files_.NEXT_DIR_ENTRY("C:\\*.*", entry, handle));
  EXPECT_NE(handle, 0);
  EXPECT_EQ(files_.open_count(), 3u);
  files_.CLOSE_ALL_FILES();
  EXPECT_EQ(files_.open_count(), 0u);
  std::string field;
  EXPECT_NE(files_.READ_TEXT_LINE(text, field, 5), 0);
  // A text unit is no record unit and the other way round.
  ASSERT_EQ(files_.OPEN_TEXT_FILE("C:\\A.TXT", text), 0);
  std::vector<uint8_t> buffer(2);
  EXPECT_NE(files_.READ_RECORD(text, 1, buffer), 0);
  files_.CLOSE_ALL_FILES();
}

TEST_F(HostFilesTest, DirectoryListing) {
  fs::create_directories(root_ / "data" / "Sub");
  write_file(root_ / "data" / "poly.txt", "");
  write_file(root_ / "data" / "NODOT", "");
  fs::create_directory_symlink(root_ / "data" / "Sub", root_ / "data" / "linkdir");
  fs::create_symlink(root_ / "data" / "poly.txt", root_ / "data" / "linkfile");
  fs::create_symlink(root_ / "gone", root_ / "data" / "dangling");

  std::map<std::string, bool> seen;
  DirEntry entry;
  int32_t handle = 0;
  int guard = 0;
  while (files_.NEXT_DIR_ENTRY("C:\\DATA\\*.*", entry, handle) && ++guard < 100) {
    EXPECT_TRUE(seen.emplace(entry.name, entry.is_directory).second) << "twice: " << entry.name;
  }
  EXPECT_EQ(handle, 0);
  const std::map<std::string, bool> expected{{".", true},         {"..", true},       {"Sub", true},
                                             {"poly.txt", false}, {"NODOT", false},   {"linkdir", true},
                                             {"linkfile", false}, {"dangling", false}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(files_.open_count(), 0u);

  // Ended early.
  ASSERT_TRUE(files_.NEXT_DIR_ENTRY("C:\\DATA\\*.*", entry, handle));
  files_.END_DIR_SEARCH(handle);
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(files_.open_count(), 0u);

  for (const char* bad : {"", "*.*", "C:\\DATA\\", "C:\\NONE\\*.*", "C:\\DATA\\POLY.TXT\\*.*", "X:\\*.*"}) {
    handle = 0;
    EXPECT_FALSE(files_.NEXT_DIR_ENTRY(bad, entry, handle)) << bad;
    EXPECT_EQ(handle, 0) << bad;
  }
  handle = 12345;  // no such search
  EXPECT_FALSE(files_.NEXT_DIR_ENTRY("C:\\DATA\\*.*", entry, handle));
  EXPECT_EQ(handle, 0);
  EXPECT_EQ(files_.open_count(), 0u);
}

// Entries come sorted by name, ASCII letters compared as lower case (so
// "_" sorts before letters) and names equal but for case by their bytes;
// a prefix comes before its longer names. The pattern filter still holds.
TEST_F(HostFilesTest, DirectoryEntriesComeInNameOrder) {
  fs::create_directory(root_ / "list");
  for (const char* name : {"beta", "alpha", "Gamma", "ALPHA", "Alpha", "_under", "alpha.txt", "b", "Z9",
                           "\xC3\xA9t\xC3\xA9", "10", "9"}) {
    write_file(root_ / "list" / name, "");
  }
  fs::create_directory(root_ / "list" / "Delta");
  const auto listing = [this](const std::string& pattern) {
    std::vector<std::string> names;
    DirEntry entry;
    int32_t handle = 0;
    while (files_.NEXT_DIR_ENTRY(pattern, entry, handle) && names.size() < 100) names.push_back(entry.name);
    EXPECT_EQ(handle, 0);
    return names;
  };
  EXPECT_EQ(listing("C:\\LIST\\*.*"),
            (std::vector<std::string>{".", "..", "10", "9", "_under", "ALPHA", "Alpha", "alpha", "alpha.txt",
                                      "b", "beta", "Delta", "Gamma", "Z9", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(listing("C:\\LIST\\A*"), (std::vector<std::string>{"ALPHA", "Alpha", "alpha", "alpha.txt"}));
  EXPECT_EQ(files_.open_count(), 0u);
}

TEST_F(HostFilesTest, DriveLettersAndSpace) {
  fs::create_directories(tmp_ / "other");
  fs::create_directory_symlink(tmp_ / "other", tmp_ / "drives" / "E:");
  fs::create_directory_symlink(tmp_ / "gone", tmp_ / "drives" / "f:");
  EXPECT_EQ(files_.DRIVE_LETTERS(), "  C EF                    ");
  int64_t total = -1;
  int64_t free = -1;
  EXPECT_TRUE(files_.DRIVE_SPACE("C", total, free));
  EXPECT_GT(total, 0);
  EXPECT_GE(free, 0);
  EXPECT_LE(free, total);
  EXPECT_TRUE(files_.DRIVE_SPACE("e", total, free));
  EXPECT_FALSE(files_.DRIVE_SPACE("F", total, free));  // dangling
  EXPECT_FALSE(files_.DRIVE_SPACE("G", total, free));  // missing
  EXPECT_FALSE(files_.DRIVE_SPACE("", total, free));
}

}  // namespace
}  // namespace kavlin
