// READ_FILE, TESTFILE and the polygon file check on real files: what the user is told
// about an unusable file or area, and the extent of a good one.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/testfile.h"
#include "tests/fake_ui_services.h"
#include "tests/test_support.h"
#include "base/fixed_text.h"
#include "base/host_file_services.h"

namespace kavlin {
namespace {

using testing::FakeUiServices;
using testing::ProgramStopped;
using testing::ShownMessage;

const char* const TOO_BIG = "Area is too big! Modification is not possible!";
const char* const SOUTH = "Area reaches south of the equator! Modification is not possible!";

class TestFile : public ::testing::Test {
 protected:
  TestFile() { std::filesystem::create_directories(tmp_ / "drives" / "c:" / "POLY"); }

  // Runs TESTFILE on the file content; true when it returned.
  bool run(const std::string& content) {
    testing::write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", content);
    values_.POLY_FILE_NAME = pad_field("C:\\POLY\\AREA1.TXT", PATH_LENGTH);
    bool returned = false;
    try {
      TESTFILE(ui_, files_, values_, lon_min_, lon_max_, lat_min_, lat_max_);
      returned = true;
    } catch (const ProgramStopped& stop) {
      EXPECT_EQ(stop.code, 0);
    }
    EXPECT_EQ(files_.open_count(), 0u);
    return returned;
  }

  testing::TempDir tmp_;
  HostFileServices files_{DriveTable((tmp_.path() / "drives").string())};
  FakeUiServices ui_;
  ProgramValues values_;
  double lon_min_ = -1, lon_max_ = -1, lat_min_ = -1, lat_max_ = -1;
};

TEST_F(TestFile, TwoVerticesShowOnlyTheReadersWarning) {
  EXPECT_FALSE(run("5 50\n6 51\n"));
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{"The file contains only two records!", "Warning", 0}}));
}

TEST_F(TestFile, MissingFileShowsOnlyTheReadersMessage) {
  values_.POLY_FILE_NAME = pad_field("C:\\POLY\\NONE.TXT", PATH_LENGTH);
  EXPECT_THROW(TESTFILE(ui_, files_, values_, lon_min_, lon_max_, lat_min_, lat_max_), ProgramStopped);
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{"File: C:\\POLY\\NONE.TXT not found!", "Error", 0}}));
}

TEST_F(TestFile, TooBigArea) {
  EXPECT_FALSE(run("0 10\n10 10\n10 20\n0 10\n"));
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{TOO_BIG, "Error", 0}}));
}

TEST_F(TestFile, HugeCoordinatesAreTooBig) {
  EXPECT_FALSE(run("-1e300 10\n1e300 10\n0 11\n"));
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{TOO_BIG, "Error", 0}}));
}

TEST_F(TestFile, SouthOfTheEquator) {
  EXPECT_FALSE(run("5 -0.5\n6 0.5\n5 0.5\n"));
  EXPECT_EQ(ui_.messages, (std::vector<ShownMessage>{{SOUTH, "Error", 0}}));
}

TEST_F(TestFile, GoodFileReturnsTheExtent) {
  ASSERT_TRUE(run("5.25 50\n6.5 50.125\n\n6 51.75\n5.25 50\n"));
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(lon_min_, 5.25);
  EXPECT_EQ(lon_max_, 6.5);
  EXPECT_EQ(lat_min_, 50.0);
  EXPECT_EQ(lat_max_, 51.75);
  EXPECT_EQ(values_.AREA.NREC, 4);
}

TEST_F(TestFile, CheckPolygonFileShowsNothing) {
  testing::write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", "0 0\n");
  const PolygonCheck c = check_polygon_file(files_, pad_field("C:\\POLY\\AREA1.TXT", PATH_LENGTH), values_.AREA);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.status, 3);
  EXPECT_EQ(c.notice.text, "The file contains only one record!");
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(TestFile, ReadFileShowsAtMostOneMessage) {
  struct Case {
    std::string content;
    int32_t status;
    std::vector<ShownMessage> shown;
  };
  const std::vector<Case> cases = {
      {"5 6\n7 8\n9 10\n", 0, {}},
      {"5 6\n7 8\n", 4, {{"The file contains only two records!", "Warning", 0}}},
      {"5 6\nx\n7 8\ny\n", 1000, {{"Error reading file. Wrong format.", "Error", 0}}},
      {"", 2, {{"File is empty.", "Error", 0}}},
  };
  for (const Case& c : cases) {
    testing::write_file(tmp_ / "drives" / "c:" / "POLY" / "AREA1.TXT", c.content);
    FakeUiServices ui;
    ProgramValues values;
    values.POLY_FILE_NAME = pad_field("c:\\poly\\area1.txt", PATH_LENGTH);
    int32_t status = -99;
    READ_FILE(ui, files_, values, status);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(ui.messages, c.shown);
    EXPECT_EQ(files_.open_count(), 0u);
  }
}

}  // namespace
}  // namespace kavlin
