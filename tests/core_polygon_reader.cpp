// The polygon file reader's lines and records: the line syntax of the
// 80-character buffer, read errors and the status of one line through a
// scripted file service, and the replay of the fuzzing corpus.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "polygon/polygon_reader.h"
#include "tests/polygon_reader_test_support.h"
#include "tests/test_support.h"
#include "base/fixed_text.h"

namespace kavlin {
namespace {

using testing::LineCase;
using testing::line_cases;

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
