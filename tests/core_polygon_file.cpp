// The polygon file reader on whole files through the host file services:
// counting, messages, RING and AREA lines, line ends and lines longer than
// 80 characters, names that are no file, the 25000 limit, failed opens and
// the file being closed on every outcome.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "polygon/areas_file.h"
#include "polygon/polygon_reader.h"
#include "tests/fake_ui_services.h"
#include "tests/polygon_reader_test_support.h"
#include "tests/test_support.h"
#include "base/fixed_text.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ShownMessage;
using testing::TempDir;
using testing::write_file;
using testing::LineCase;
using testing::line_cases;

// ---------------------------------------------------------------------------
// Whole files through the host file services.

class ReadPolygonFile : public ::testing::Test {
 protected:
  ReadPolygonFile() {
    std::filesystem::create_directories(tmp_ / "drives" / "c:" / "POLY");
  }

  // Writes AREA1.TXT and reads it with the blank-padded program path.
  PolygonReadResult read(const std::string& content) {
    write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", content);
    return read_name("C:\\POLY\\AREA1.TXT");
  }

  PolygonReadResult read_name(const std::string& name) {
    PolygonReadResult r = read_polygon_file(files_, pad_field(name, PATH_LENGTH), table_);
    EXPECT_EQ(files_.open_count(), 0u) << "file left open";
    return r;
  }

  TempDir tmp_;
  HostFileServices files_{DriveTable((tmp_.path() / "drives").string())};
  VertexTable table_;
};

template <std::size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

struct FileCase {
  const char* name;
  std::string content;
  int32_t status;
  int32_t nrec;  // checked for status 0..4
  const char* text;
  const char* caption;
};

TEST_F(ReadPolygonFile, OutcomesAndMessages) {
  const std::vector<FileCase> cases = {
      {"empty", "", 2, 0, "File is empty.", "Error"},
      {"blank_lines_only", "\n   \n\n" + std::string(100, ' ') + "\n", 2, 0, "File is empty.", "Error"},
      {"one_vertex", "\n5 6\n\n", 3, 1, "The file contains only one record!", "Error"},
      {"two_vertices", "5 6\n7 8\n", 4, 2, "The file contains only two records!", "Warning"},
      {"three_vertices", "5 6\n7 8\n9 10\n", 0, 3, "", ""},
      {"blank_lines_anywhere", "\n\n5 6\n  \n7 8\n\n9 10\n\n\n", 0, 3, "", ""},
      {"no_final_newline", "5 6\n7 8\n9 10", 0, 3, "", ""},
      {"crlf", "5 6\r\n7 8\r\n\r\n9 10\r\n", 0, 3, "", ""},
      {"tab_line", "5 6\n\t\n7 8\n9 10\n", 1000, -1, "Error reading file. Wrong format.", "Error"},
      {"bad_last_line", "5 6\n7 8\n9 10\n9,\n", 1000, -1, "Error reading file. Wrong format.", "Error"},
      {"binary_garbage", bytes("\x00\x01\xff\xfe\x7f\x80\x1b[2J\x00\n\x00\x00\x00"), 1000, -1,
       "Error reading file. Wrong format.", "Error"},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PolygonReadResult r = read(c.content);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.notice.text, c.text);
    EXPECT_EQ(r.notice.caption, c.caption);
    if (c.nrec >= 0) {
      EXPECT_EQ(table_.NREC, c.nrec);
    }
  }
}

// Areas of several rings: RING lines (any case, blanks around) separate
// the rings of the tools' area files; the editor refuses them; every ring
// has at least three vertices.
TEST_F(ReadPolygonFile, RingLinesSeparateTheRingsOfTheToolsAreas) {
  const std::string two = "5 6\n7 8\n9 10\n ring \n1 2\n3 4\n5 5\n";
  const struct {
    const char* name;
    std::string content;
    AreaFileRules rules;
    int32_t status;
    std::vector<int32_t> ends;
    std::string text;
  } cases[] = {
      {"two rings", two, TOOL_AREA_RULES, 0, {3, 6}, ""},
      {"RING first and last", "RING\n" + two + "RING\n\n", TOOL_AREA_RULES, 0, {3, 6}, ""},
      {"one ring after all", "1 2\n3 4\n5 5\nRING\n", TOOL_AREA_RULES, 0, {}, ""},
      {"a short ring", "5 6\n7 8\n9 10\nRING\n1 2\n3 4\n", TOOL_AREA_RULES, 7, {},
       "Ring 2 of the file has fewer than three vertices!"},
      {"RINGS is no ring line", "5 6\nRINGS\n", TOOL_AREA_RULES, 1000, {}, "Error reading file. Wrong format."},
      {"the editor", two, AreaFileRules{}, 6, {},
       "The file describes an area of several rings (RING lines)! The editor modifies polygons of one ring only; "
       "kavlin-apply modifies areas of several rings."},
      {"the tools' limit", "5 6\n7 8\n9 10\nRING\n1 2\n3 4\n", AreaFileRules{4, true}, 5, {},
       "The file contains more than 4 records!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", c.content);
    const PolygonReadResult r = read_polygon_file(files_, pad_field("C:\\POLY\\AREA1.TXT", PATH_LENGTH), table_,
                                                  PolygonPath::PROGRAM, c.rules);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.notice.text, c.text);
    if (c.status == 0) EXPECT_EQ(table_.RING_ENDS, c.ends);
  }
}

