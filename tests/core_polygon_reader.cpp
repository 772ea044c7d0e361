// The polygon file reader: line syntax, counting, messages, the 25000
// limit and the file being closed on every outcome.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "polygon/areas_file.h"
#include "polygon/polygon_reader.h"
#include "tests/fake_ui_services.h"
#include "tests/test_support.h"
#include "base/fixed_text.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ShownMessage;
using testing::TempDir;
using testing::write_file;

struct LineCase {
  const char* name;
  std::string line;
  int32_t status;
  double lon = 0.0;
  double lat = 0.0;
};

// The line format's own examples first, then the edge cases of its rules.
const std::vector<LineCase>& line_cases() {
  static const std::vector<LineCase> cases = {
      {"blank_separated", "5.7545 50.0235", 0, 5.7545, 50.0235},
      {"comma", "5.7545,50.0235", 0, 5.7545, 50.0235},
      {"comma_blank", "5.7545, 50.0235", 0, 5.7545, 50.0235},
      {"tab", "5.7545\t50.0235", 0, 5.7545, 50.0235},
      {"semicolon", "5.7545;50.0235", 0, 5.7545, 50.0235},
      {"three_numbers", "1 2 3", 0, 1.0, 3.0},
      {"negative", "-3.5 -12.25", 0, -3.5, -12.25},
      {"trailing_comma", "5.7545 50.0235,", 1000},
      {"no_delimiter", "50.0235", 1000},
      {"three_leading_blanks", "   5.0", 1000},
      {"one_char", "5", 1000},
      {"blank", "", -2},
      // Further edge cases.
      {"all_blanks", std::string(80, ' '), -2},
      {"trailing_tab", "5.7545 50.0235\t", 1000},
      {"trailing_semicolon", "5.7545 50.0235;", 1000},
      {"trailing_blanks", "5.7545 50.0235      ", 0, 5.7545, 50.0235},
      {"two_leading_blanks", "  5.0", 1000},
      {"delimiter_only_in_position_1", " 5.0", 1000},
      {"two_chars", "56", 1000},
      {"two_chars_after_trim", "56    ", 1000},
      {"shortest_vertex", "5 6", 0, 5.0, 6.0},
      {"tab_only", "\t", 1000},
      {"tabs_only", "\t\t\t\t", 1000},
      {"mixed_delimiters", "5 ,;\t 6", 0, 5.0, 6.0},
      {"leading_blank_then_vertex", " 7.25 45.5", 0, 7.25, 45.5},
      {"d_exponent", "1.5D1 2e-3", 0, 15.0, 0.002},
      {"exponent_forms", "1.5d1;-2E+3", 0, 15.0, -2000.0},
      {"no_leading_digit", ".5 -.25", 0, 0.5, -0.25},
      {"explicit_plus", "+5 +6", 0, 5.0, 6.0},
      {"slash_ends_latitude", "5.7545 50/3", 0, 5.7545, 50.0},
      {"slash_ends_longitude", "5.7545/9 50.0235", 0, 5.7545, 50.0235},
      {"longitude_without_digit", "abc 50", 1000},
      {"longitude_not_a_number", "x5 50", 1000},
      {"latitude_not_a_number", "5 abc", 1000},
      {"latitude_letters_after_digits", "5 50N", 1000},
      {"semicolon_inside_longitude", "5;6 7", 1000},
      {"exponent_without_digits", "5 6e", 1000},
      {"latitude_overflow", "5 1e400", 1000},
      {"longitude_overflow", "1e400 5", 1000},
      {"nul_inside_longitude", std::string("1\0" "2 3", 5), 1000},
      {"nul_before_delimiter", std::string("5\0 6", 4), 0, 5.0, 6.0},
      {"control_char_in_latitude", "1 2\x01", 1000},
      {"cr_at_end", "5 6\r", 1000},
      {"high_bytes", "\xff\xfe 1", 1000},
  };
  return cases;
}

class ParseVertexLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseVertexLine, ParsesTheEightyCharacterBuffer) {
  const LineCase& c = GetParam();
  double lon = -999.0;
  double lat = -999.0;
  const int32_t status = parse_vertex_line(pad_field(c.line, LINE_LENGTH), lon, lat);
  ASSERT_EQ(status, c.status);
  if (status == 0) {
    EXPECT_EQ(lon, c.lon);
    EXPECT_EQ(lat, c.lat);
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseVertexLine, ::testing::ValuesIn(line_cases()),
                         [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(ParseVertexLine, OnlyTheFirstEightyCharactersCount) {
  // A vertex, blanks to position 80, then anything.
  std::string ok = pad_field("5 6", 80) + ",x;\t";
  double lon = 0, lat = 0;
  EXPECT_EQ(parse_vertex_line(pad_field(ok, LINE_LENGTH), lon, lat), 0);
  EXPECT_EQ(lon, 5.0);
  EXPECT_EQ(lat, 6.0);
  // A comma in position 80 empties the latitude field even though digits
  // follow beyond it.
  std::string bad = std::string(75, ' ') + "5 6.," + "25";
  ASSERT_EQ(bad[79], ',');
  EXPECT_EQ(parse_vertex_line(pad_field(bad, LINE_LENGTH), lon, lat), 1000);
}

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

// ---------------------------------------------------------------------------
// Read errors: a scripted file service.

class ScriptedFiles : public TextFiles {
 public:
  std::vector<int32_t> codes;  // per READ_TEXT_LINE call; 0 hands out `line`
  std::string line = "5 6";
  bool cut = false;  // the line handed out had more than blanks cut off
  int32_t open_code = 0;
  int opens = 0;
  int host_opens = 0;
  int closes = 0;
  std::size_t calls = 0;
  std::vector<std::size_t> lengths;

  int32_t OPEN_TEXT_FILE(const std::string&, int32_t& unit) override {
    if (open_code != 0) return open_code;
    ++opens;
    unit = 7;
    return 0;
  }
  int32_t OPEN_HOST_TEXT_FILE(const std::string& path, int32_t& unit) override {
    ++host_opens;
    return OPEN_TEXT_FILE(path, unit);
  }
  int32_t READ_TEXT_LINE(int32_t unit, std::string& field, std::size_t length) override {
    bool ignored = false;
    return READ_TEXT_LINE_CUT(unit, field, length, ignored);
  }
  int32_t READ_TEXT_LINE_CUT(int32_t unit, std::string& field, std::size_t length, bool& cut_text) override {
    EXPECT_EQ(unit, 7);
    lengths.push_back(length);
    const int32_t code = calls < codes.size() ? codes[calls] : END_OF_FILE;
    ++calls;
    if (code == 0) field = pad_field(line, length);
    cut_text = code == 0 && cut;
    return code;
  }
  int32_t CLOSE_FILE(int32_t unit) override {
    EXPECT_EQ(unit, 7);
    ++closes;
    return 0;
  }
};

TEST(ReadRec, PassesReadErrorCodesThrough) {
  ScriptedFiles files;
  files.codes = {0, 0, 0, 23};
  VertexTable table;
  const PolygonReadResult r = read_polygon_file(files, pad_field("C:\\A.TXT", PATH_LENGTH), table);
  EXPECT_EQ(r.status, 23);
  EXPECT_EQ(r.notice.text, "Error reading file");
  EXPECT_EQ(r.notice.caption, "Error");
  EXPECT_EQ(files.opens, 1);
  EXPECT_EQ(files.closes, 1);
  EXPECT_EQ(files.calls, 4u);
  for (std::size_t length : files.lengths) EXPECT_EQ(length, 80u);
}

TEST(ReadRec, StatusOfOneLine) {
  ScriptedFiles files;
  files.codes = {0, 0, END_OF_FILE, 42};
  files.line = "1.25,-2.5";
  double lon = 0, lat = 0;
  int32_t status = 99;
  READ_REC(files, 7, lon, lat, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(lon, 1.25);
  EXPECT_EQ(lat, -2.5);
  files.line = "";
  READ_REC(files, 7, lon, lat, status);
  EXPECT_EQ(status, -2);
  READ_REC(files, 7, lon, lat, status);
  EXPECT_EQ(status, -1);
  READ_REC(files, 7, lon, lat, status);
  EXPECT_EQ(status, 42);
}

TEST(ReadRec, ErrorAfterAFullTableIsAReadError) {
  ScriptedFiles files;
  files.codes.assign(25000, 0);
  files.codes.push_back(31);
  VertexTable table;
  const PolygonReadResult r = read_polygon_file(files, pad_field("C:\\A.TXT", PATH_LENGTH), table);
  EXPECT_EQ(r.status, 31);
  EXPECT_EQ(r.notice.text, "Error reading file");
  EXPECT_EQ(files.closes, 1);
}

TEST(ReadRec, FailedOpenClosesNothing) {
  ScriptedFiles files;
  files.open_code = 2;
  VertexTable table;
  const PolygonReadResult r = read_polygon_file(files, pad_field("C:\\A.TXT", PATH_LENGTH), table);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.notice.text, "File: C:\\A.TXT not found!");
  EXPECT_EQ(files.closes, 0);
  EXPECT_EQ(files.calls, 0u);
}

// ---------------------------------------------------------------------------
// Replay of the fuzzing corpus: every seed parses without fault.

TEST(FuzzCorpus, EverySeedGivesAKnownStatus) {
  const std::filesystem::path corpus = std::filesystem::path(KAVLIN_TEST_DATA_DIR).parent_path() / "fuzz" / "corpus";
  std::size_t seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    ++seeds;
    SCOPED_TRACE(entry.path().string());
    double lon = 0, lat = 0;
    const int32_t status = parse_vertex_line(pad_field(testing::read_file(entry.path()), LINE_LENGTH), lon, lat);
    EXPECT_TRUE(status == 0 || status == -2 || status == 1000) << status;
    if (status == 0) {
      EXPECT_TRUE(std::isfinite(lon));
      EXPECT_TRUE(std::isfinite(lat));
    }
  }
  EXPECT_GE(seeds, 12u);
}

}  // namespace
}  // namespace kavlin