// Areas files: AREA lines name the areas of a whole layer, each read into
// the table its name is given (or skipped), each judged as an area file;
// the file's own faults name the area they stand in. A polygon file with
// AREA lines is refused by the tools and is of the wrong format for the
// editor, as before.
TEST_F(ReadPolygonFile, AreaLinesNameTheAreasOfAnAreasFile) {
  const std::string tri = "5 6\n7 8\n9 10\n";
  const struct {
    const char* name;
    std::string content;
    int32_t status;
    std::string verdicts;  // "name:status:ring ends;" of the areas wanted (a and c)
    std::string text;
  } cases[] = {
      {"three areas, b skipped", "AREA a\n" + tri + "area  b \n1 2\nAREA c\n" + tri + "RING\n" + tri, 0,
       "a:0:;c:0:3,6,;", ""},
      {"a short ring", "AREA a\n" + tri + "RING\n1 2\n", 0, "a:7:3,4,;", ""},
      {"two vertices", "\nAREA a\n1 2\n3 4\n", 0, "a:4:;", ""},
      {"a vertex before AREA", tri + "AREA a\n", 1000, "",
       "Error reading areas file F: its first line that is not blank must be an AREA line."},
      {"a name twice", "AREA a\n" + tri + "AREA a\n", 1000, "a:0:;",
       "Error reading areas file F (area a): area a is named twice."},
      {"no name", "AREA a\n" + tri + "AREA \n", 1000, "", "Error reading areas file F (area a): Wrong format."},
      {"a bad name", "AREA a/b\n", 1000, "", "Error reading areas file F: \"a/b\" is no area name."},
      {"a bad line", "AREA a\n" + tri + "AREA c\n1 x\n", 1000, "a:0:;",
       "Error reading areas file F (area c): Wrong format."},
      {"too many vertices", "AREA a\n" + tri + tri + "1 1\n", 5, "",
       "Error reading areas file F (area a): the area has more than 6 vertices."},
  };
  const std::string path = (tmp_ / "areas.txt").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path, c.content);
    std::map<std::string, VertexTable> tables;
    std::string verdicts;
    const AreasFileResult r = read_areas_file(
        files_, path, PolygonPath::HOST, AreaFileRules{6, true},
        [&](const std::string& name) { return name == "b" ? nullptr : &tables[name]; },
        [&](const std::string& name, const PolygonReadResult& v) {
          verdicts += name + ":" + std::to_string(v.status) + ":";
          for (const int32_t end : tables[name].RING_ENDS) verdicts += std::to_string(end) + ",";
          verdicts += ";";
        });
    EXPECT_EQ(r.status, c.status);
    std::string text = r.notice.text;
    if (const auto at = text.find(path); at != std::string::npos) text.replace(at, path.size(), "F");
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(verdicts, c.verdicts);
    EXPECT_EQ(files_.open_count(), 0u);
  }
  write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", "AREA a\n" + tri);
  const auto read_as = [&](const AreaFileRules& rules) {
    return read_polygon_file(files_, pad_field("C:\\POLY\\AREA1.TXT", PATH_LENGTH), table_, PolygonPath::PROGRAM, rules)
        .notice.text;
  };
  EXPECT_EQ(read_as(TOOL_AREA_RULES), "The file holds several areas (AREA lines)! Name one: --area FILE NAME.");
  EXPECT_EQ(read_as(AreaFileRules{}), "Error reading file. Wrong format.");
}

TEST_F(ReadPolygonFile, StoresVerticesInFileOrderWithoutClosingTheRing) {
  const PolygonReadResult r = read("5.7545 50.0235\n\n6,50.5\n6.5;51\n");
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(table_.NREC, 3);
  EXPECT_EQ(table_.AREA_LON[1], 5.7545);
  EXPECT_EQ(table_.AREA_LAT[1], 50.0235);
  EXPECT_EQ(table_.AREA_LON[2], 6.0);
  EXPECT_EQ(table_.AREA_LAT[2], 50.5);
  EXPECT_EQ(table_.AREA_LON[3], 6.5);
  EXPECT_EQ(table_.AREA_LAT[3], 51.0);
  // A second, shorter file sets NREC anew.
  ASSERT_EQ(read("1 2\n3 4\n5 6\n").status, 0);
  EXPECT_EQ(table_.NREC, 3);
  EXPECT_EQ(table_.AREA_LON[1], 1.0);
}

// Every line of the table, in a file of three copies, with LF and with
// CR LF line ends: both give what parse_vertex_line gives on the line.
TEST_F(ReadPolygonFile, CrLfFileReadsLikeLfFile) {
  for (const LineCase& c : line_cases()) {
    if (c.line.find('\r') != std::string::npos || c.line.find('\n') != std::string::npos) continue;
    for (const char* eol : {"\n", "\r\n"}) {
      SCOPED_TRACE(std::string(c.name) + (eol[1] ? " crlf" : " lf"));
      const PolygonReadResult r = read(c.line + eol + c.line + eol + c.line + eol);
      if (c.status == 0) {
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(table_.NREC, 3);
        EXPECT_EQ(table_.AREA_LON[3], c.lon);
        EXPECT_EQ(table_.AREA_LAT[3], c.lat);
      } else if (c.status == -2) {
        EXPECT_EQ(r.status, 2);
      } else {
        EXPECT_EQ(r.status, 1000);
      }
    }
  }
}

// Lines longer than the 80-character buffer: what lies beyond it must be
// blanks (or the line end), since a number cut there would be read as
// another number, and a vertex beyond 80 blanks would be skipped. The
// file is "1 2", "3 4" and the line of the case.
TEST_F(ReadPolygonFile, LinesLongerThanEightyCharacters) {
  struct Case {
    const char* name;
    std::string line;  // with its line end
    int32_t status;
    double lat = 0.0;  // of the third vertex, for status 0
  };
  const std::vector<Case> cases{
      {"latitude_cut_at_80", "7.3" + std::string(73, ' ') + "49.25\n", 1000},
      {"latitude_cut_later", std::string(75, ' ') + "5 6.125\n", 1000},
      {"vertex_after_85_blanks", std::string(85, ' ') + "5 6\n", 1000},
      {"garbage_after_blanks", "5 6" + std::string(77, ' ') + ";;;garbage\n", 1000},
      {"tab_beyond_80", "5 6" + std::string(77, ' ') + "\t\n", 1000},
      {"blanks_beyond_80", "5 6" + std::string(90, ' ') + "\n", 0, 6.0},
      {"blanks_and_crlf_beyond_80", "5 6.5" + std::string(90, ' ') + "\r\n", 0, 6.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PolygonReadResult r = read("1 2\n3 4\n" + c.line);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 0) {
      EXPECT_EQ(table_.NREC, 3);
      EXPECT_EQ(table_.AREA_LAT[3], c.lat);
    } else {
      EXPECT_EQ(r.notice.text, "Error reading file. Wrong format.");
    }
  }
  // A line of blanks only is blank however long it is.
  const PolygonReadResult r =
      read("1 2\n" + std::string(100, ' ') + "\n3 4\n" + std::string(100, ' ') + "\r\n5 6\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(table_.NREC, 3);
}

// The last line may end in CR alone, as in LF or CR LF; a CR anywhere else
// stays a character of the line.
TEST_F(ReadPolygonFile, LastLineEndingInCr) {
  struct Case {
    std::string content;
    int32_t status;
  };
  const std::vector<Case> cases{
      {"1 2\r\n3 4\r\n5 6\r", 0},
      {"1 2\n3 4\n5 6\r", 0},
      {"1 2\n3 4\n5 6\n\r", 0},
      {"1 2\n3 4\n" + std::string(74, ' ') + "5 6.25\r", 0},
      {"1 2\n3 4\n5 6\r\r", 1000},
      {"1 2\n3 4\n5 6\r\r\n", 1000},
  };
  for (const Case& c : cases) {
    const PolygonReadResult r = read(c.content);
    EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.content);
    if (c.status == 0) {
      EXPECT_EQ(table_.NREC, 3);
    }
  }
}

TEST_F(ReadPolygonFile, LineEndsAtTheEightyCharacterBoundary) {
  // A vertex line of exactly 80 characters: its CR LF is no part of it.
  const std::string eighty = std::string(74, ' ') + "5 6.25";
  ASSERT_EQ(eighty.size(), 80u);
  PolygonReadResult r = read("1 2\r\n3 4\r\n" + eighty + "\r\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(table_.AREA_LAT[3], 6.25);
  // A CR as 81st character that does not end the line is a character cut
  // off, like the X after it; a CR before it is a character of the line.
  r = read("1 2\n3 4\n" + eighty + "\rX\n");
  EXPECT_EQ(r.status, 1000);
  r = read("1 2\n3 4\n" + eighty.substr(0, 79) + "\r\r\n");
  EXPECT_EQ(r.status, 1000);
  // A last line without any line end, several megabytes long: blanks
  // beyond column 80 are harmless, anything else is not.
  r = read("1 2\n3 4\n5 6" + std::string(3 << 20, ' ') + "junk");
  EXPECT_EQ(r.status, 1000);
  r = read("1 2\n3 4\n5 6" + std::string(3 << 20, ' '));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(table_.NREC, 3);
  r = read("1 2\n3 4\n" + std::string(3 << 20, 'x'));
  EXPECT_EQ(r.status, 1000);
}

TEST_F(ReadPolygonFile, NamesThatAreNoFile) {
  namespace fs = std::filesystem;
  const fs::path dir = tmp_ / "drives" / "c:" / "POLY";
  write_file(dir / "AREA1.TXT", "1 2\n3 4\n5 6\n");
  fs::create_directory_symlink(dir, dir / "FOLDERLINK");
  fs::create_symlink(dir / "LOOP", dir / "LOOP");
  ASSERT_EQ(mkfifo((dir / "FIFO").c_str(), 0644), 0);
  for (const std::string& name : {std::string("C:\\POLY\\FOLDERLINK"), std::string("C:\\POLY\\LOOP"),
                                  std::string("C:\\POLY\\FIFO"), std::string("C:\\POLY\\AREA1.TXT\0X", 19),
                                  std::string("1:\\POLY\\AREA1.TXT")}) {
    SCOPED_TRACE(name);
    const PolygonReadResult r = read_name(name);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.notice.text, "File: " + name + " not found!");
  }
}

std::string vertex_lines(int count) {
  std::string s;
  s.reserve(static_cast<std::size_t>(count) * 10);
  for (int i = 1; i <= count; ++i) s += std::to_string(i) + " 45.5\n";
  return s;
}

TEST_F(ReadPolygonFile, TwentyFiveThousandVerticesFitOneMoreDoesNot) {
  const std::string full = vertex_lines(25000);
  PolygonReadResult r = read(full + "\n   \n\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.notice.empty());
  EXPECT_EQ(table_.NREC, 25000);
  EXPECT_EQ(table_.AREA_LON[25000], 25000.0);

  for (const std::string& extra : {std::string("25001 45.5\n"), std::string("\n\nnot a vertex\n"),
                                   std::string("\t\n")}) {
    r = read(full + extra);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.notice.text, "The file contains more than 25000 records!");
    EXPECT_EQ(r.notice.caption, "Insufficient memory allocated");
  }
  // A format error before the table is full stays a format error.
  r = read(vertex_lines(24999) + "bad\n");
  EXPECT_EQ(r.status, 1000);
}

TEST_F(ReadPolygonFile, FailedOpens) {
  struct Case {
    std::string name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"C:\\POLY\\MISSING.TXT", "File: C:\\POLY\\MISSING.TXT not found!"},
      // Trailing NULs and blanks are not part of the path.
      {std::string("C:\\POLY\\MISSING.TXT\0\0  \0", 24), "File: C:\\POLY\\MISSING.TXT not found!"},
      {"C:\\POLY", "File: C:\\POLY not found!"},  // a folder
      {"Q:\\POLY\\AREA1.TXT", "File: Q:\\POLY\\AREA1.TXT not found!"},
      {"", "File:  not found!"},
      {std::string(10, '\0'), "File:  not found!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const PolygonReadResult r = read_name(c.name);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.notice.text, c.text);
    EXPECT_EQ(r.notice.caption, "Error");
  }
}

TEST(ReadPolygonFileRelative, RelativePathResolvesAgainstWorkingDirectory) {
  TempDir tmp;
  testing::ScopedCwd cwd(tmp.path());
  write_file(tmp / "area.txt", "1 2\n3 4\n5 6\n");
  HostFileServices files(DriveTable((tmp.path() / "no-drives").string()));
  VertexTable table;
  const PolygonReadResult r = read_polygon_file(files, pad_field("area.txt", PATH_LENGTH), table);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(table.NREC, 3);
  EXPECT_EQ(files.open_count(), 0u);
}

}  // namespace
}  // namespace kavlin
